// Index persistence: reading and checking the header and index at Open,
// writing them back at Close, the list of reusable entries, and the heap
// blocks that entries own while an archive is open for writing.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/Journal.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

using format::EntryRecord;
using format::Header;

bool WriteAll(const platform::FileSystem& fs, void* file, uint64_t offset,
              const unsigned char* data, size_t size) {
  const platform::IoResult wrote = fs.WriteAt(file, offset, data, size);
  return wrote.ok && wrote.count == size;
}

// Whether the file holds exactly these bytes at offset; nothing when they
// cannot all be read.
std::optional<bool> OnDisk(const platform::FileSystem& fs, void* file, uint64_t offset,
                           const unsigned char* bytes, size_t size) {
  std::vector<unsigned char> stored(size);
  const platform::IoResult read = fs.ReadAt(file, offset, stored.data(), size);
  if (!read.ok || read.count != size) return std::nullopt;
  return std::equal(stored.begin(), stored.end(), bytes);
}

// Nothing when the header is sound, else the check it failed.
const char* ParseHeader(const unsigned char* bytes, Header& header) {
  if (std::memcmp(bytes + format::kHeaderMagic, format::kMagic, sizeof format::kMagic) != 0) {
    return "bad magic";
  }
  if (format::LoadU32(bytes + format::kHeaderVersion) != format::kVersion) {
    return "unknown version";
  }
  header.numEntries = format::LoadU32(bytes + format::kHeaderNumEntries);
  header.numParts = format::LoadU32(bytes + format::kHeaderNumParts);
  header.partTableSize = format::LoadU32(bytes + format::kHeaderPartTableSize);
  header.nameTableSize = format::LoadU32(bytes + format::kHeaderNameTableSize);
  header.indexOffset = format::LoadU32(bytes + format::kHeaderIndexOffset);
  return nullptr;
}

// Checks a compressed entry's parts: contiguous from the entry's offset,
// full blocks but the last, sizes adding up to the entry's.
bool PartsAreSound(const EntryRecord& r, const Archive::PartRecord* parts, uint32_t maxPart) {
  const uint64_t expectedParts =
      (uint64_t(r.realSize) + format::kBlockSize - 1) / format::kBlockSize;
  if (r.numParts != expectedParts) return false;
  uint64_t position = r.offset;
  for (uint32_t k = 0; k < r.numParts; ++k) {
    const Archive::PartRecord& part = parts[k];
    const uint32_t wanted =
        k + 1 < r.numParts ? format::kBlockSize : r.realSize - k * format::kBlockSize;
    if (part.offset != position || part.realSize != wanted || part.storedSize > maxPart) {
      return false;
    }
    position += part.storedSize;
  }
  return position - r.offset == r.storedSize;
}

// Checks one record against the tables and the region before it; on success
// advances dataEnd past its region.
bool RecordIsSound(const EntryRecord& r, const Header& header, const Archive::PartRecord* partTable,
                   const char* nameTable, uint64_t& dataEnd, uint32_t maxPart) {
  const bool active = r.flags & format::kFlagActive;
  if (r.flags != 0 && r.flags != format::kFlagActive &&
      r.flags != (format::kFlagActive | format::kFlagCompressed)) {
    return false;
  }
  const uint64_t end = uint64_t(r.offset) + r.storedSize;
  if (r.offset < dataEnd || end > header.indexOffset) return false;
  if (uint64_t(r.firstPart) + r.numParts > header.numParts) return false;
  dataEnd = end;
  if (!active) return r.numParts == 0 && r.nameLength == 0;
  if (uint64_t(r.nameOffset) + r.nameLength + 1 > header.nameTableSize) return false;
  const char* name = nameTable + r.nameOffset;
  if (name[r.nameLength] != '\0' || std::memchr(name, '\0', r.nameLength) != nullptr) return false;
  if (r.flags & format::kFlagCompressed) return PartsAreSound(r, partTable + r.firstPart, maxPart);
  return r.numParts == 0 && r.storedSize == r.realSize;
}

