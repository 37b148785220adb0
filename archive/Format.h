// Constants and on-disk records of the archive format: a 2048-byte header,
// the data region, then the index (part table, name table, entry records).
// Every integer is an unsigned 32-bit little-endian value, packed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace GAME::format {

inline constexpr uint32_t kHeaderSize = 2048;
inline constexpr uint32_t kBlockSize = 262144;  // uncompressed bytes per part
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kPartRecordSize = 12;
inline constexpr uint32_t kEntryRecordSize = 44;
inline constexpr unsigned char kMagic[4] = {'A', 'R', 'C', 0};

inline constexpr uint32_t kFlagActive = 1;
inline constexpr uint32_t kFlagCompressed = 2;

// Byte offsets of the header fields.
inline constexpr size_t kHeaderMagic = 0;
inline constexpr size_t kHeaderVersion = 4;
inline constexpr size_t kHeaderNumEntries = 8;
inline constexpr size_t kHeaderNumParts = 12;
inline constexpr size_t kHeaderPartTableSize = 16;
inline constexpr size_t kHeaderNameTableSize = 20;
inline constexpr size_t kHeaderIndexOffset = 24;
// The change mark, in bytes the format reserves (readers ignore them): the
// tag "in progress" and the token of the change, set by a writer before its
// first overwrite and cleared (zeros) once the change is committed.
inline constexpr size_t kHeaderChangeTag = 28;
inline constexpr size_t kHeaderChangeToken = 36;
inline constexpr size_t kChangeMarkEnd = 44;
inline constexpr unsigned char kChangeBusy[8] = {'K', 'V', 'B', 'U', 'S', 'Y', '0', '1'};

// The header fields that matter once the magic and version are checked.
struct Header {
  uint32_t numEntries = 0;
  uint32_t numParts = 0;
  uint32_t partTableSize = 0;
  uint32_t nameTableSize = 0;
  uint32_t indexOffset = kHeaderSize;
};

// One entry record as it lies on disk, fields in file order.
struct EntryRecord {
  uint32_t flags = 0;
  uint32_t offset = 0;
  uint32_t storedSize = 0;
  uint32_t realSize = 0;
  uint32_t checksum = 0;
  uint32_t fileTimeLow = 0;
  uint32_t fileTimeHigh = 0;
  uint32_t numParts = 0;
  uint32_t firstPart = 0;
  uint32_t nameLength = 0;
  uint32_t nameOffset = 0;
};

inline uint32_t LoadU32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreU32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

EntryRecord DecodeEntryRecord(const unsigned char* p);
void EncodeEntryRecord(const EntryRecord& record, unsigned char* p);

}  // namespace GAME::format
