// The rollback journal that keeps an archive whole while it is changed in
// place. Before the first write over bytes that the archive as opened still
// needs (its header, its index, the data of its files), those bytes are
// copied into NAME-journal beside it and flushed; then the archive's change
// mark is set to "in progress" with the journal's token and flushed. Close
// flushes the new index and the new header (still marked), deletes the
// journal, which commits, and clears the mark.
//
// A journal is applied only to an archive whose own mark says its change is
// in progress under that journal's token: a journal beside a committed
// archive, another archive or a file that is not one is never applied. An
// archive marked without a journal (its directory was not writable, or the
// writer died between deleting the journal and clearing the mark) is read
// as it is. An
// Open for writing rolls the archive back (ModeRead reads it through the
// saved bytes without writing). A file at the journal path that is not this
// archive's journal is left alone and refuses changes.
//
// The journal file, integers little-endian:
//   header (2076 bytes): "KVJRNL02"; the archive's length when it was opened
//     (u64); the change's token (u64); the archive's first 2048 bytes then
//     (zeros for an empty file); CRC-32 of the bytes before it (u32).
//   segments, one per save: "SEGM"; record count (u32); payload length (u64);
//     CRC-32 of the payload followed by the 16 bytes before it (u32); then
//     the payload: records of archive offset (u64), length (u32), bytes.
// A segment is flushed before any byte it saves is overwritten, so a torn
// last segment (its CRC fails) saved nothing that was overwritten and is
// ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "platform/FileSystem.h"

namespace GAME {

// Bytes [begin, end) of the archive file.
struct ByteRange {
  uint64_t begin;
  uint64_t end;
};
inline constexpr uint64_t kToEnd = UINT64_MAX;
// Saved bytes are gathered and copied back this much at a time (tests of
// segments larger than one choose less).
inline constexpr uint64_t kJournalChunk = uint64_t(4) << 20;

// The journal of the archive at archivePath: its exact on-disk path (no case
// folding) plus "-journal", absolute; nothing when the archive's path cannot
// be had.
std::optional<std::string> JournalPath(const platform::FileSystem& fs,
                                       const std::string& archivePath);

// The directory of a path ("." when it has none).
std::string DirectoryOf(const std::string& path);

// Where the saved bytes of a journal lie: archive offset, length, position
// in the journal file.
struct JournalExtent {
  uint64_t offset;
  uint64_t length;
  uint64_t at;
};

// The archive as its own journal says it was before the interrupted change.
class JournalView {
 public:
  JournalView(const platform::FileSystem& fs, platform::File journal, uint64_t length,
              std::vector<JournalExtent> extents, uint64_t chunk)
      : fs_(fs),
        journal_(std::move(journal)),
        length_(length),
        chunk_(chunk),
        extents_(std::move(extents)) {}

  // The archive's length before the interrupted write.
  uint64_t Length() const { return length_; }
  // Reads size bytes at offset of the archive as it was; false unless all of
  // them could be read.
  bool Read(platform::FileHandle archive, uint64_t offset, void* data, size_t size) const;
  // Writes the saved bytes back, restores the length and, last, the header
  // (which clears the mark), flushing in between.
  bool RollBack(platform::FileHandle archive) const;

 private:
  const platform::FileSystem& fs_;
  platform::File journal_;
  uint64_t length_;
  uint64_t chunk_;
  std::vector<JournalExtent> extents_;  // sorted by offset, disjoint
};

// What lies at the journal path of an open archive.
struct JournalFinding {
  Archive::JournalState state = Archive::JournalState::Ready;
  // The archive's own journal of an interrupted change: to be applied.
  std::unique_ptr<JournalView> view;
  // A journal with nothing to apply, the archive being what it saved (its
  // change never began, or was rolled back): a writer deletes it.
  bool stale = false;
};
JournalFinding ExamineJournal(const platform::FileSystem& fs, const std::string& path,
                              platform::FileHandle archive, uint64_t chunk = kJournalChunk);

// The journal of one opening for writing. The file is made by the first
// Protect and deleted by Commit; the destructor leaves it in place. Without a
// file (the directory is not writable) Protect only sets the mark.
class Journal {
 public:
  // path: where the journal goes. length: the archive's length as opened.
  // needed: its byte ranges that the index as opened refers to (the files'
  // data, the index itself).
  Journal(const platform::FileSystem& fs, std::string path, platform::FileHandle archive,
          uint64_t length, const std::vector<ByteRange>& needed, bool withFile,
          uint64_t chunk = kJournalChunk);

  // Call before writing into ranges: saves the needed bytes among them not
  // saved yet. The first call creates the journal even when nothing needs
  // saving, as it records the length to restore, and sets the mark. False
  // when the journal could not be written and flushed: the write must not
  // happen.
  bool Protect(std::initializer_list<ByteRange> ranges);
  // Protect for a write into a reused slot: a segment that must be written
  // also saves needed bytes after the first range, which the next writes of
  // a run over the archive in order need next.
  bool ProtectAhead(std::initializer_list<ByteRange> ranges);
  // True once the mark is set (the archive may have been written).
  bool Started() const { return started_; }
  // Puts the mark "in progress" of this change into a header.
  void StampMark(unsigned char* header) const;
  // Deletes the journal once the archive's new header is flushed, which
  // commits, then clears the mark; true when there was nothing to do or
  // both are done for good. When the journal could not be deleted, the
  // change is still started and a later Commit tries again.
  bool Commit();

 private:
  std::vector<ByteRange> NeededWithin(std::initializer_list<ByteRange> ranges) const;
  std::vector<ByteRange> NeededWithout(const std::vector<ByteRange>& pieces) const;
  bool Save(std::initializer_list<ByteRange> ranges, bool ahead);
  uint64_t UseAhead(std::initializer_list<ByteRange> ranges);
  std::vector<ByteRange> NeededAhead(const std::vector<ByteRange>& pieces, uint64_t budget) const;
  bool Begin(const std::vector<ByteRange>& pieces);
  bool Mark();
  bool WriteSegment(std::vector<unsigned char> buffer, const std::vector<ByteRange>& pieces);

  const platform::FileSystem& fs_;
  std::string path_;
  platform::FileHandle archive_;
  uint64_t length_;
  std::vector<ByteRange> needed_;  // sorted; disjoint, not touching
  bool withFile_;
  uint64_t chunk_;
  uint64_t token_;
  platform::File journal_;
  uint64_t end_ = 0;  // where the next segment goes
  uint64_t requested_ = 0;         // needed bytes that writes were to come over
  std::vector<ByteRange> ahead_;   // needed bytes saved before any write asked
  uint64_t aheadBytes_ = 0;        // their count
  bool started_ = false;
};

}  // namespace GAME
