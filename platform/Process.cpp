// Process-wide services of the tool on Linux: no crash filter, and the
// interrupt signals recorded instead of ending the process.
#include "platform/Process.h"

#include <csignal>

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

}  // namespace platform
