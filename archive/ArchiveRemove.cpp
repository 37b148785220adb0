// Removing files and compacting the archive in place: a removed entry turns
// inactive and keeps its slot for reuse; Compact moves the active entries'
// data together from byte 2048 and drops the inactive entries.
#include <memory>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/Journal.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

// The one buffer of a compaction; it grows to the largest entry moved.
class MoveBuffer {
 public:
  unsigned char* Get(uint32_t size) {
    if (size > size_) {
      bytes_.reset();
      bytes_ = std::make_unique_for_overwrite<unsigned char[]>(size);
      size_ = size;
    }
    return bytes_.get();
  }

 private:
  std::unique_ptr<unsigned char[]> bytes_;
  uint32_t size_ = 0;
};

// Moves size bytes from `from` down to `to`, reading all of them before
// writing any, so overlapping regions move correctly. When the write fails,
// the part of the source that it may have overwritten is written back.
bool MoveRegion(const platform::FileSystem& fs, void* file, uint32_t from, uint32_t to,
                uint32_t size, MoveBuffer& buffer) {
  if (size == 0) return true;
  unsigned char* bytes = buffer.Get(size);
  const platform::IoResult read = fs.ReadAt(file, from, bytes, size);
  if (!read.ok || read.count != size) return false;
  const platform::IoResult wrote = fs.WriteAt(file, to, bytes, size);
  if (wrote.ok && wrote.count == size) return true;
  if (uint64_t(to) + size > from) fs.WriteAt(file, from, bytes, to + size - from);
  return false;
}

}  // namespace

bool Archive::RemoveFile(int index) {
  if (!Writable()) return Fail(ErrorCode::NotOpen, "not open for writing");
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) {
    return Fail(ErrorCode::BadArgument, "no such entry");
  }
  const auto at = static_cast<uint32_t>(index);
  FileEntry& entry = entries[at];
  if (!(entry.flags & format::kFlagActive)) return Fail(ErrorCode::BadArgument, "entry removed");
  freeEntries.push_back(at);  // first: the only step that can throw
  UnlinkEntry(entry);
  ReleaseEntryBlocks(at);
  const uint32_t offset = entry.offset;
  const uint32_t storedSize = entry.storedSize;
  entry = FileEntry{};
  entry.offset = offset;
  entry.storedSize = storedSize;
  return true;
}

bool Archive::Compact() {
  if (!Writable()) return Fail(ErrorCode::NotOpen, "not open for writing");
  MoveBuffer buffer;
  uint32_t position = format::kHeaderSize;
  size_t kept = 0;
  size_t next = 0;  // the first entry not compacted
  bool moved = true;
  bool saved = false;
  for (; next < entries.size(); ++next) {
    FileEntry& entry = entries[next];
    if (!(entry.flags & format::kFlagActive)) continue;
    if (entry.offset != position) {
      // Everything from the first move on is overwritten by the moves or
      // by Close: what the archive as opened needs there is saved once.
      if (!saved) saved = journal->Protect({{position, kToEnd}});
      if (!saved ||
          !MoveRegion(*fs, fileHandle, entry.offset, position, entry.storedSize, buffer)) {
        FailSystem(ErrorCode::IO, saved ? "moving data" : "the journal");
        moved = false;
        break;
      }
      entry.offset = position;
      for (uint32_t k = 0; k < entry.numParts; ++k) {
        entry.parts[k].offset =
            k == 0 ? position : entry.parts[k - 1].offset + entry.parts[k - 1].storedSize;
      }
    }
    position += entry.storedSize;
    if (kept != next) {
      entries[kept] = entry;
      entryBlocks[kept] = std::move(entryBlocks[next]);
    }
    ++kept;
  }

  // After a failure the entry that failed and every later one stay as they
  // are, inactive ones included, right behind the entries already moved.
  const size_t dropped = next - kept;
  for (size_t i = next; dropped != 0 && i < entries.size(); ++i) {
    entries[i - dropped] = entries[i];
    entryBlocks[i - dropped] = std::move(entryBlocks[i]);
  }
  entries.resize(entries.size() - dropped);
  entryBlocks.resize(entryBlocks.size() - dropped);

  // The inactive entries that stayed remain reusable, in index order.
  freeEntries.remove_if([next](uint32_t i) { return i < next; });
  freeEntries.sort();
  for (uint32_t& i : freeEntries) i -= static_cast<uint32_t>(dropped);
  BuildTable();
  return moved;
}

}  // namespace GAME
