// Runs the built korvat executable as a user would, in a test's scratch
// directory, with its output captured and its exit status decoded.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>

#include <string>
#include <vector>

#include "support/RawArchive.h"
#include "support/ScratchDir.h"

#if defined(_WIN32) && !defined(SIGKILL)
#define SIGKILL 9  // the tool's process ended by TerminateProcess
#endif

namespace testing_support {

using Args = std::vector<std::string>;

struct ToolResult {
  int exitCode = -1;  // 1000 + n when killed by signal n
  std::string out, err;
};

struct ToolOptions {
  bool unprivileged = false;  // started by root, the tool runs as nobody: permissions apply
  long fileSizeLimit = -1;    // when set, writes beyond this offset fail (RLIMIT_FSIZE)
  int signalOnOutput = 0;     // when set, sent once the tool has written to stdout
  bool closedOutput = false;  // stdout is a pipe whose reader is gone
};

// Runs the tool in the scratch directory; files are put and read there.
class ToolTest : public ::testing::Test {
 protected:
  ToolResult Run(const Args& args, const ToolOptions& options = {}) const;
  // Expects exactly this exit code and output.
  void Expect(const Args& args, int exitCode, const std::string& out, const std::string& err = "",
              const ToolOptions& options = {}) const;
  // Writes a file, making its directories, and sets its last-write time when given.
  void Put(const std::string& path, const std::string& content, time_t lastWrite = 0) const;
  void Put(const std::string& path, const RawArchive& archive) const;
  std::string Text(const std::string& path) const;  // also by an absolute path

  ScratchDir dir;
};

}  // namespace testing_support
