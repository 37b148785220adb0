// Large-page hints through madvise (transparent huge pages on Linux).
#include "platform/Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace platform {

void PreferLargePages(void* start, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kLargePage = uintptr_t(2) << 20;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(kLargePage - 1);
  if (end <= first) return;
  // A hint: where it is refused (no such pages, or switched off) memory
  // simply stays in small pages, so the result needs no handling.
  static_cast<void>(::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE));
#else
  static_cast<void>(start);
  static_cast<void>(bytes);
#endif
}

}  // namespace platform
