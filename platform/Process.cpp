// Process-wide services of the tool on Linux: no crash filter, and the
// interrupt signals recorded instead of ending the process.
#include "platform/Process.h"

#include <sched.h>

#include <csignal>
#include <cstdlib>
#include <thread>

namespace platform {
namespace {

// The one piece of process-wide state: the first interrupt signal received,
// 0 while none has come. Written only by the handler.
volatile std::sig_atomic_t pendingInterrupt = 0;

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Runs with all three signals blocked, so the test and the store cannot be
// split by another of them.
void RecordInterrupt(int signal) {
  if (pendingInterrupt == 0) pendingInterrupt = signal;
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

int PendingInterrupt() { return pendingInterrupt; }

unsigned WorkerCount() {
  if (const char* setting = std::getenv("KORVAT_THREADS")) {
    char* end = nullptr;
    const long count = std::strtol(setting, &end, 10);
    if (end != setting && *end == '\0' && count >= 1 && count <= 256) {
      return static_cast<unsigned>(count);
    }
  }
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&cores));
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

}  // namespace platform