// Lays the part table, the name table and the entry records out in index,
// to be written at indexOffset with one call, and fills the header.
void LayOutIndex(const mem::vector<Archive::FileEntry>& entries, uint32_t indexOffset,
                 std::vector<unsigned char>& index, unsigned char* header) {
  const auto numEntries = static_cast<uint32_t>(entries.size());
  uint32_t numParts = 0;
  uint32_t nameTableSize = 0;
  for (const Archive::FileEntry& entry : entries) {
    numParts += entry.numParts;
    if (entry.name != nullptr) nameTableSize += entry.nameLength + 1;
  }
  const size_t partBytes = size_t(numParts) * format::kPartRecordSize;
  index.assign(partBytes + nameTableSize + size_t(numEntries) * format::kEntryRecordSize, 0);
  unsigned char* partOut = index.data();
  char* nameOut = reinterpret_cast<char*>(index.data() + partBytes);
  unsigned char* recordOut = index.data() + partBytes + nameTableSize;
  uint32_t partsSoFar = 0;
  uint32_t namesSoFar = 0;
  for (const Archive::FileEntry& entry : entries) {
    EntryRecord r{entry.flags,    entry.offset,    entry.storedSize,
                  entry.realSize, entry.checksum,  entry.fileTime.lowDateTime,
                  entry.fileTime.highDateTime,     entry.numParts,
                  partsSoFar,     entry.nameLength, namesSoFar};
    for (uint32_t k = 0; k < entry.numParts; ++k, partOut += format::kPartRecordSize) {
      format::StoreU32(partOut, entry.parts[k].offset);
      format::StoreU32(partOut + 4, entry.parts[k].storedSize);
      format::StoreU32(partOut + 8, entry.parts[k].realSize);
    }
    partsSoFar += entry.numParts;
    if (entry.name != nullptr) {
      std::memcpy(nameOut + namesSoFar, entry.name, entry.nameLength);
      nameOut[namesSoFar + entry.nameLength] = '\0';
      namesSoFar += entry.nameLength + 1;
    }
    format::EncodeEntryRecord(r, recordOut);
    recordOut += format::kEntryRecordSize;
  }

  std::memset(header, 0, format::kHeaderSize);
  std::memcpy(header + format::kHeaderMagic, format::kMagic, sizeof format::kMagic);
  format::StoreU32(header + format::kHeaderVersion, format::kVersion);
  format::StoreU32(header + format::kHeaderNumEntries, numEntries);
  format::StoreU32(header + format::kHeaderNumParts, numParts);
  format::StoreU32(header + format::kHeaderPartTableSize, numParts * format::kPartRecordSize);
  format::StoreU32(header + format::kHeaderNameTableSize, nameTableSize);
  format::StoreU32(header + format::kHeaderIndexOffset, indexOffset);
}

}  // namespace

void Archive::ResetIndex() {
  entries.clear();
  entries.shrink_to_fit();
  entryCapacity = 0;
  entryBlocks.clear();
  freeEntries.clear();
  partAndNameBytes = 0;
  partBuffer.reset();
  nameBuffer.reset();
  table.reset();
}

