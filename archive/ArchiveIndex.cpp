// Index persistence: reading and checking the header and index at Open,
// writing them back at Close, the list of reusable entries, and the heap
// blocks that entries own while an archive is open for writing.
#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/Journal.h"
#include "archive/NameIndex.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

using format::EntryRecord;
using format::Header;

constexpr uint64_t kIndexChunk = uint64_t(16) << 20;
// Entry records are checked, and an index compared with the file, this many
// bytes at a time, through one small buffer that stays in the cache.
constexpr uint32_t kRecordsPerChunk = 2048;
constexpr size_t kCompareChunk = size_t(kRecordsPerChunk) * format::kEntryRecordSize;

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

// How many part records and name bytes the index of entries holds.
struct IndexShape {
  uint32_t numParts = 0;
  uint32_t nameTableSize = 0;
};

IndexShape ShapeOf(const mem::large_vector<Archive::FileEntry>& entries) {
  IndexShape shape;
  for (const Archive::FileEntry& entry : entries) {
    shape.numParts += entry.numParts;
    if (entry.name != nullptr) shape.nameTableSize += entry.nameLength + 1;
  }
  return shape;
}

// The header of an index of that shape at indexOffset, its change mark clear.
void FillHeader(const IndexShape& shape, uint32_t numEntries, uint32_t indexOffset,
                unsigned char* header) {
  std::memset(header, 0, format::kHeaderSize);
  std::memcpy(header + format::kHeaderMagic, format::kMagic, sizeof format::kMagic);
  format::StoreU32(header + format::kHeaderVersion, format::kVersion);
  format::StoreU32(header + format::kHeaderNumEntries, numEntries);
  format::StoreU32(header + format::kHeaderNumParts, shape.numParts);
  format::StoreU32(header + format::kHeaderPartTableSize, shape.numParts * format::kPartRecordSize);
  format::StoreU32(header + format::kHeaderNameTableSize, shape.nameTableSize);
  format::StoreU32(header + format::kHeaderIndexOffset, indexOffset);
}

// Calls part(bytes) for each part record, name(text, size) for each name
// with its NUL and record(bytes) for each entry record of the index of
// entries, in the order they are laid out; stops when one returns false.
template <class Part, class Name, class Record>
bool WalkIndex(const mem::large_vector<Archive::FileEntry>& entries, Part part, Name name,
               Record record) {
  for (const Archive::FileEntry& entry : entries) {
    for (uint32_t k = 0; k < entry.numParts; ++k) {
      unsigned char bytes[format::kPartRecordSize];
      format::StoreU32(bytes, entry.parts[k].offset);
      format::StoreU32(bytes + 4, entry.parts[k].storedSize);
      format::StoreU32(bytes + 8, entry.parts[k].realSize);
      if (!part(bytes)) return false;
    }
  }
  for (const Archive::FileEntry& entry : entries) {
    if (entry.name != nullptr && !name(entry.name, entry.nameLength)) return false;
  }
  uint32_t partsSoFar = 0;
  uint32_t namesSoFar = 0;
  for (const Archive::FileEntry& entry : entries) {
    const EntryRecord r{entry.flags,    entry.offset,    entry.storedSize,
                        entry.realSize, entry.checksum,  entry.fileTime.lowDateTime,
                        entry.fileTime.highDateTime,     entry.numParts,
                        partsSoFar,     entry.nameLength, namesSoFar};
    partsSoFar += entry.numParts;
    if (entry.name != nullptr) namesSoFar += entry.nameLength + 1;
    unsigned char bytes[format::kEntryRecordSize];
    format::EncodeEntryRecord(r, bytes);
    if (!record(bytes)) return false;
  }
  return true;
}

// The bytes of the index of that shape.
uint64_t IndexSize(const IndexShape& shape, size_t numEntries) {
  return uint64_t(shape.numParts) * format::kPartRecordSize + shape.nameTableSize +
         uint64_t(numEntries) * format::kEntryRecordSize;
}

