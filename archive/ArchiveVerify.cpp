// Checking a stored file without extracting it: every part inflates to its
// stated size, every stored byte can be read, and the content's Adler-32
// matches the entry's checksum.
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/Inflate.h"
#include "archive/Journal.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

// Stored entries are read this much at a time.
constexpr uint32_t kReadChunk = 1u << 20;

// Where stored bytes are read: the archive file, or the archive as the
// journal of a writer that died says it was.
struct Source {
  const platform::FileSystem& fs;
  void* file;
  const JournalView* view;
};

// Reads size bytes at offset; null when all of them arrived, else why not.
const char* ReadProblem(const Source& source, uint64_t offset, unsigned char* destination,
                        uint32_t size) {
  if (size == 0) return nullptr;
  if (source.view != nullptr) {
    if (offset + size > source.view->Length()) return "data is cut short";
    return source.view->Read(source.file, offset, destination, size) ? nullptr : "read error";
  }
  const platform::IoResult read = source.fs.ReadAt(source.file, offset, destination, size);
  if (!read.ok) return "read error";
  if (read.count != size) return "data is cut short";
  return nullptr;
}

// True when the zlib stream of exactly storedSize bytes inflates to exactly
// realSize bytes.
bool InflatesExactly(const unsigned char* stored, uint32_t storedSize, unsigned char* out,
                     uint32_t realSize) {
  size_t consumed = 0;
  return InflatePart(stored, storedSize, out, realSize, &consumed) && consumed == storedSize;
}

std::string PartReason(uint32_t k, uint32_t count, const std::string& what) {
  return "part " + std::to_string(k + 1) + " of " + std::to_string(count) + " " + what;
}

// The content read so far: its Adler-32 and length.
struct Digest {
  uLong adler = adler32(0, nullptr, 0);
  uint64_t length = 0;
  void Add(const unsigned char* data, uint32_t size) {
    adler = adler32(adler, data, size);
    length += size;
  }
};

// Reads and inflates every part of a compressed entry into digest; false
// with the reason when one cannot be had. The areas are sized to the
// largest part, so small files need little memory.
bool DigestParts(const Source& source, const Archive::FileEntry& entry, Digest& digest,
                 std::string& why) {
  uint32_t largestStored = 0;
  uint32_t largestReal = 0;
  for (uint32_t k = 0; k < entry.numParts; ++k) {
    const Archive::PartRecord& part = entry.parts[k];
    if (part.storedSize > Archive::MaxPartSize() || part.realSize > format::kBlockSize) {
      why = PartReason(k, entry.numParts, "is too large");
      return false;
    }
    largestStored = std::max(largestStored, part.storedSize);
    largestReal = std::max(largestReal, part.realSize);
  }
  auto area = std::make_unique_for_overwrite<unsigned char[]>(size_t(largestStored) + largestReal);
  unsigned char* const stored = area.get();
  unsigned char* const inflated = area.get() + largestStored;
  for (uint32_t k = 0; k < entry.numParts; ++k) {
    const Archive::PartRecord& part = entry.parts[k];
    if (const char* problem = ReadProblem(source, part.offset, stored, part.storedSize)) {
      why = PartReason(k, entry.numParts, std::string("cannot be read: ") + problem);
      return false;
    }
    if (!InflatesExactly(stored, part.storedSize, inflated, part.realSize)) {
      why = PartReason(k, entry.numParts, "does not inflate");
      return false;
    }
    digest.Add(inflated, part.realSize);
  }
  return true;
}

// Reads a stored entry's bytes into digest; false with the reason when they
// cannot all be had.
bool DigestStored(const Source& source, const Archive::FileEntry& entry, Digest& digest,
                  std::string& why) {
  auto chunk =
      std::make_unique_for_overwrite<unsigned char[]>(std::min(entry.realSize, kReadChunk));
  for (uint32_t at = 0; at < entry.realSize; at += kReadChunk) {
    const uint32_t n = std::min(kReadChunk, entry.realSize - at);
    if (const char* problem = ReadProblem(source, uint64_t(entry.offset) + at, chunk.get(), n)) {
      why = problem;
      return false;
    }
    digest.Add(chunk.get(), n);
  }
  return true;
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
  Digest digest;
  const Source source{*fs, fileHandle, journalView.get()};
  const bool read = (entry.flags & format::kFlagCompressed)
                        ? DigestParts(source, entry, digest, why)
                        : DigestStored(source, entry, digest, why);
  if (!read) return false;
  if (digest.length != entry.realSize) {
    why = "parts do not add up to its size";
    return false;
  }
  if (digest.adler != entry.checksum) {
    why = "checksum mismatch";
    return false;
  }
  return true;
}

}  // namespace GAME
