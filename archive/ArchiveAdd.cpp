// Adding files: placing a new entry (in the best-fitting removed slot, or at
// the end of the data area), writing its content stored or as independently
// compressed blocks, and withdrawing the entry again when the write fails.
// Compressed parts from disk are kept in memory up to a bound and staged at
// the end of the data area beyond it, so a large file needs little memory.
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/ErrorSlots.h"
#include "archive/Format.h"
#include "archive/Journal.h"
#include "archive/Names.h"
#include "archive/Packer.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

// No byte of an archive, its index included, may lie at or beyond 4 GiB.
constexpr uint64_t kArchiveLimit = uint64_t(1) << 32;
// The stored path copies a source in chunks of this size.
constexpr size_t kCopyChunk = size_t(1) << 20;
// A replaced entry up to this size is kept in memory while the new one may
// overwrite its slot; a larger one is removed only once the new one is placed.
constexpr uint32_t kKeepLimit = uint32_t(64) << 20;
// The hash table is rebuilt each time this many more entries are appended.
constexpr size_t kEntryGrowth = 256;

uint32_t PartCount(uint32_t size) {
  return static_cast<uint32_t>((uint64_t(size) + format::kBlockSize - 1) / format::kBlockSize);
}

uint32_t Checksum(uint32_t checksum, const unsigned char* data, size_t size) {
  return static_cast<uint32_t>(adler32_z(checksum, data, size));
}

uint32_t StartChecksum() { return static_cast<uint32_t>(adler32_z(0, nullptr, 0)); }

bool WriteAll(const platform::FileSystem& fs, void* file, uint64_t offset,
              const unsigned char* data, size_t size) {
  if (size == 0) return true;
  const platform::IoResult wrote = fs.WriteAt(file, offset, data, size);
  return wrote.ok && wrote.count == size;
}

bool ReadAll(const platform::FileSystem& fs, void* file, uint64_t offset, unsigned char* data,
             size_t size) {
  const platform::IoResult read = fs.ReadAt(file, offset, data, size);
  return read.ok && read.count == size;
}

// A file's compressed parts back to back in one growing buffer, with their
// records; part offsets are relative to the first part until it is placed.
struct CompressedContent {
  explicit CompressedContent(uint32_t realSize)
      : partCapacity(PartCount(realSize)),
        parts(std::make_unique<Archive::PartRecord[]>(partCapacity)) {}

  // Compresses one block into the next part. False when zlib fails or the
  // parts would no longer fit in an archive.
  bool Append(const unsigned char* block, uint32_t length, int level) {
    if (count == partCapacity) return false;
    const uLong bound = compressBound(length);
    const size_t at = bytes.size();
    bytes.resize(at + bound);
    uLongf produced = bound;
    if (compress2(bytes.data() + at, &produced, block, length, level) != Z_OK) return false;
    bytes.resize(at + produced);
    if (bytes.size() >= kArchiveLimit) return false;
    parts[count++] = {static_cast<uint32_t>(at), static_cast<uint32_t>(produced), length};
    return true;
  }

  uint32_t StoredSize() const { return static_cast<uint32_t>(bytes.size()); }

  void MakeAbsolute(uint32_t offset) {
    for (uint32_t k = 0; k < count; ++k) parts[k].offset += offset;
  }

  uint32_t partCapacity;
  uint32_t count = 0;
  std::unique_ptr<Archive::PartRecord[]> parts;
  std::vector<unsigned char> bytes;
};

// Compressed parts past this many bytes are not kept in memory but staged
// at the end of the data area.
constexpr size_t kStageLimit = size_t(4) << 20;

// One compressed part as its producer hands it over.
struct CompressedPart {
  const unsigned char* data;
  uint32_t size;
  uint32_t realSize;
};

// The compressed parts of a file on their way into the archive: the newest
// in memory, older ones (once they passed kStageLimit) already written after
// the end of the data area, where an appended entry begins anyway. Part
// offsets are relative to the first part until it is placed.
struct StagedParts {
  explicit StagedParts(uint32_t realSize)
      : count(PartCount(realSize)), parts(std::make_unique<Archive::PartRecord[]>(count)) {}

  // False when the parts would no longer fit in an archive.
  bool Append(const CompressedPart& part) {
    if (stored + part.size >= kArchiveLimit) return false;
    if (buffer.size() + part.size > buffer.capacity() && buffer.size() >= kStageLimit / 2) {
      buffer.reserve(kStageLimit + Archive::MaxPartSize());
    }
    buffer.insert(buffer.end(), part.data, part.data + part.size);
    parts[added++] = {static_cast<uint32_t>(stored), part.size, part.realSize};
    stored += part.size;
    return true;
  }

