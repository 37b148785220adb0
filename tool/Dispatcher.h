// The command dispatcher: the usage text, the command table, argument counts,
// level parsing, exit codes and the timing line.
#pragma once

namespace tool {

// Runs one command line; returns the process exit code.
int Run(int argc, char** argv);

}  // namespace tool
