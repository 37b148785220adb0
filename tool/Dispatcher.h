// The command dispatcher: the usage text, the command table, argument counts,
// level parsing, exit codes and the timing line.
#pragma once

namespace platform {
class FileSystem;
}

namespace tool {

// Runs one command line on the real file system with platform::WorkerCount()
// worker threads; returns the process exit code.
int Run(int argc, char** argv);
// The same over the given file system (tests pass one that injects faults)
// with the given number of workers; one keeps every I/O call in the order a
// single thread makes them.
int Run(int argc, char** argv, const platform::FileSystem& fs, unsigned workers = 1);

}  // namespace tool
