// Removing files and compacting the archive in place: a removed entry turns
// inactive and keeps its slot for reuse; Compact moves the active entries'
// data together from byte 2048 and drops the inactive entries.
#include <algorithm>
#include <memory>
#include <optional>

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

namespace {

// A compaction is split into at most this many commits, or one per this
// many bytes moved: each costs a few flushes.
constexpr size_t kMaxCommits = 16;
constexpr uint64_t kBytesPerCommit = uint64_t(1) << 20;

// How a compaction protects what it overwrites. Moving the entries down in
// batches, committing the archive before the first and after each, the
// journal saves only where the first move of a batch lands on its own old
// place (and the old index at each commit): the next moves of a batch go
// where no entry of the batch lies, over removed regions and the old places
// of entries moved and committed before. A batch ends before the move that
// would reach the old place of its first entry. With many batches for the
// bytes moved or a large index, a single save of everything from the first
// move on costs less.
struct CompactionPlan {
  bool inBatches = false;
};

CompactionPlan PlanCompaction(const mem::large_vector<Archive::FileEntry>& entries, uint64_t fileSize,
                              uint64_t indexBytes, bool withJournalFile) {
  uint32_t position = format::kHeaderSize;
  uint64_t firstMove = 0, moved = 0, saved = 0;
  size_t batches = 0;
  uint32_t batchSource = 0;  // old place of the batch's first entry
  for (const Archive::FileEntry& entry : entries) {
    if (!(entry.flags & format::kFlagActive)) continue;
    if (entry.offset != position) {
      if (moved == 0) firstMove = position;
      if (batches == 0 || uint64_t(position) + entry.storedSize > batchSource) {
        ++batches;
        batchSource = entry.offset;
        if (uint64_t(position) + entry.storedSize > entry.offset) {
          saved += position + entry.storedSize - entry.offset;
        }
      }
      moved += entry.storedSize;
    }
    position += entry.storedSize;
  }
  const uint64_t atOnce = moved == 0 ? 0 : fileSize - firstMove;
  return {withJournalFile && batches > 0 &&
          batches <= std::max<uint64_t>(kMaxCommits, moved / kBytesPerCommit) &&
          saved + 2 * batches * indexBytes < atOnce};
}

}  // namespace

void Archive::SettleCompacted(size_t next, size_t kept) {
  const size_t dropped = next - kept;
  if (dropped == 0) return;
  indexChanged = true;
  for (size_t i = next; i < entries.size(); ++i) {
    entries[i - dropped] = entries[i];
    entryBlocks[i - dropped] = std::move(entryBlocks[i]);
  }
  entries.resize(entries.size() - dropped);
  entryBlocks.resize(entryBlocks.size() - dropped);
  // The inactive entries that stayed remain reusable, in index order.
  freeEntries.remove_if([next](uint32_t i) { return i < next; });
  freeEntries.sort();
  for (uint32_t& i : freeEntries) i -= static_cast<uint32_t>(dropped);
}

bool Archive::Compact() {
  if (!Writable()) return Fail(ErrorCode::NotOpen, "not open for writing");
  indexChanged = true;
  ClaimEntryBlocks();  // they move with their entries
  const std::optional<uint64_t> fileSize = fs->Size(fileHandle);
  if (!fileSize) return FailSystem(ErrorCode::IO, fileName);
  const CompactionPlan plan =
      PlanCompaction(entries, *fileSize, entries.size() * format::kEntryRecordSize + partAndNameBytes,
                     journalState != JournalState::NoJournal);
  MoveBuffer buffer;
  uint32_t position = format::kHeaderSize;
  size_t kept = 0;
  size_t next = 0;  // the first entry not compacted
  bool moved = true;
  bool saved = false;
  bool batch = false;
  uint32_t batchSource = 0;
  for (; next < entries.size(); ++next) {
    FileEntry& entry = entries[next];
    if (!(entry.flags & format::kFlagActive)) continue;
    if (entry.offset != position) {
      if (plan.inBatches && (!batch || uint64_t(position) + entry.storedSize > batchSource)) {
        // What came before is committed (the entries removed before the
        // first move included, whose bytes then need no saving), and the next
        // batch has a journal of its own.
        SettleCompacted(next, kept);
        next = kept;
        const std::optional<uint64_t> size = SaveIndex() ? fs->Size(fileHandle) : std::nullopt;
        if (!size) {
          moved = false;
          break;
        }
        NewJournal(*size);
        batch = false;
      }
      FileEntry& at = entries[next];
      if (!batch) batchSource = at.offset;
      batch = true;
      // In batches the journal saves what the archive as last committed needs
      // where this entry lands; otherwise everything from the first move on
      // is overwritten by the moves or by Close, and is saved once.
      if (plan.inBatches) {
        saved = journal->Protect({{position, uint64_t(position) + at.storedSize}});
      } else if (!saved) {
        saved = journal->Protect({{position, kToEnd}});
      }
      if (!saved ||
          !MoveRegion(*fs, fileHandle, at.offset, position, at.storedSize, buffer)) {
        FailSystem(ErrorCode::IO, saved ? "moving data" : "the journal");
        moved = false;
        break;
      }
      at.offset = position;
      for (uint32_t k = 0; k < at.numParts; ++k) {
        at.parts[k].offset =
            k == 0 ? position : at.parts[k - 1].offset + at.parts[k - 1].storedSize;
      }
    }
    FileEntry& done = entries[next];
    position += done.storedSize;
    if (kept != next) {
      entries[kept] = done;
      entryBlocks[kept] = std::move(entryBlocks[next]);
    }
    ++kept;
  }
  // After a failure the entry that failed and every later one stay as they
  // are, inactive ones included, right behind the entries already moved.
  SettleCompacted(next, kept);
  BuildTable();
  return moved;
}

}  // namespace GAME
