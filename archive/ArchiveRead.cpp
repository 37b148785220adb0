// Reading stored files back into memory: byte ranges of an entry's content,
// through a one-part cache of inflated data for compressed entries.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/Inflate.h"
#include "platform/FileSystem.h"

namespace GAME {

bool Archive::ReadFromFile(int index, unsigned char* destination, unsigned int offset,
                           unsigned int size, BlockBuffer* buffer) const {
  if (destination == nullptr) return Fail(ErrorCode::BadArgument, "no destination");
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) {
    return Fail(ErrorCode::BadArgument, "no such entry");
  }
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  // A removed entry has no content: offset 0 reads nothing and succeeds.
  if (!(entry.flags & format::kFlagActive)) {
    return offset == 0 || Fail(ErrorCode::BadArgument, "offset beyond the end");
  }
  if (offset > entry.realSize) return Fail(ErrorCode::BadArgument, "offset beyond the end");

  const unsigned int count = std::min(size, entry.realSize - offset);
  if (count == 0) return true;
  if (entry.flags & format::kFlagCompressed) {
    return ReadCompressedRange(index, destination, offset, count, buffer);
  }
  return ReadStored(uint64_t(entry.offset) + offset, destination, count);
}

bool Archive::ReadCompressedRange(int index, unsigned char* destination, unsigned int offset,
                                  unsigned int count, BlockBuffer* buffer) const {
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  // Without a caller's cache, one of our own lives for this call only. It
  // only ever holds this entry's parts, so it is sized to the largest of
  // them (LoadPart refuses parts beyond the format's bounds before reading).
  std::unique_ptr<unsigned char[]> scratch;
  BlockBuffer temporary{kNoPart, nullptr, nullptr};
  if (buffer == nullptr) {
    uint32_t largestStored = 0;
    uint32_t largestReal = 0;
    for (uint32_t k = 0; k < entry.numParts; ++k) {
      largestStored = std::max(largestStored, std::min(entry.parts[k].storedSize, MaxPartSize()));
      largestReal = std::max(largestReal, std::min(entry.parts[k].realSize, blockSize));
    }
    scratch = std::make_unique_for_overwrite<unsigned char[]>(size_t(largestStored) + largestReal);
    temporary.compressedData = scratch.get();
    temporary.uncompressedData = scratch.get() + largestStored;
    buffer = &temporary;
  }

  while (count > 0) {
    const unsigned int part = offset / blockSize;
    const unsigned int position = offset % blockSize;
    const unsigned int n = std::min(blockSize - position, count);
    if (part >= entry.numParts || position + n > entry.parts[part].realSize) {
      return Fail(ErrorCode::Damaged, "part records do not cover the content");
    }
    if (buffer->currentPart != part && !LoadPart(index, part, *buffer)) return false;
    std::memcpy(destination, buffer->uncompressedData + position, n);
    destination += n;
    offset += n;
    count -= n;
  }
  return true;
}

bool Archive::LoadPart(int index, unsigned int part, BlockBuffer& buffer) const {
  const PartRecord& record = entries[static_cast<size_t>(index)].parts[part];
  // The areas are about to be overwritten: until the part is whole they
  // hold no part at all.
  buffer.currentPart = kNoPart;
  if (record.storedSize > MaxPartSize() || record.realSize > blockSize) {
    return Fail(ErrorCode::Damaged, "part too large");
  }
  if (!ReadStored(record.offset, buffer.compressedData, record.storedSize)) return false;

  if (!InflatePart(buffer.compressedData, record.storedSize, buffer.uncompressedData,
                   record.realSize, nullptr)) {
    return Fail(ErrorCode::Damaged, "part " + std::to_string(part + 1) + " does not inflate");
  }
  buffer.currentPart = part;
  return true;
}

bool Archive::ReadStored(uint64_t offset, unsigned char* destination, unsigned int size) const {
  if (fileHandle == platform::InvalidHandle()) return Fail(ErrorCode::NotOpen, "archive closed");
  if (size == 0) return true;
  if (journalView) {
    return ReadArchive(offset, destination, size) || FailSystem(ErrorCode::IO, "reading the archive");
  }
  const platform::IoResult read = fs->ReadAt(fileHandle, offset, destination, size);
  if (!read.ok) return FailSystem(ErrorCode::IO, "reading the archive");
  // A read that came up short ran past the end of the file.
  return read.count == size || Fail(ErrorCode::Damaged, "data beyond the end of the file");
}

bool Archive::ExtractFileToMemory(int index, unsigned char* destination, unsigned int size) const {
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) {
    return Fail(ErrorCode::BadArgument, "no such entry");
  }
  const unsigned int n = std::min(size, entries[static_cast<size_t>(index)].realSize);
  return ReadFromFile(index, destination, 0, n, nullptr);
}

}  // namespace GAME