// Lays the part table, the name table and the entry records out in index,
// to be written with one call.
void LayOutIndex(const mem::large_vector<Archive::FileEntry>& entries, const IndexShape& shape,
                 std::vector<unsigned char>& index) {
  index.resize(static_cast<size_t>(IndexSize(shape, entries.size())));
  unsigned char* out = index.data();
  WalkIndex(
      entries,
      [&](const unsigned char* bytes) {
        out = std::copy_n(bytes, format::kPartRecordSize, out);
        return true;
      },
      [&](const char* name, uint32_t length) {
        out = std::copy_n(reinterpret_cast<const unsigned char*>(name), length, out);
        *out++ = '\0';
        return true;
      },
      [&](const unsigned char* bytes) {
        out = std::copy_n(bytes, format::kEntryRecordSize, out);
        return true;
      });
}

// The bytes of a file from an offset on, compared in order with the pieces
// given, read a chunk at a time.
class DiskComparison {
 public:
  DiskComparison(const platform::FileSystem& fs, void* file, uint64_t offset, uint64_t size)
      : fs_(fs),
        file_(file),
        next_(offset),
        left_(size),
        buffer_(std::make_unique_for_overwrite<unsigned char[]>(
            static_cast<size_t>(std::min<uint64_t>(size, kCompareChunk)))) {}

  // Whether the next size bytes on disk are these; false too when they
  // cannot be read (Failed then says so).
  bool Same(const unsigned char* bytes, size_t size) {
    while (size > 0) {
      if (at_ == held_ && !Refill()) return false;
      const size_t n = std::min(size, held_ - at_);
      if (std::memcmp(buffer_.get() + at_, bytes, n) != 0) return false;
      at_ += n;
      bytes += n;
      size -= n;
    }
    return true;
  }
  bool Failed() const { return failed_; }

 private:
  bool Refill() {
    const auto n = static_cast<size_t>(std::min<uint64_t>(left_, kCompareChunk));
    if (n == 0) return false;  // the pieces go on past the index
    const platform::IoResult read = fs_.ReadAt(file_, next_, buffer_.get(), n);
    if (!read.ok || read.count != n) {
      failed_ = true;
      return false;
    }
    next_ += n;
    left_ -= n;
    at_ = 0;
    held_ = n;
    return true;
  }

  const platform::FileSystem& fs_;
  void* file_;
  uint64_t next_;
  uint64_t left_;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t at_ = 0;
  size_t held_ = 0;
  bool failed_ = false;
};

