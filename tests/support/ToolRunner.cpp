// Starting the korvat executable in a child process and collecting what it
// printed and how it ended.
#include "support/ToolRunner.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "support/RawArchive.h"

namespace testing_support {

namespace {

// Runs in the forked child: only async-signal-safe calls.
[[noreturn]] void ExecTool(const char* workDir, const char* outPath, const char* errPath,
                           char* const* argv, bool dropRoot, long fileSizeLimit) {
  const int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(workDir) != 0) _exit(127);
  if (fileSizeLimit >= 0) {
    const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
  }
  if (dropRoot && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
    _exit(127);
  }
  execv(argv[0], argv);
  _exit(127);
}

std::string ReadText(const std::string& path) {
  const std::vector<unsigned char> bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

RunningTool::RunningTool(const std::string& workDir, const std::vector<std::string>& args,
                         const ToolOptions& options) {
  std::vector<std::string> strings{KORVAT_EXE};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::string outPath = outputDir_ / "stdout";
  const std::string errPath = outputDir_ / "stderr";
  const bool dropRoot = options.unprivileged && geteuid() == 0;
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ExecTool(workDir.c_str(), outPath.c_str(), errPath.c_str(), argv.data(), dropRoot,
             options.fileSizeLimit);
  }
}

RunningTool::~RunningTool() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void RunningTool::Signal(int signal) const { kill(pid_, signal); }

ToolResult RunningTool::Wait() {
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) throw std::runtime_error("waitpid failed");
  pid_ = -1;
  ToolResult result;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.exitCode = 1000 + WTERMSIG(status);
  result.out = ReadText(outputDir_ / "stdout");
  result.err = ReadText(outputDir_ / "stderr");
  return result;
}

ToolResult RunTool(const std::string& workDir, const std::vector<std::string>& args,
                   const ToolOptions& options) {
  return RunningTool(workDir, args, options).Wait();
}

std::string UsageText() {
  return "Usage: korvat <file> <command> [command arguuments]\n"
         "commands: \n"
         "    -add <directory> <base> [compression (0: min, 9: max)]: add a file or directory\n"
         "        relative to the base directory. If a file is already in the archive it will "
         "not be added.\n"
         "    -replace <directory> <base> [compression (0: min, 9: max)]: replace a file or "
         "directory\n"
         "        relative to the base directory. If a file is already in the archive it will "
         "be overwritten.\n"
         "    -update <directory> <base> [compression (0: min, 9: max)]: update a file or "
         "directory\n"
         "        relative to the base directory. Files will only be added if they are newer "
         "than\n"
         "        those already in the archive.\n"
         "    -remove <file> : remove a file from the archive.\n"
         "    -extract <location> [file] : extract the files or specified file to the\n"
         "        specified location.\n"
         "    -removeMissing <file> <base> : remove the files that are not in the specified "
         "directory.\n"
         "    -compact : compact the archive removing unused files.\n"
         "    -list : list the files in the archive.\n"
         "    -stats : display the archive statistics.\n";
}

}  // namespace testing_support
