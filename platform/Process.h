// Process-wide services of the tool: the crash filter and the interrupt
// signals. These are the only process-wide state of the program; the archive
// library never calls them.
#pragma once

namespace platform {

// Installs the do-nothing unhandled-exception filter. On Linux there is no
// such filter, so the system's own handling stays in force.
void InstallCrashFilter();

// Catches SIGINT, SIGTERM and SIGHUP: instead of ending the process, each
// records its number so a long command can stop between files.
void InstallInterruptHandlers();

// Ignores SIGPIPE: a standard output whose reader went away then fails
// its writes instead of ending the process, so the work goes on.
void IgnoreBrokenPipe();

// The number of the first interrupt signal received, or 0.
int PendingInterrupt();

// Lets the allocator serve blocks up to 4 MiB from its heap and keep up to
// 64 MiB of freed memory instead of handing it back at once: zlib's state
// and the part buffers are allocated and freed for every file, and mapping
// and returning them each time cost more than the work on a small file.
void KeepFreedMemory();

// How many worker threads the tool's parallel work uses: KORVAT_THREADS when
// it holds a number from 1 to 256, otherwise the cores this process may run
// on (at least 1).
unsigned WorkerCount();
// The cores this process may run on, as the system says (0 when it cannot).
unsigned UsableCores();

}  // namespace platform