  void MakeAbsolute(uint32_t offset) {
    for (uint32_t k = 0; k < count; ++k) parts[k].offset += offset;
  }

  uint32_t count;
  uint32_t added = 0;
  std::unique_ptr<Archive::PartRecord[]> parts;
  std::vector<unsigned char> buffer;  // the parts not staged
  uint64_t stored = 0;                // bytes of all parts so far
  uint64_t staged = 0;                // of which written at stageOffset
  uint64_t stageOffset = 0;
};

// Writes the buffered parts after those staged at the end of the data area
// (dataEnd), saving what the archive as opened needs there first.
bool Stage(Journal& journal, const platform::FileSystem& fs, void* file, uint32_t dataEnd,
           StagedParts& content) {
  if (content.staged == 0) {
    if (!journal.Protect({{dataEnd, kToEnd}})) return false;
    content.stageOffset = dataEnd;
  }
  if (!WriteAll(fs, file, content.stageOffset + content.staged, content.buffer.data(),
                content.buffer.size())) {
    return false;
  }
  content.staged += content.buffer.size();
  content.buffer.clear();
  return true;
}

// Writes the parts at offset. Staged bytes are in place for an entry
// appended at the staging offset; for a reused slot they are copied there.
bool WriteParts(const platform::FileSystem& fs, void* file, uint32_t offset,
                const StagedParts& content) {
  if (content.staged > 0 && offset != content.stageOffset) {
    const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(kCopyChunk);
    for (uint64_t done = 0; done < content.staged;) {
      const auto length = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, content.staged - done));
      if (!ReadAll(fs, file, content.stageOffset + done, chunk.get(), length) ||
          !WriteAll(fs, file, offset + done, chunk.get(), length)) {
        return false;
      }
      done += length;
    }
  }
  return WriteAll(fs, file, offset + content.staged, content.buffer.data(), content.buffer.size());
}

// The source's size, or nothing when it cannot be taken or reaches 4 GiB.
std::optional<uint32_t> SourceSize(const platform::FileSystem& fs, const platform::File& source) {
  const std::optional<uint64_t> size = fs.Size(source.Handle());
  if (!size || *size >= kArchiveLimit) return std::nullopt;
  return static_cast<uint32_t>(*size);
}

}  // namespace

int Archive::FailSource(const char* path) const {
  FailSystem(ErrorCode::IO, path);
  return -1;
}

int Archive::FailSourceSize(const platform::File& source, const char* path) const {
  const std::optional<uint64_t> size = fs->Size(source.Handle());
  if (size) return FailIndex(ErrorCode::TooLarge, path);
  return FailSource(path);
}

bool Archive::Writable() const {
  return fileMode == ModeWrite && fileHandle != platform::InvalidHandle();
}

// The table is rebuilt on the old schedule, every 256 appends, with the
// bucket count for the entries there are; the storage doubles, so copying
// the entries costs a constant per entry. A rebuild that would change
// neither the bucket count nor where the entries are is skipped: it would
// only reorder the chains, and at 100,000 entries it would rehash them all
// every 256 files.
void Archive::GrowEntries() {
  const size_t wanted = entries.size() + kEntryGrowth;
  const bool moves = entries.capacity() < wanted;
  if (moves) entries.reserve(std::max(wanted, entries.capacity() * 2));
  entryCapacity = wanted;
  if (moves || names::TableSizeFor(static_cast<uint32_t>(entries.size())) != tableSize) {
    BuildTable();  // the chains may point into the old storage
  }
}

