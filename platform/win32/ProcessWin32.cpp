// Process-wide services of the tool on Windows: the do-nothing crash filter,
// and Ctrl-C, Ctrl-Break and a closing console recorded instead of ending
// the process, as the interrupt signals are on Linux.
#include "platform/Process.h"

#include "platform/win32/Win32.h"

#include <atomic>
#include <bitset>

namespace platform {
namespace {

// The one piece of process-wide state: the first interrupt received, 0
// while none has come. Set from the console's handler thread; an atomic
// that needs no lock, readable from any thread.
std::atomic<int> pendingInterrupt{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Each console event is recorded as the number of the Linux signal with the
// same meaning, so the exit code is the same on both systems.
constexpr int kHangup = 1;      // the console closes, the user logs off
constexpr int kInterrupt = 2;   // Ctrl-C
constexpr int kTerminate = 15;  // Ctrl-Break, shutdown

LONG WINAPI IgnoreCrash(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

BOOL WINAPI RecordInterrupt(DWORD event) {
  int signal = 0;
  switch (event) {
    case CTRL_C_EVENT:
      signal = kInterrupt;
      break;
    case CTRL_BREAK_EVENT:
      signal = kTerminate;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
      signal = kHangup;
      break;
    case CTRL_SHUTDOWN_EVENT:
      signal = kTerminate;
      break;
    default:
      return FALSE;
  }
  int none = 0;
  pendingInterrupt.compare_exchange_strong(none, signal);
  // For a closing console the system ends the process once the handler
  // returns: wait here, so the command stops between files and exits.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) ::Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void InstallCrashFilter() { ::SetUnhandledExceptionFilter(IgnoreCrash); }

void InstallInterruptHandlers() { ::SetConsoleCtrlHandler(RecordInterrupt, TRUE); }

// A write to a pipe whose reader went away fails on Windows; no signal.
void IgnoreBrokenPipe() {}

int PendingInterrupt() { return pendingInterrupt.load(); }

// The Windows heap keeps freed blocks by itself.
void KeepFreedMemory() {}

unsigned UsableCores() {
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system)) {
    return static_cast<unsigned>(std::bitset<sizeof process * 8>(process).count());
  }
  return 0;
}

}  // namespace platform