bool Archive::LoadIndex(uint64_t fileSize) {
  Header header;
  unsigned char headerBytes[format::kHeaderSize];
  if (fileSize < format::kHeaderSize) {
    return Fail(ErrorCode::NotAnArchive, "shorter than its header");
  }
  if (!ReadArchive(0, headerBytes, sizeof headerBytes)) {
    return FailSystem(ErrorCode::IO, "reading the header");
  }
  if (const char* check = ParseHeader(headerBytes, header)) {
    return Fail(ErrorCode::NotAnArchive, check);
  }
  const uint64_t partBytes = uint64_t(header.numParts) * format::kPartRecordSize;
  const uint64_t recordBytes = uint64_t(header.numEntries) * format::kEntryRecordSize;
  const uint64_t indexBytes = partBytes + header.nameTableSize + recordBytes;
  if (header.indexOffset < format::kHeaderSize || header.indexOffset + indexBytes > fileSize) {
    return Fail(ErrorCode::NotAnArchive, "index outside the file");
  }

  // The whole index in one read; its size is bounded by the file's.
  std::vector<unsigned char> index(indexBytes);
  if (!ReadArchive(header.indexOffset, index.data(), index.size())) {
    return FailSystem(ErrorCode::IO, "reading the index");
  }

  auto parts = std::make_unique<PartRecord[]>(header.numParts);
  for (uint32_t k = 0; k < header.numParts; ++k) {
    const unsigned char* p = index.data() + uint64_t(k) * format::kPartRecordSize;
    parts[k] = {format::LoadU32(p), format::LoadU32(p + 4), format::LoadU32(p + 8)};
  }
  auto names = std::make_unique<char[]>(header.nameTableSize);
  std::copy_n(index.begin() + static_cast<ptrdiff_t>(partBytes), header.nameTableSize, names.get());

  mem::vector<FileEntry> loaded;
  loaded.reserve(header.numEntries);  // exactly: the first append regrows
  const unsigned char* records = index.data() + partBytes + header.nameTableSize;
  uint64_t dataEnd = format::kHeaderSize;
  for (uint32_t i = 0; i < header.numEntries; ++i) {
    const EntryRecord r = format::DecodeEntryRecord(records + uint64_t(i) * format::kEntryRecordSize);
    if (!RecordIsSound(r, header, parts.get(), names.get(), dataEnd, kMaxPartSize)) {
      return Fail(ErrorCode::NotAnArchive, "entry record " + std::to_string(i) + " malformed");
    }
    FileEntry entry{};
    entry.flags = r.flags;
    entry.offset = r.offset;
    entry.storedSize = r.storedSize;
    entry.realSize = r.realSize;
    entry.numParts = r.numParts;
    entry.checksum = r.checksum;
    entry.fileTime = {r.fileTimeLow, r.fileTimeHigh};
    entry.nameLength = r.nameLength;
    if (r.flags & format::kFlagActive) {
      entry.name = names.get() + r.nameOffset;
      entry.parts = parts.get() + r.firstPart;
    }
    loaded.push_back(entry);
  }

  entries = std::move(loaded);
  entryCapacity = entries.size();
  if (fileMode == ModeRead) {
    partBuffer = std::move(parts);
    nameBuffer = std::move(names);
    return true;
  }
  // ModeWrite: every active entry gets blocks of its own, so entries can be
  // added, replaced and removed one by one.
  entryBlocks.resize(entries.size());
  for (unsigned int i = 0; i < entries.size(); ++i) {
    FileEntry& entry = entries[i];
    if (!(entry.flags & format::kFlagActive)) {
      freeEntries.push_back(i);
      continue;
    }
    const PartRecord* sourceParts = entry.parts;
    SetEntryName(i, std::string(entry.name, entry.nameLength));
    auto own = std::make_unique<PartRecord[]>(entry.numParts);
    std::copy(sourceParts, sourceParts + entry.numParts, own.get());
    SetEntryParts(i, std::move(own), entry.numParts);
  }
  return true;
}

uint32_t Archive::DataEnd() const {
  if (entries.empty()) return format::kHeaderSize;
  return entries.back().offset + entries.back().storedSize;
}

