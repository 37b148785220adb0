// Runs the built korvat executable as a user would: in a given working
// directory, with stdout and stderr captured and the exit status decoded.
#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

#include "support/ScratchDir.h"

namespace testing_support {

struct ToolResult {
  int exitCode = -1;  // the process's exit status; 1000 + n when killed by signal n
  std::string out;
  std::string err;
};

struct ToolOptions {
  // A tool started by root runs as nobody (uid and gid 65534), so file
  // permissions apply to it.
  bool unprivileged = false;
  // When set, the largest file size the tool may write (RLIMIT_FSIZE), to
  // make writes beyond it fail; SIGXFSZ is ignored.
  long fileSizeLimit = -1;
};

// One run of the tool, started at construction. The destructor kills and
// reaps a process that was not waited for.
class RunningTool {
 public:
  RunningTool(const std::string& workDir, const std::vector<std::string>& args,
              const ToolOptions& options = {});
  ~RunningTool();
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;

  void Signal(int signal) const;
  ToolResult Wait();

 private:
  ScratchDir outputDir_;
  pid_t pid_ = -1;
};

// Runs the tool to its end.
ToolResult RunTool(const std::string& workDir, const std::vector<std::string>& args,
                   const ToolOptions& options = {});

// The usage text exactly as the tool prints it.
std::string UsageText();

}  // namespace testing_support
