// Process-wide services of the tool on Linux: no crash filter, and the
// interrupt signals recorded instead of ending the process.
#include "platform/Process.h"

#include <malloc.h>
#include <sched.h>

#include <atomic>
#include <csignal>

namespace platform {
namespace {

// The one piece of process-wide state: the first interrupt signal received,
// 0 while none has come. Written only by the handler; an atomic that needs
// no lock, so it is safe in a handler and readable from any thread.
std::atomic<int> pendingInterrupt{0};
static_assert(std::atomic<int>::is_always_lock_free);

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Keeps the first signal; runs with all three blocked, so none of them
// interrupts another.
void RecordInterrupt(int signal) {
  int none = 0;
  pendingInterrupt.compare_exchange_strong(none, signal);
}

}  // namespace

void InstallCrashFilter() {}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = RecordInterrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : kInterruptSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kInterruptSignals) sigaction(signal, &action, nullptr);
}

void IgnoreBrokenPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

int PendingInterrupt() { return pendingInterrupt.load(); }

void KeepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

unsigned UsableCores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) == 0) return static_cast<unsigned>(CPU_COUNT(&cores));
  return 0;
}

}  // namespace platform
