// The archive's large blocks (mem::AllocateLarge): blocks of a quarter of a
// large page or more are mapped in whole large pages, on their boundaries,
// and marked for transparent huge pages (a block of 600 KiB filled at once
// is cheaper as one large page than as 150 small ones); smaller ones come
// from the heap. Each block starts with a prefix that holds the length of
// its mapping (0: from the heap).
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "mem/Vector.h"

namespace mem {

namespace {

constexpr size_t kLargePage = size_t(2) << 20;
constexpr size_t kPrefix = 64;  // keeps the block aligned for any type

// Under AddressSanitizer every block comes from the heap, where overruns are
// caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapOnly = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kHeapOnly = true;
#else
constexpr bool kHeapOnly = false;
#endif
#else
constexpr bool kHeapOnly = false;
#endif

void* Prefixed(void* base, size_t length) {
  *static_cast<size_t*>(base) = length;
  return static_cast<unsigned char*>(base) + kPrefix;
}

}  // namespace

void* AllocateLarge(size_t bytes) {
  if (bytes > SIZE_MAX - 2 * kLargePage - kPrefix) throw std::bad_alloc();
  if (kHeapOnly || bytes + kPrefix < kLargePage / 4) {
    void* base = std::malloc(bytes + kPrefix);
    if (base == nullptr) throw std::bad_alloc();
    return Prefixed(base, 0);
  }
  // One large page more than needed, then the ends cut off, so that the
  // block starts on a boundary.
  const size_t length = (bytes + kPrefix + kLargePage - 1) & ~(kLargePage - 1);
  void* raw = ::mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto first = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = (first + kLargePage - 1) & ~uintptr_t(kLargePage - 1);
  // Cutting a mapping's ends fails only for bad arguments; what is not cut
  // stays mapped and unused.
  if (start > first) static_cast<void>(::munmap(raw, start - first));
  if (start - first < kLargePage) {
    static_cast<void>(::munmap(reinterpret_cast<void*>(start + length),
                               kLargePage - (start - first)));
  }
#ifdef MADV_HUGEPAGE
  // A hint: where it is refused (no such pages, or switched off) memory
  // simply stays in small pages.
  static_cast<void>(::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE));
#endif
  return Prefixed(reinterpret_cast<void*>(start), length);
}

void FreeLarge(void* block) noexcept {
  if (block == nullptr) return;
  void* base = static_cast<unsigned char*>(block) - kPrefix;
  const size_t length = *static_cast<size_t*>(base);
  if (length == 0) {
    std::free(base);
  } else {
    static_cast<void>(::munmap(base, length));
  }
}

}  // namespace mem
