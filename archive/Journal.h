// The rollback journal that keeps an archive whole while it is changed in
// place. Before the first write over bytes that the archive as opened still
// needs (its header, its index, the data of its files), those bytes are
// copied into NAME-journal beside it and flushed. Close flushes the archive
// and deletes the journal: the deletion commits the new state. An Open that
// finds a complete journal for the archive puts the saved bytes back and
// restores the old length (ModeWrite), or reads the archive through the saved
// bytes without writing (ModeRead).
//
// The journal file, integers little-endian:
//   header (2068 bytes): "KVJRNL01"; the archive's length when it was opened
//     (u64); its first 2048 bytes then (zeros for an empty file); CRC-32 of
//     the bytes before it (u32).
//   segments, one per save: "SEGM"; record count (u32); payload length (u64);
//     CRC-32 of the payload followed by the 16 bytes before it (u32); then
//     the payload: records of archive offset (u64), length (u32), bytes.
// A segment is flushed before any byte it saves is overwritten, so a torn
// last segment (its CRC fails) saved nothing that was overwritten and is
// ignored. The journal belongs to the archive only while the archive's first
// 2048 bytes are those it saved: Close rewrites them last, after the index is
// flushed, so a changed header means the new state is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace GAME {

// Bytes [begin, end) of the archive file.
struct ByteRange {
  uint64_t begin;
  uint64_t end;
};
inline constexpr uint64_t kToEnd = UINT64_MAX;

// The journal beside the archive at archivePath, as an absolute path (the
// current directory may change while the archive is open); nothing when the
// current directory cannot be had.
std::optional<std::string> JournalPath(const platform::FileSystem& fs,
                                       const std::string& archivePath);

// For an archive opened for writing, under its exclusive lock: rolls it back
// when a complete journal of its own lies at path, then removes any journal
// there. False when the rollback or the removal failed; the archive must not
// be used then.
bool RecoverFromJournal(const platform::FileSystem& fs, const std::string& path,
                        platform::FileHandle archive);

// Where the saved bytes of a complete journal lie: archive offset, length,
// position in the journal file.
struct JournalExtent {
  uint64_t offset;
  uint64_t length;
  uint64_t at;
};

// The archive as a complete journal beside it says it was, read without
// writing anything (for an archive opened for reading only).
class JournalView {
 public:
  // Null when no complete journal of this archive lies at path, with failed
  // set when one lies there that could not be read.
  static std::unique_ptr<JournalView> Find(const platform::FileSystem& fs, const std::string& path,
                                           platform::FileHandle archive, bool& failed);
  JournalView(const platform::FileSystem& fs, platform::File journal, uint64_t length,
              std::vector<JournalExtent> extents)
      : fs_(fs), journal_(std::move(journal)), length_(length), extents_(std::move(extents)) {}

  // The archive's length before the interrupted write.
  uint64_t Length() const { return length_; }
  // Reads size bytes at offset of the archive as it was; false unless all of
  // them could be read.
  bool Read(platform::FileHandle archive, uint64_t offset, void* data, size_t size) const;

 private:
  const platform::FileSystem& fs_;
  platform::File journal_;
  uint64_t length_;
  std::vector<JournalExtent> extents_;  // sorted by offset, disjoint
};

// The journal of one opening for writing. The file is made by the first
// Protect and deleted by Commit; the destructor leaves it in place.
class Journal {
 public:
  // path: where the journal goes. length: the archive's length as opened.
  // needed: its byte ranges that the index as opened refers to (the files'
  // data, the index itself).
  Journal(const platform::FileSystem& fs, std::string path, platform::FileHandle archive,
          uint64_t length, const std::vector<ByteRange>& needed);

  // Call before writing into ranges: saves the needed bytes among them not
  // saved yet. The first call creates the journal even when nothing needs
  // saving, as it records the length to restore. False when the journal
  // could not be written and flushed: the write must not happen.
  bool Protect(std::initializer_list<ByteRange> ranges);
  // True once the journal exists (the archive may have been written).
  bool Started() const { return started_; }
  // Deletes the journal once the archive is flushed; true when there was
  // none or it is gone for good.
  bool Commit();

 private:
  std::vector<ByteRange> NeededWithin(std::initializer_list<ByteRange> ranges) const;
  std::vector<ByteRange> NeededWithout(const std::vector<ByteRange>& pieces) const;
  bool Begin(const std::vector<ByteRange>& pieces);
  bool WriteSegment(std::vector<unsigned char> buffer, const std::vector<ByteRange>& pieces);

  const platform::FileSystem& fs_;
  std::string path_;
  platform::FileHandle archive_;
  uint64_t length_;
  std::vector<ByteRange> needed_;  // sorted; disjoint, not touching
  platform::File journal_;
  uint64_t end_ = 0;  // where the next segment goes
  bool started_ = false;
};

}  // namespace GAME
