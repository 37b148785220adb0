// The worker count, the same on every system: the setting, else the cores.
#include <cstdlib>
#include <thread>

#include "platform/Process.h"

namespace platform {

unsigned WorkerCount() {
  if (const char* setting = std::getenv("KORVAT_THREADS")) {
    char* end = nullptr;
    const long count = std::strtol(setting, &end, 10);
    if (end != setting && *end == '\0' && count >= 1 && count <= 256) {
      return static_cast<unsigned>(count);
    }
  }
  if (const unsigned cores = UsableCores(); cores > 0) return cores;
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

}  // namespace platform
