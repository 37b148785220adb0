// Reading stored files back into memory: byte ranges of an entry's content,
// through a one-part cache of inflated data for compressed entries.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "platform/FileSystem.h"

namespace GAME {

bool Archive::ReadFromFile(int index, unsigned char* destination, unsigned int offset,
                           unsigned int size, BlockBuffer* buffer) const {
  if (destination == nullptr) return false;
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) return false;
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  if (!(entry.flags & format::kFlagActive)) return false;
  if (offset > entry.realSize) return false;

  const unsigned int count = std::min(size, entry.realSize - offset);
  if (count == 0) return true;
  if (entry.flags & format::kFlagCompressed) {
    return ReadCompressedRange(index, destination, offset, count, buffer);
  }
  return ReadStored(uint64_t(entry.offset) + offset, destination, count);
}

bool Archive::ReadCompressedRange(int index, unsigned char* destination, unsigned int offset,
                                  unsigned int count, BlockBuffer* buffer) const {
  // Without a caller's cache, one of our own lives for this call only.
  std::unique_ptr<unsigned char[]> scratch;
  BlockBuffer temporary{kNoPart, nullptr, nullptr};
  if (buffer == nullptr) {
    scratch = std::make_unique<unsigned char[]>(size_t(MaxPartSize()) + blockSize);
    temporary.compressedData = scratch.get();
    temporary.uncompressedData = scratch.get() + MaxPartSize();
    buffer = &temporary;
  }

  const FileEntry& entry = entries[static_cast<size_t>(index)];
  while (count > 0) {
    const unsigned int part = offset / blockSize;
    const unsigned int position = offset % blockSize;
    const unsigned int n = std::min(blockSize - position, count);
    if (part >= entry.numParts || position + n > entry.parts[part].realSize) return false;
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
  if (record.storedSize > MaxPartSize() || record.realSize > blockSize) return false;
  if (!ReadStored(record.offset, buffer.compressedData, record.storedSize)) return false;

  uLongf inflated = record.realSize;
  const int result =
      uncompress(buffer.uncompressedData, &inflated, buffer.compressedData, record.storedSize);
  if (result != Z_OK || inflated != record.realSize) return false;
  buffer.currentPart = part;
  return true;
}

bool Archive::ReadStored(uint64_t offset, unsigned char* destination, unsigned int size) const {
  if (fileHandle == platform::InvalidHandle()) return false;
  if (size == 0) return true;
  return ReadArchive(offset, destination, size);
}

bool Archive::ExtractFileToMemory(int index, unsigned char* destination, unsigned int size) const {
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) return false;
  const unsigned int n = std::min(size, entries[static_cast<size_t>(index)].realSize);
  return ReadFromFile(index, destination, 0, n, nullptr);
}

}  // namespace GAME