// Whether the file holds the index of entries, of that shape, at offset;
// compared as it is laid out, without building it. Nothing when it cannot
// be read.
std::optional<bool> IndexOnDisk(const platform::FileSystem& fs, void* file,
                                const mem::large_vector<Archive::FileEntry>& entries,
                                const IndexShape& shape, uint64_t offset) {
  DiskComparison disk(fs, file, offset, IndexSize(shape, entries.size()));
  static constexpr unsigned char kNul = 0;
  const bool same = WalkIndex(
      entries,
      [&](const unsigned char* bytes) { return disk.Same(bytes, format::kPartRecordSize); },
      [&](const char* name, uint32_t length) {
        return disk.Same(reinterpret_cast<const unsigned char*>(name), length) &&
               disk.Same(&kNul, 1);
      },
      [&](const unsigned char* bytes) { return disk.Same(bytes, format::kEntryRecordSize); });
  if (disk.Failed()) return std::nullopt;
  return same;
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
  loadedAsWritten = false;
  indexChanged = false;
  table.reset();
  if (nameIndex) nameIndex->Forget();
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

  // The part table is read straight into its records and the name table
  // into a block of its own: the loaded entries point into both, in either
  // mode, so nothing per entry is allocated (a changed entry gets blocks of
  // its own). Both, and the entries, are large blocks (whole large pages
  // where the system has them, since each is filled at once); their pages
  // are only taken as they are read, so memory follows what was actually
  // read rather than what the header claims.
  static_assert(sizeof(PartRecord) == format::kPartRecordSize);
  auto parts = mem::MakeLargeArray<PartRecord>(header.numParts);
  auto names = mem::MakeLargeArray<char>(header.nameTableSize);
  const auto readTable = [this](uint64_t offset, void* table, uint64_t size) {
    for (uint64_t done = 0; done < size;) {
      const auto n = static_cast<size_t>(std::min(size - done, kIndexChunk));
      if (!ReadArchive(offset + done, static_cast<char*>(table) + done, n)) return false;
      done += n;
    }
    return true;
  };
  if (!readTable(header.indexOffset, parts.get(), partBytes) ||
      !readTable(header.indexOffset + partBytes, names.get(), header.nameTableSize)) {
    return FailSystem(ErrorCode::IO, "reading the index");
  }
  if constexpr (std::endian::native != std::endian::little) {
    for (uint32_t k = 0; k < header.numParts; ++k) {
      const auto* p = reinterpret_cast<const unsigned char*>(&parts[k]);
      parts[k] = {format::LoadU32(p), format::LoadU32(p + 4), format::LoadU32(p + 8)};
    }
  }

  // The entry records pass through one small buffer: each is checked and
  // made into its entry as it comes, so no memory holds them twice.
  mem::large_vector<FileEntry> loaded;
  loaded.reserve(header.numEntries);  // exactly: the first append regrows
  const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(
      size_t(std::min(header.numEntries, kRecordsPerChunk)) * format::kEntryRecordSize);
  const uint64_t recordsAt = header.indexOffset + partBytes + header.nameTableSize;
  uint64_t dataEnd = format::kHeaderSize;
  uint64_t tableBytes = 0;
  // The part records and name bytes before each entry as Close lays them out.
  uint64_t partsSoFar = 0;
  uint64_t namesSoFar = 0;
  bool asWritten = true;
  for (uint32_t first = 0; first < header.numEntries; first += kRecordsPerChunk) {
    const uint32_t count = std::min(header.numEntries - first, kRecordsPerChunk);
    if (!ReadArchive(recordsAt + uint64_t(first) * format::kEntryRecordSize, chunk.get(),
                     size_t(count) * format::kEntryRecordSize)) {
      return FailSystem(ErrorCode::IO, "reading the index");
    }
    for (uint32_t k = 0; k < count; ++k) {
      const EntryRecord r = format::DecodeEntryRecord(chunk.get() + k * format::kEntryRecordSize);
      if (!RecordIsSound(r, header, parts.get(), names.get(), dataEnd, kMaxPartSize)) {
        return Fail(ErrorCode::NotAnArchive,
                    "entry record " + std::to_string(first + k) + " malformed");
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
      asWritten = asWritten && r.firstPart == partsSoFar && r.nameOffset == namesSoFar;
      partsSoFar += r.numParts;
      if (r.flags & format::kFlagActive) {
        entry.name = names.get() + r.nameOffset;
        entry.parts = parts.get() + r.firstPart;
        tableBytes += r.nameLength + 1 + uint64_t(r.numParts) * format::kPartRecordSize;
        namesSoFar += r.nameLength + 1;
      }
      loaded.push_back(entry);
    }
  }
  // dataEnd is now the end of the last entry's region.
  loadedAsWritten = asWritten && partsSoFar == header.numParts &&
                    namesSoFar == header.nameTableSize && header.indexOffset == dataEnd &&
                    fileSize == header.indexOffset + indexBytes;

  entries = std::move(loaded);
  entryCapacity = entries.size();
  partBuffer = std::move(parts);
  nameBuffer = std::move(names);
  if (fileMode == ModeRead) return true;
  // ModeWrite: entries can be added, replaced and removed one by one; the
  // loaded ones keep pointing into the tables until they change.
  partAndNameBytes = tableBytes;
  for (unsigned int i = 0; i < entries.size(); ++i) {
    if (!(entries[i].flags & format::kFlagActive)) freeEntries.push_back(i);
  }
  return true;
}

uint32_t Archive::DataEnd() const {
  if (entries.empty()) return format::kHeaderSize;
  return entries.back().offset + entries.back().storedSize;
}

bool Archive::SaveIndex() {
  const uint32_t indexOffset = DataEnd();
  const IndexShape shape = ShapeOf(entries);
  const uint64_t indexEnd = indexOffset + IndexSize(shape, entries.size());
  unsigned char header[format::kHeaderSize];
  FillHeader(shape, static_cast<uint32_t>(entries.size()), indexOffset, header);
  const std::optional<uint64_t> size = fs->Size(fileHandle);
  if (!journal->Started() && !indexChanged && loadedAsWritten && size && *size == indexEnd) {
    // Nothing changed or written since the opening (under the exclusive
    // lock), and the index is where it was: only the header may differ.
    const std::optional<bool> sameHeader = OnDisk(*fs, fileHandle, 0, header, sizeof header);
    if (!sameHeader) return FailSystem(ErrorCode::IO, "reading the index");
    if (*sameHeader) return true;
  }
  if (!journal->Started() && size && *size >= indexEnd) {
    // Nothing written since the opening (under the exclusive lock), and the
    // file is long enough to hold this index already: when it does, as after
    // an opening that changed nothing, at most bytes another writer left
    // after it are cut off.
    const std::optional<bool> sameIndex = IndexOnDisk(*fs, fileHandle, entries, shape, indexOffset);
    const std::optional<bool> sameHeader =
        sameIndex && *sameIndex ? OnDisk(*fs, fileHandle, 0, header, sizeof header) : sameIndex;
    if (!sameHeader) return FailSystem(ErrorCode::IO, "reading the index");
    if (*sameHeader) {
      return *size == indexEnd || fs->Truncate(fileHandle, indexEnd) ||
             FailSystem(ErrorCode::IO, "cutting the archive");
    }
  }
  std::vector<unsigned char> index;
  LayOutIndex(entries, shape, index);
  // The index and its header are flushed in turn; the header keeps the mark
  // "in progress", so until the journal is deleted (which commits) the
  // change can still be rolled back. The mark is cleared after that.
  if (!journal->Protect({{indexOffset, kToEnd}})) return FailSystem(ErrorCode::IO, "the journal");
  journal->StampMark(header);
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

void Archive::ClaimEntryBlocks() {
  if (entryBlocks.size() < entries.size()) entryBlocks.resize(entries.size());
}

void Archive::SetEntryName(unsigned int index, const std::string& name) {
  indexChanged = true;
  ClaimEntryBlocks();
  auto block = std::make_unique<char[]>(name.size() + 1);
  std::memcpy(block.get(), name.data(), name.size());
  block[name.size()] = '\0';
  if (entries[index].name != nullptr) partAndNameBytes -= entries[index].nameLength + 1;
  partAndNameBytes += name.size() + 1;
  entries[index].name = block.get();
  entries[index].nameLength = static_cast<uint32_t>(name.size());
  entryBlocks[index].name = std::move(block);
}

void Archive::SetEntryParts(unsigned int index, std::unique_ptr<PartRecord[]> parts,
                            unsigned int count) {
  indexChanged = true;
  ClaimEntryBlocks();
  if (entries[index].parts != nullptr) {
    partAndNameBytes -= uint64_t(entries[index].numParts) * format::kPartRecordSize;
  }
  if (parts) partAndNameBytes += uint64_t(count) * format::kPartRecordSize;
  entries[index].parts = count == 0 ? nullptr : parts.get();
  entries[index].numParts = count;
  entryBlocks[index].parts = std::move(parts);
}

void Archive::ReleaseEntryBlocks(unsigned int index) {
  indexChanged = true;
  if (fileMode == ModeWrite) {
    if (entries[index].name != nullptr) partAndNameBytes -= entries[index].nameLength + 1;
    if (entries[index].parts != nullptr) {
      partAndNameBytes -= uint64_t(entries[index].numParts) * format::kPartRecordSize;
    }
  }
  // Loaded entries own no blocks: theirs are in the loaded tables.
  if (index < entryBlocks.size()) entryBlocks[index] = EntryBlocks{};
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
