// Whole-part inflation through libdeflate where the build has it, else zlib.
#include "archive/Inflate.h"

#include <zlib.h>

#include <memory>
#include <new>

#if defined(KORVAT_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace GAME {

bool InflatePartWithZlib(const unsigned char* stored, size_t storedSize, unsigned char* out,
                         size_t realSize, size_t* consumed) {
  uLongf inflated = static_cast<uLongf>(realSize);
  uLong taken = static_cast<uLong>(storedSize);
  // uncompress2 reports a stream that needs more room than realSize as an
  // error, and one that ends early through inflated.
  const int result = uncompress2(out, &inflated, stored, &taken);
  if (result != Z_OK || inflated != realSize) return false;
  if (consumed != nullptr) *consumed = taken;
  return true;
}

#if defined(KORVAT_HAVE_LIBDEFLATE)
bool InflatePart(const unsigned char* stored, size_t storedSize, unsigned char* out,
                 size_t realSize, size_t* consumed) {
  const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> inflater(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  if (!inflater) throw std::bad_alloc();
  size_t taken = 0;
  size_t inflated = 0;
  // A stream longer than realSize fails for want of room; a shorter one
  // succeeds with fewer bytes, which the comparison refuses.
  const libdeflate_result result = libdeflate_zlib_decompress_ex(
      inflater.get(), stored, storedSize, out, realSize, &taken, &inflated);
  if (result != LIBDEFLATE_SUCCESS || inflated != realSize) return false;
  if (consumed != nullptr) *consumed = taken;
  return true;
}
#else
bool InflatePart(const unsigned char* stored, size_t storedSize, unsigned char* out,
                 size_t realSize, size_t* consumed) {
  return InflatePartWithZlib(stored, storedSize, out, realSize, consumed);
}
#endif

}  // namespace GAME