int Archive::AddEntry(const char* name, unsigned int storedSize, unsigned int realSize,
                      bool compressed) {
  std::string normalized;
  names::NormalizeName(name, normalized);
  if (!Writable()) return FailIndex(ErrorCode::NotOpen, "not open for writing");
  if (normalized.empty()) return FailIndex(ErrorCode::BadArgument, "empty name");
  if (FindFile(name) >= 0) return FailIndex(ErrorCode::NameTaken, normalized);

  // The data and the index that Close will write after it must end below
  // 4 GiB; a reused slot does not move the end of the data area.
  const uint32_t numParts = compressed ? PartCount(realSize) : 0;
  const int reused = FindFreeEntry(storedSize);
  const bool append = reused < 0;
  const uint64_t dataEnd = uint64_t(DataEnd()) + (append ? storedSize : 0);
  const uint64_t indexBytes = partAndNameBytes + normalized.size() + 1 +
                              uint64_t(numParts) * format::kPartRecordSize +
                              (entries.size() + (append ? 1 : 0)) * format::kEntryRecordSize;
  if (dataEnd + indexBytes >= kArchiveLimit) return FailIndex(ErrorCode::TooLarge, "the archive");

  FileEntry entry{};
  entry.flags = format::kFlagActive | (compressed ? format::kFlagCompressed : 0);
  entry.storedSize = storedSize;
  entry.realSize = realSize;
  unsigned int index;
  if (append) {
    if (entries.size() == entryCapacity) GrowEntries();
    if (entryBlocks.size() == entryBlocks.capacity()) entryBlocks.reserve(entries.capacity());
    index = static_cast<unsigned int>(entries.size());
    entry.offset = DataEnd();
    entries.push_back(entry);
    entryBlocks.emplace_back();
    try {
      SetEntryName(index, normalized);
    } catch (...) {
      entries.pop_back();
      entryBlocks.pop_back();
      throw;
    }
  } else {
    index = static_cast<unsigned int>(reused);
    entry.offset = entries[index].offset;
    SetEntryName(index, normalized);  // first: nothing has changed if it throws
    entry.name = entries[index].name;
    entry.nameLength = entries[index].nameLength;
    entries[index] = entry;
    RemoveFreeEntry(index);
  }
  LinkEntry(entries[index]);
  return static_cast<int>(index);
}

// Places the entry and has writeContent(offset) write its data there. A
// write that fails, or an exception, withdraws the entry again.
template <class WriteContent>
int Archive::PlaceEntry(const char* name, unsigned int storedSize, unsigned int realSize,
                        bool compressed, WriteContent&& writeContent) {
  // A replacement's content is ready. The old entry is removed now, so that
  // its slot and record take part in the best fit like any removed file's;
  // its bytes are kept in memory first, to be written back if the write
  // into its own slot fails. An entry too large to keep stays until the new
  // one is placed elsewhere.
  std::optional<TakenEntry> replaced;
  const int replacedIndex = replacing;
  replacing = -1;
  std::vector<unsigned char> oldBytes;
  if (replacedIndex >= 0) {
    const FileEntry& old = entries[static_cast<size_t>(replacedIndex)];
    if (old.storedSize <= kKeepLimit) {
      oldBytes.resize(old.storedSize);
      if (!ReadStored(old.offset, oldBytes.data(), old.storedSize)) return -1;
      replaced = TakeOutEntry(static_cast<unsigned int>(replacedIndex));
    }
  }
  std::vector<FreeSlot> freeBefore;
  freeBefore.reserve(freeEntries.size());
  for (uint32_t i : freeEntries) freeBefore.push_back({i, entries[i].storedSize});

  const uint32_t endBefore = DataEnd();
  int index = -1;
  bool written = false;
  try {
    index = AddEntry(name, storedSize, realSize, compressed);
    if (index >= 0) {
      // The data goes into a removed file's slot or over the old index,
      // which Close overwrites too: what the archive as opened needs there
      // is saved first. writeContent records why it failed.
      const uint64_t offset = entries[static_cast<size_t>(index)].offset;
      written = journal->ProtectAhead({{offset, offset + storedSize}, {endBefore, kToEnd}});
      if (!written) FailSystem(ErrorCode::IO, "writing the journal");
      written = written && writeContent(static_cast<uint32_t>(offset));
      if (!written && replaced && replaced->index == unsigned(index)) {
        // The old entry's own slot was (partly) overwritten: its bytes go back.
        const Error why = LastError();
        if (!WriteAll(*fs, fileHandle, offset, oldBytes.data(), oldBytes.size())) {
          FailSystem(ErrorCode::IO, "restoring the replaced file");
          replaced.reset();  // its data is no longer whole: it stays removed
        } else {
          errors->Set(why);
        }
      }
    }
  } catch (...) {
    if (replaced && replaced->index == unsigned(index) &&
        !WriteAll(*fs, fileHandle, entries[replaced->index].offset, oldBytes.data(),
                  oldBytes.size())) {
      replaced.reset();  // its data is no longer whole: it stays removed
    }
    if (index >= 0) WithdrawEntry(index, freeBefore);
    if (replaced) PutBackEntry(std::move(*replaced));
    throw;
  }
  if (!written) {
    if (index >= 0) WithdrawEntry(index, freeBefore);
    if (replaced) PutBackEntry(std::move(*replaced));
    return -1;
  }
  if (replacedIndex >= 0 && !replaced) RemoveFile(replacedIndex);
  return index;
}