bool Archive::SaveIndex() {
  const uint32_t indexOffset = DataEnd();
  std::vector<unsigned char> index;
  unsigned char header[format::kHeaderSize];
  LayOutIndex(entries, indexOffset, index, header);

  const uint64_t indexEnd = uint64_t(indexOffset) + index.size();
  const std::optional<uint64_t> size = fs->Size(fileHandle);
  if (!journal->Started() && size && *size >= indexEnd) {
    // Nothing written yet, and the file is long enough to hold this index
    // already: when it does, at most bytes another writer left are cut off.
    const std::optional<bool> sameIndex =
        OnDisk(*fs, fileHandle, indexOffset, index.data(), index.size());
    const std::optional<bool> sameHeader =
        sameIndex ? OnDisk(*fs, fileHandle, 0, header, sizeof header) : std::nullopt;
    if (!sameHeader) return FailSystem(ErrorCode::IO, "reading the index");
    if (*sameIndex && *sameHeader) {
      return *size == indexEnd || fs->Truncate(fileHandle, indexEnd) ||
             FailSystem(ErrorCode::IO, "cutting the archive");
    }
  }
  // The index and its header are flushed in turn, so a header that differs
  // from the journal's always has its index whole behind it; deleting the
  // journal then commits.
  if (!journal->Protect({{indexOffset, kToEnd}})) return FailSystem(ErrorCode::IO, "the journal");
  if (!WriteAll(*fs, fileHandle, indexOffset, index.data(), index.size()) ||
      !fs->Truncate(fileHandle, indexEnd) || !fs->Flush(fileHandle) ||
      !WriteAll(*fs, fileHandle, 0, header, sizeof header) || !fs->Flush(fileHandle)) {
    return FailSystem(ErrorCode::IO, "writing the index");
  }
  return journal->Commit() || FailSystem(ErrorCode::IO, "removing the journal");
}

bool Archive::ReadArchive(uint64_t offset, void* data, size_t size) const {
  if (journalView) return journalView->Read(fileHandle, offset, data, size);
  const platform::IoResult read = fs->ReadAt(fileHandle, offset, data, size);
  return read.ok && read.count == size;
}

void Archive::SetEntryName(unsigned int index, const std::string& name) {
  auto block = std::make_unique<char[]>(name.size() + 1);
  std::memcpy(block.get(), name.data(), name.size());
  block[name.size()] = '\0';
  if (entryBlocks[index].name) partAndNameBytes -= entries[index].nameLength + 1;
  partAndNameBytes += name.size() + 1;
  entries[index].name = block.get();
  entries[index].nameLength = static_cast<uint32_t>(name.size());
  entryBlocks[index].name = std::move(block);
}

void Archive::SetEntryParts(unsigned int index, std::unique_ptr<PartRecord[]> parts,
                            unsigned int count) {
  if (entryBlocks[index].parts) {
    partAndNameBytes -= uint64_t(entries[index].numParts) * format::kPartRecordSize;
  }
  if (parts) partAndNameBytes += uint64_t(count) * format::kPartRecordSize;
  entries[index].parts = count == 0 ? nullptr : parts.get();
  entries[index].numParts = count;
  entryBlocks[index].parts = std::move(parts);
}

void Archive::ReleaseEntryBlocks(unsigned int index) {
  if (index < entryBlocks.size()) {
    EntryBlocks& blocks = entryBlocks[index];
    if (blocks.name) partAndNameBytes -= entries[index].nameLength + 1;
    if (blocks.parts) {
      partAndNameBytes -= uint64_t(entries[index].numParts) * format::kPartRecordSize;
    }
    blocks = EntryBlocks{};
  }
  entries[index].name = nullptr;
  entries[index].parts = nullptr;
}

int Archive::FindFreeEntry(unsigned int size) const {
  uint32_t best = 0xFFFFFFFF;
  int bestIndex = -1;
  for (uint32_t index : freeEntries) {
    const uint32_t stored = entries[index].storedSize;
    if (stored == size) return static_cast<int>(index);
    if (stored > size && stored < best) {
      best = stored;
      bestIndex = static_cast<int>(index);
    }
  }
  return bestIndex;
}

void Archive::RemoveFreeEntry(unsigned int index) { freeEntries.remove(index); }

}  // namespace GAME
