// mem::vector: the growable contiguous array of the archive's public
// interface. It is the standard vector, whose layout (three pointers) and
// growth (reserve takes exactly what is asked; an append into full storage
// takes size + max(size, 1)) are what callers of the archive rely on.
//
// mem::large_vector and mem::LargeArray: the same for the archive's own
// tables of megabytes, filled at once as an index loads. Their storage is
// taken in whole large pages where the system has them (the library's
// platform layer defines AllocateLarge and FreeLarge), so filling it costs
// a page fault per 2 MiB rather than per 4 KiB.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace mem {

template <class T>
using vector = std::vector<T>;

// A block of at least bytes, aligned for any type; std::bad_alloc when none
// is left. FreeLarge takes back what AllocateLarge gave.
void* AllocateLarge(std::size_t bytes);
void FreeLarge(void* block) noexcept;

template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AllocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { FreeLarge(p); }
  template <class U>
  bool operator==(const LargeAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using large_vector = std::vector<T, LargeAllocator<T>>;

struct LargeDelete {
  void operator()(void* block) const noexcept { FreeLarge(block); }
};
// An array of trivial T, left uninitialised, in such a block.
template <class T>
using LargeArray = std::unique_ptr<T[], LargeDelete>;
template <class T>
LargeArray<T> MakeLargeArray(std::size_t n) {
  return LargeArray<T>(LargeAllocator<T>().allocate(n));
}

}  // namespace mem
