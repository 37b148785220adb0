// Starting the korvat executable in a child process and collecting what it
// printed and how it ended.
#include "support/ToolRunner.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <tuple>

namespace testing_support {

ToolResult ToolTest::Run(const Args& args, const ToolOptions& options) const {
  std::vector<char*> argv{const_cast<char*>(KORVAT_EXE)};  // execv changes none of them
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const ScratchDir output;
  const std::string out = output / "stdout", err = output / "stderr";
  const rlimit limit{rlim_t(options.fileSizeLimit), rlim_t(options.fileSizeLimit)};
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {  // the child: only async-signal-safe calls
    int pipeFds[2] = {-1, -1};
    const int outFd = options.closedOutput && pipe(pipeFds) == 0 && close(pipeFds[0]) == 0
                          ? pipeFds[1]
                          : open(out.c_str(), O_WRONLY | O_CREAT, 0666);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT, 0666);
    const bool limited = options.fileSizeLimit >= 0, asNobody = options.unprivileged && !geteuid();
    if (dup2(outFd, 1) >= 0 && dup2(errFd, 2) >= 0 && chdir(dir.Path().c_str()) == 0 &&
        (!limited || (signal(SIGXFSZ, SIG_IGN) != SIG_ERR && !setrlimit(RLIMIT_FSIZE, &limit))) &&
        (!asNobody || (!setgroups(0, nullptr) && !setgid(65534) && !setuid(65534)))) {
      execv(argv[0], argv.data());
    }
    _exit(127);
  }
  for (int i = 0; options.signalOnOutput != 0 && i < 150000 && Text(out).empty(); ++i) {
    usleep(200);  // 30 s at most
  }
  if (options.signalOnOutput != 0) kill(pid, options.signalOnOutput);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) throw std::runtime_error("waitpid failed");
  const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return {exitCode, Text(out), Text(err)};
}

void ToolTest::Expect(const Args& args, int exitCode, const std::string& out,
                      const std::string& err, const ToolOptions& options) const {
  const ToolResult r = Run(args, options);
  EXPECT_EQ(std::tie(r.exitCode, r.out, r.err), std::tie(exitCode, out, err))
      << ::testing::PrintToString(args);
}

void ToolTest::Put(const std::string& path, const std::string& content, time_t lastWrite) const {
  std::filesystem::create_directories((dir.Path() / path).parent_path());
  std::ofstream(dir.Path() / path, std::ios::binary) << content;
  const timespec times[2] = {{lastWrite, 0}, {lastWrite, 0}};
  EXPECT_TRUE(lastWrite == 0 || utimensat(AT_FDCWD, (dir / path).c_str(), times, 0) == 0);
}

void ToolTest::Put(const std::string& path, const RawArchive& archive) const {
  const std::vector<unsigned char> bytes = archive.Bytes();
  Put(path, std::string(bytes.begin(), bytes.end()));
}

std::string ToolTest::Text(const std::string& path) const {
  const std::vector<unsigned char> bytes = ReadWholeFile(dir.Path() / path);
  return {bytes.begin(), bytes.end()};
}

}  // namespace testing_support