Archive::TakenEntry Archive::TakeOutEntry(unsigned int index) {
  const FileEntry& entry = entries[index];
  TakenEntry taken{index, entry, std::string(entry.name, entry.nameLength), {}};
  taken.parts.assign(entry.parts, entry.parts + entry.numParts);
  RemoveFile(static_cast<int>(index));
  return taken;
}

void Archive::PutBackEntry(TakenEntry taken) {
  const unsigned int at = taken.index;
  RemoveFreeEntry(at);
  FileEntry& entry = entries[at];
  entry = taken.entry;
  entry.name = nullptr;
  entry.parts = nullptr;
  entry.next = nullptr;
  SetEntryName(at, taken.name);
  auto parts = std::make_unique<PartRecord[]>(taken.parts.size());
  std::copy(taken.parts.begin(), taken.parts.end(), parts.get());
  SetEntryParts(at, taken.parts.empty() ? nullptr : std::move(parts),
                static_cast<unsigned int>(taken.parts.size()));
  LinkEntry(entry);
}

void Archive::WithdrawEntry(int index, const std::vector<FreeSlot>& freeBefore) {
  const auto at = static_cast<unsigned int>(index);
  UnlinkEntry(entries[at]);
  ReleaseEntryBlocks(at);
  const auto slot = std::find_if(freeBefore.begin(), freeBefore.end(),
                                 [at](const FreeSlot& s) { return s.index == at; });
  if (slot == freeBefore.end()) {
    // Appended: it is the last entry.
    entries.pop_back();
    entryBlocks.pop_back();
    return;
  }
  // Reused: the slot becomes inactive again with its old size, and its index
  // goes back to where it stood in the free list.
  FileEntry& entry = entries[at];
  const uint32_t offset = entry.offset;
  entry = FileEntry{};
  entry.offset = offset;
  entry.storedSize = slot->storedSize;
  auto position = freeEntries.begin();
  for (const FreeSlot& s : freeBefore) {
    if (s.index == at) {
      freeEntries.insert(position, at);
    } else {
      ++position;
    }
  }
}

int Archive::AddFileFromMemory(const char* name, unsigned char* data, unsigned int size,
                               int level) {
  if (!Writable()) return FailIndex(ErrorCode::NotOpen, "not open for writing");
  if (data == nullptr && size != 0) return FailIndex(ErrorCode::BadArgument, "no data");
  if (level < 0 || level > 9) return FailIndex(ErrorCode::BadLevel, std::to_string(level));
  if (FindFile(name) >= 0) return FailIndex(ErrorCode::NameTaken, name);
  const uint32_t checksum = Checksum(StartChecksum(), data, size);
  if (level == 0) {
    const int index = PlaceEntry(name, size, size, false, [&](uint32_t offset) {
      return WriteAll(*fs, fileHandle, offset, data, size) ||
             FailSystem(ErrorCode::IO, "writing the archive");
    });
    if (index >= 0) entries[static_cast<size_t>(index)].checksum = checksum;
    return index;
  }

  CompressedContent content(size);
  for (uint32_t done = 0; done < size;) {
    const uint32_t length = std::min(format::kBlockSize, size - done);
    if (!content.Append(data + done, length, level)) return FailIndex(ErrorCode::TooLarge, name);
    done += length;
  }
  const int index = PlaceEntry(name, content.StoredSize(), size, true, [&](uint32_t offset) {
    return WriteAll(*fs, fileHandle, offset, content.bytes.data(), content.bytes.size()) ||
           FailSystem(ErrorCode::IO, "writing the archive");
  });
  if (index < 0) return -1;
  const auto at = static_cast<unsigned int>(index);
  content.MakeAbsolute(entries[at].offset);
  SetEntryParts(at, std::move(content.parts), content.count);
  entries[at].checksum = checksum;
  return index;
}

int Archive::AddFileFromDisk(const char* path, int level) {
  return AddFileFromDisk(path, path, level);
}

