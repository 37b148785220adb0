// Starting the korvat executable in a child process and collecting what it
// printed and how it ended.
#include "support/ToolRunner.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "support/TestSystem.h"

namespace testing_support {

#if defined(_WIN32)

namespace {

// One argument, quoted as the C runtime splits a command line: no test passes
// a '"', so only the backslashes before the closing quote are doubled.
std::wstring Quoted(const std::string& arg) {
  const std::wstring wide = std::filesystem::u8path(arg).wstring();
  const size_t trailing = wide.size() - (wide.find_last_not_of(L'\\') + 1);
  return L"\"" + wide + std::wstring(trailing, L'\\') + L"\"";
}

HANDLE Inheritable(const std::string& path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(std::filesystem::u8path(path).wstring().c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// Windows has no file size limit, no user to switch to and no signals but
// the end of the process (SIGKILL stands for TerminateProcess): a test that
// needs them skips itself there.
ToolResult ToolTest::Run(const Args& args, const ToolOptions& options) const {
  if (options.unprivileged || options.fileSizeLimit >= 0 ||
      (options.signalOnOutput != 0 && options.signalOnOutput != SIGKILL)) {
    ADD_FAILURE() << "this option has no Windows form: the test should skip there";
    return {};
  }
  std::wstring commandLine = Quoted(KORVAT_EXE);
  for (const std::string& arg : args) commandLine += L" " + Quoted(arg);
  const ScratchDir output;
  const std::string out = output / "stdout", err = output / "stderr";
  HANDLE outFile = INVALID_HANDLE_VALUE, errFile = Inheritable(err), reader = nullptr;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (options.closedOutput && CreatePipe(&reader, &outFile, &inherit, 0)) {
    CloseHandle(reader);  // nobody reads
  } else {
    outFile = Inheritable(out);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outFile;
  startup.hStdError = errFile;
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, dir.Path().wstring().c_str(), &startup, &process);
  CloseHandle(outFile);
  CloseHandle(errFile);
  if (!started) throw std::runtime_error("CreateProcess failed");
  CloseHandle(process.hThread);
  for (int i = 0; options.signalOnOutput != 0 && i < 150000 && Text(out).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // 30 s at most
  }
  if (options.signalOnOutput != 0) TerminateProcess(process.hProcess, 1000 + SIGKILL);
  DWORD status = 0;
  const bool waited = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                      GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  if (!waited) throw std::runtime_error("waiting for the tool failed");
  // A Windows console program writes its lines in text mode, ending in CR LF.
  const auto lines = [this](const std::string& path) {
    std::string text = Text(path);
    std::erase(text, '\r');
    return text;
  };
  return {int(status), lines(out), lines(err)};
}

#else

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

#endif

void ToolTest::Expect(const Args& args, int exitCode, const std::string& out,
                      const std::string& err, const ToolOptions& options) const {
  if (kWindows && (options.unprivileged || options.fileSizeLimit >= 0 ||
                   (options.signalOnOutput != 0 && options.signalOnOutput != SIGKILL))) {
    GTEST_SKIP() << "Linux only: another user, a file size limit or a signal";
  }
  const ToolResult r = Run(args, options);
  EXPECT_EQ(std::tie(r.exitCode, r.out, r.err), std::tie(exitCode, out, err))
      << ::testing::PrintToString(args);
}

void ToolTest::Put(const std::string& path, const std::string& content, time_t lastWrite) const {
  std::filesystem::create_directories((dir.Path() / path).parent_path());
  std::ofstream(dir.Path() / path, std::ios::binary) << content;
  EXPECT_TRUE(lastWrite == 0 || SetLastWrite(dir / path, lastWrite));
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
