// Checking a stored file without extracting it: every part inflates to its
// stated size, every stored byte can be read, and the content's Adler-32
// matches the entry's checksum.
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

// Stored entries are read this much at a time.
constexpr uint32_t kReadChunk = 1u << 20;

// Reads size bytes at offset; null when all of them arrived, else why not.
const char* ReadProblem(const platform::FileSystem& fs, void* file, uint64_t offset,
                        unsigned char* destination, uint32_t size) {
  if (size == 0) return nullptr;
  const platform::IoResult read = fs.ReadAt(file, offset, destination, size);
  if (!read.ok) return "read error";
  if (read.count != size) return "data is cut short";
  return nullptr;
}

// True when the zlib stream of exactly storedSize bytes inflates to exactly
// realSize bytes.
bool InflatesExactly(const unsigned char* stored, uint32_t storedSize, unsigned char* out,
                     uint32_t realSize) {
  uLongf inflated = realSize;
  uLong consumed = storedSize;
  const int result = uncompress2(out, &inflated, stored, &consumed);
  return result == Z_OK && inflated == realSize && consumed == storedSize;
}

std::string PartReason(uint32_t k, uint32_t count, const std::string& what) {
  return "part " + std::to_string(k + 1) + " of " + std::to_string(count) + " " + what;
}

}  // namespace

bool Archive::VerifyFile(int index, std::string* reason) const {
  std::string unused;
  std::string& why = reason != nullptr ? *reason : unused;
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) {
    why = "no such entry";
    return false;
  }
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  if (!(entry.flags & format::kFlagActive)) {
    why = "removed entry";
    return false;
  }
  if (fileHandle == platform::InvalidHandle()) {
    why = "archive is not open";
    return false;
  }

  uLong adler = adler32(0, nullptr, 0);
  uint64_t total = 0;
  if (entry.flags & format::kFlagCompressed) {
    auto area = std::make_unique<unsigned char[]>(size_t(MaxPartSize()) + blockSize);
    unsigned char* const stored = area.get();
    unsigned char* const inflated = area.get() + MaxPartSize();
    for (uint32_t k = 0; k < entry.numParts; ++k) {
      const PartRecord& part = entry.parts[k];
      if (part.storedSize > MaxPartSize() || part.realSize > blockSize) {
        why = PartReason(k, entry.numParts, "is too large");
        return false;
      }
      if (const char* problem =
              ReadProblem(*fs, fileHandle, part.offset, stored, part.storedSize)) {
        why = PartReason(k, entry.numParts, std::string("cannot be read: ") + problem);
        return false;
      }
      if (!InflatesExactly(stored, part.storedSize, inflated, part.realSize)) {
        why = PartReason(k, entry.numParts, "does not inflate");
        return false;
      }
      adler = adler32(adler, inflated, part.realSize);
      total += part.realSize;
    }
  } else {
    auto chunk = std::make_unique<unsigned char[]>(std::min(entry.realSize, kReadChunk));
    for (uint32_t at = 0; at < entry.realSize; at += kReadChunk) {
      const uint32_t n = std::min(kReadChunk, entry.realSize - at);
      if (const char* problem =
              ReadProblem(*fs, fileHandle, uint64_t(entry.offset) + at, chunk.get(), n)) {
        why = problem;
        return false;
      }
      adler = adler32(adler, chunk.get(), n);
      total += n;
    }
  }
  if (total != entry.realSize) {
    why = "parts do not add up to its size";
    return false;
  }
  if (adler != entry.checksum) {
    why = "checksum mismatch";
    return false;
  }
  return true;
}

}  // namespace GAME