int Archive::AddFileFromDisk(const char* path, const char* name, int level) {
  if (!Writable()) return FailIndex(ErrorCode::NotOpen, "not open for writing");
  if (path == nullptr || path[0] == '\0') return FailIndex(ErrorCode::BadArgument, "no path");
  if (name == nullptr) return FailIndex(ErrorCode::BadArgument, "no name");
  if (level < 0 || level > 9) return FailIndex(ErrorCode::BadLevel, std::to_string(level));
  // Taken before the content is read: a file changed during the add then
  // looks newer than what was stored.
  const std::optional<platform::FileTime> time = fs->LastWriteTime(path);
  const int index =
      level == 0 ? StoreFileFromDisk(path, name) : CompressFileFromDisk(path, name, level);
  if (index < 0) return -1;
  entries[static_cast<size_t>(index)].fileTime =
      time ? FileTime{time->low, time->high} : FileTime{0, 0};
  return index;
}

int Archive::ReplaceFileFromDisk(int index, const char* path, int level) {
  return ReplaceEntry(index, path, [&] { return AddFileFromDisk(path, level); });
}

int Archive::ReplacePackedFile(int index, PackedFile& file) {
  return ReplaceEntry(index, file.Path().c_str(), [&] { return AddPackedFile(file); });
}

// Replaces the active entry index, which path must name, by what add adds.
template <class Add>
int Archive::ReplaceEntry(int index, const char* path, Add&& add) {
  if (!Writable()) return FailIndex(ErrorCode::NotOpen, "not open for writing");
  if (index < 0 || static_cast<size_t>(index) >= entries.size() ||
      !(entries[static_cast<size_t>(index)].flags & format::kFlagActive) ||
      FindFile(path) != index) {
    return FailIndex(ErrorCode::BadArgument, "the entry is not the path's");
  }
  // Out of the chains the old entry no longer blocks its name while the new
  // content is read and compressed; PlaceEntry removes it just before it
  // places the new one, so a file that cannot be read keeps the old entry.
  const auto old = static_cast<size_t>(index);
  UnlinkEntry(entries[old]);
  replacing = index;
  const auto restoreOld = [&] {
    replacing = -1;
    if (entries[old].flags & format::kFlagActive) {
      UnlinkEntry(entries[old]);  // a rebuild during the add may have linked it
      LinkEntry(entries[old]);
    }
  };
  int added;
  try {
    added = add();
  } catch (...) {
    restoreOld();
    throw;
  }
  restoreOld();
  return added;
}

int Archive::StoreFileFromDisk(const char* path, const char* name) {
  if (FindFile(name) >= 0) return FailIndex(ErrorCode::NameTaken, name);
  const platform::File source(
      *fs, fs->Open(path, platform::Access::Read, platform::Creation::OpenExisting,
                    platform::Lock::Shared));
  if (!source.IsOpen()) return FailSource(path);
  const std::optional<uint32_t> size = SourceSize(*fs, source);
  if (!size) return FailSourceSize(source, path);
  const uint32_t n = *size;

  const size_t chunk = std::min<size_t>(kCopyChunk, n);
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(chunk);
  uint32_t checksum = StartChecksum();
  const int index = PlaceEntry(name, n, n, false, [&](uint32_t offset) {
    for (uint32_t done = 0; done < n;) {
      const auto length = static_cast<uint32_t>(std::min<size_t>(chunk, n - done));
      // A short read means the file shrank: what was placed cannot be filled.
      if (!ReadAll(*fs, source.Handle(), done, buffer.get(), length)) return FailSource(path) >= 0;
      checksum = Checksum(checksum, buffer.get(), length);
      if (!WriteAll(*fs, fileHandle, uint64_t(offset) + done, buffer.get(), length)) {
        return FailSystem(ErrorCode::IO, "writing the archive");
      }
      done += length;
    }
    return true;
  });
  if (index >= 0) entries[static_cast<size_t>(index)].checksum = checksum;
  return index;
}

// Places a compressed file whose nextPart(CompressedPart&) delivers its
// parts in order (false: the part could not be made). Parts beyond
// kStageLimit bytes are staged at the end of the data area as they come.
template <class NextPart>
int Archive::PlaceCompressed(const char* name, unsigned int realSize, NextPart&& nextPart) {
  StagedParts content(realSize);
  for (uint32_t k = 0; k < content.count; ++k) {
    CompressedPart part{};
    if (!nextPart(part)) return -1;  // it recorded why
    if (!content.Append(part)) return FailIndex(ErrorCode::TooLarge, name);
    if (content.buffer.size() > kStageLimit &&
        !Stage(*journal, *fs, fileHandle, DataEnd(), content)) {
      FailSystem(ErrorCode::IO, "writing the archive");
      return -1;
    }
  }
  const int index = PlaceEntry(name, static_cast<uint32_t>(content.stored), realSize, true,
                               [&](uint32_t offset) {
                                 return WriteParts(*fs, fileHandle, offset, content) ||
                                        FailSystem(ErrorCode::IO, "writing the archive");
                               });
  if (index < 0) return -1;
  const auto at = static_cast<unsigned int>(index);
  content.MakeAbsolute(entries[at].offset);
  SetEntryParts(at, std::move(content.parts), content.count);
  return index;
}

int Archive::CompressFileFromDisk(const char* path, const char* name, int level) {
  if (FindFile(name) >= 0) return FailIndex(ErrorCode::NameTaken, name);
  platform::File source(*fs, fs->Open(path, platform::Access::Read,
                                      platform::Creation::OpenExisting, platform::Lock::Shared));
  if (!source.IsOpen()) return FailSource(path);
  const std::optional<uint32_t> size = SourceSize(*fs, source);
  if (!size) return FailSourceSize(source, path);
  const uint32_t n = *size;
  // One block at a time, uncompressed and compressed.
  const uint32_t blockLength = std::min(format::kBlockSize, n);
  const auto block = std::make_unique_for_overwrite<unsigned char[]>(blockLength);
  const auto packed = std::make_unique_for_overwrite<unsigned char[]>(compressBound(blockLength));
  uint32_t checksum = StartChecksum();
  uint32_t done = 0;
  const int index = PlaceCompressed(name, n, [&](CompressedPart& part) {
    const uint32_t length = std::min(format::kBlockSize, n - done);
    if (!ReadAll(*fs, source.Handle(), done, block.get(), length)) return FailSource(path) >= 0;
    checksum = Checksum(checksum, block.get(), length);
    uLongf produced = compressBound(length);
    if (compress2(packed.get(), &produced, block.get(), length, level) != Z_OK) {
      return Fail(ErrorCode::BadLevel, "compression failed");
    }
    done += length;
    if (done == n) source.Reset();  // closed before the content is placed
    part = {packed.get(), static_cast<uint32_t>(produced), length};
    return true;
  });
  if (index >= 0) entries[static_cast<size_t>(index)].checksum = checksum;
  return index;
}

int Archive::AddPackedFile(PackedFile& file) {
  const char* path = file.Path().c_str();
  if (!Writable()) return FailIndex(ErrorCode::NotOpen, "not open for writing");
  if (path[0] == '\0') return FailIndex(ErrorCode::BadArgument, "no path");
  if (FindFile(path) >= 0) return FailIndex(ErrorCode::NameTaken, path);
  if (!file.Opened()) {
    errors->Set(file.Failure());
    return -1;
  }
  uint32_t checksum = StartChecksum();
  PackedBlock block;
  const int index = PlaceCompressed(path, file.Size(), [&](CompressedPart& part) {
    if (!file.NextBlock(block)) {
      errors->Set(file.Failure());
      return false;
    }
    checksum = static_cast<uint32_t>(adler32_combine(checksum, block.checksum, block.realSize));
    part = {block.bytes.data(), static_cast<uint32_t>(block.bytes.size()), block.realSize};
    return true;
  });
  if (index < 0) return -1;
  entries[static_cast<size_t>(index)].checksum = checksum;
  entries[static_cast<size_t>(index)].fileTime = file.Time();
  return index;
}

// The pipeline forms: a chosen stored name, constant data, a file time.

int Archive::AddFileFromMemory(const char* name, const unsigned char* data, unsigned int size,
                               int level, FileTime fileTime) {
  // The description's form takes the data as non-const but only reads it.
  const int index = AddFileFromMemory(name, const_cast<unsigned char*>(data), size, level);
  if (index >= 0) entries[static_cast<size_t>(index)].fileTime = fileTime;
  return index;
}

int Archive::ReplaceFileFromDisk(int index, const char* path, const char* name, int level) {
  if (name == nullptr) return FailIndex(ErrorCode::BadArgument, "no name");
  return ReplaceEntry(index, name, [&] { return AddFileFromDisk(path, name, level); });
}

int Archive::ReplaceFileFromMemory(int index, const char* name, const unsigned char* data,
                                   unsigned int size, int level, FileTime fileTime) {
  if (name == nullptr) return FailIndex(ErrorCode::BadArgument, "no name");
  return ReplaceEntry(index, name,
                      [&] { return AddFileFromMemory(name, data, size, level, fileTime); });
}

}  // namespace GAME
