// The rollback journal: saving the bytes an archive still needs before they
// are overwritten, committing by deleting the journal, and reading a journal
// back to roll an interrupted write back or to see past it.
#include "archive/Journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>

#include "archive/Format.h"

namespace GAME {

namespace {

constexpr unsigned char kJournalMagic[8] = {'K', 'V', 'J', 'R', 'N', 'L', '0', '2'};
constexpr unsigned char kSegmentMagic[4] = {'S', 'E', 'G', 'M'};
constexpr std::string_view kJournalSuffix = "-journal";
constexpr size_t kTokenAt = 16;
constexpr size_t kSavedHeaderAt = 24;
constexpr size_t kJournalHeaderSize = kSavedHeaderAt + format::kHeaderSize + 4;
constexpr size_t kSegmentHeaderSize = 20;
constexpr size_t kRecordHeaderSize = 12;
// The least a segment saves ahead of the writes (see Journal::Protect).
constexpr uint64_t kAheadMin = uint64_t(4) << 20;
constexpr uint64_t kMaxRecord = uint64_t(1) << 30;
// An archive's offsets are 32-bit, and its index, behind the data, is
// smaller than 4 GiB as well: no archive is longer.
constexpr uint64_t kMaxArchiveLength = uint64_t(2) << 32;

uint64_t LoadU64(const unsigned char* p) {
  return uint64_t(format::LoadU32(p)) | uint64_t(format::LoadU32(p + 4)) << 32;
}

void StoreU64(unsigned char* p, uint64_t v) {
  format::StoreU32(p, static_cast<uint32_t>(v));
  format::StoreU32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint32_t Crc(uint32_t crc, const unsigned char* data, size_t size) {
  return static_cast<uint32_t>(crc32_z(crc, data, size));
}

uint32_t StartCrc() { return static_cast<uint32_t>(crc32_z(0, nullptr, 0)); }

bool ByBegin(const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; }

// The ranges sorted, those that overlap or touch joined.
std::vector<ByteRange> Merged(std::vector<ByteRange> ranges) {
  if (!std::is_sorted(ranges.begin(), ranges.end(), ByBegin)) {
    std::sort(ranges.begin(), ranges.end(), ByBegin);
  }
  size_t kept = 0;
  for (size_t i = 0; i < ranges.size(); ++i) {
    const ByteRange r = ranges[i];
    if (kept > 0 && r.begin <= ranges[kept - 1].end) {
      ranges[kept - 1].end = std::max(ranges[kept - 1].end, r.end);
    } else {
      ranges[kept++] = r;
    }
  }
  ranges.resize(kept);
  return ranges;
}

bool ReadAll(const platform::FileSystem& fs, platform::FileHandle file, uint64_t offset,
             void* data, size_t size) {
  const platform::IoResult read = fs.ReadAt(file, offset, data, size);
  return read.ok && read.count == size;
}

bool WriteAll(const platform::FileSystem& fs, platform::FileHandle file, uint64_t offset,
              const void* data, size_t size) {
  const platform::IoResult wrote = fs.WriteAt(file, offset, data, size);
  return wrote.ok && wrote.count == size;
}

// Whether the header bytes are an archive's, marked "in progress".
bool MarkedBusy(const unsigned char* header) {
  return std::memcmp(header + format::kHeaderMagic, format::kMagic, sizeof format::kMagic) == 0 &&
         format::LoadU32(header + format::kHeaderVersion) == format::kVersion &&
         std::memcmp(header + format::kHeaderChangeTag, format::kChangeBusy,
                     sizeof format::kChangeBusy) == 0;
}

// Whether two headers agree outside the change mark, in their first size
// bytes.
bool SameOutsideMark(const unsigned char* a, const unsigned char* b, size_t size) {
  const size_t before = std::min(size, format::kHeaderChangeTag);
  if (std::memcmp(a, b, before) != 0) return false;
  return size <= format::kChangeMarkEnd ||
         std::memcmp(a + format::kChangeMarkEnd, b + format::kChangeMarkEnd,
                     size - format::kChangeMarkEnd) == 0;
}

// Bytes on their way into the journal file: gathered in buffer, which goes
// out to position at whenever it holds a chunk.
struct Spool {
  const platform::FileSystem& fs;
  platform::FileHandle file;
  uint64_t at;
  std::vector<unsigned char> buffer;
  uint64_t chunk;

  bool Spill() {
    if (!WriteAll(fs, file, at, buffer.data(), buffer.size())) return false;
    at += buffer.size();
    buffer.clear();
    return true;
  }
  // Appends size bytes of the archive from offset, adding them to crc.
  bool CopyFrom(platform::FileHandle archive, uint64_t offset, uint64_t size, uint32_t& crc) {
    for (uint64_t done = 0; done < size;) {
      if (buffer.size() >= chunk && !Spill()) return false;
      const auto n = static_cast<size_t>(std::min(size - done, chunk));
      const size_t old = buffer.size();
      buffer.resize(old + n);
      if (!ReadAll(fs, archive, offset + done, buffer.data() + old, n)) return false;
      crc = Crc(crc, buffer.data() + old, n);
      done += n;
    }
    return true;
  }
};

// Reads the segment at position into extents and moves position past it.
// False for a torn or malformed segment, and with failed set when bytes the
// journal's size promises could not be read.
bool ReadSegment(const platform::FileSystem& fs, platform::FileHandle journal,
                 uint64_t journalSize, uint64_t archiveLength, uint64_t chunkSize,
                 uint64_t& position, std::vector<JournalExtent>& extents, bool& failed) {
  unsigned char head[kSegmentHeaderSize];
  if (journalSize - position < sizeof head) return false;
  if (!ReadAll(fs, journal, position, head, sizeof head)) return !(failed = true);
  if (std::memcmp(head, kSegmentMagic, sizeof kSegmentMagic) != 0) return false;
  const uint32_t count = format::LoadU32(head + 4);
  const uint64_t payload = LoadU64(head + 8);
  const uint64_t start = position + kSegmentHeaderSize;
  if (payload > journalSize - start) return false;

  std::vector<unsigned char> chunk(static_cast<size_t>(std::min(payload, chunkSize)));
  uint32_t crc = StartCrc();
  for (uint64_t done = 0; done < payload;) {
    const auto n = static_cast<size_t>(std::min(payload - done, chunkSize));
    if (!ReadAll(fs, journal, start + done, chunk.data(), n)) return !(failed = true);
    crc = Crc(crc, chunk.data(), n);
    done += n;
  }
  if (Crc(crc, head, 16) != format::LoadU32(head + 16)) return false;

  const uint64_t end = start + payload;
  uint64_t at = start;
  std::vector<JournalExtent> found;
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char record[kRecordHeaderSize];
    if (end - at < sizeof record) return false;
    if (!ReadAll(fs, journal, at, record, sizeof record)) return !(failed = true);
    const uint64_t offset = LoadU64(record);
    const uint64_t length = format::LoadU32(record + 8);
    at += sizeof record;
    if (length > end - at || offset > archiveLength || length > archiveLength - offset) {
      return false;
    }
    found.push_back({offset, length, at});
    at += length;
  }
  if (at != end) return false;
  extents.insert(extents.end(), found.begin(), found.end());
  position = end;
  return true;
}

// Reads every whole segment of the journal after its header; false when
// the saved bytes overlap, which no journal of this tool does, or with
// failed set when bytes the journal's size promises could not be read.
bool ReadSegments(const platform::FileSystem& fs, platform::FileHandle journal, uint64_t size,
                  uint64_t length, uint64_t chunk, std::vector<JournalExtent>& extents,
                  bool& failed) {
  uint64_t position = kJournalHeaderSize;
  while (position < size &&
         ReadSegment(fs, journal, size, length, chunk, position, extents, failed)) {
  }
  if (failed) return false;
  std::sort(extents.begin(), extents.end(),
            [](const JournalExtent& a, const JournalExtent& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < extents.size(); ++i) {
    if (extents[i - 1].offset + extents[i - 1].length > extents[i].offset) return false;
  }
  return true;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  if (separator == 0) return "/";
  return path.substr(0, separator);
}

std::optional<std::string> JournalPath(const platform::FileSystem& fs,
                                       const std::string& archivePath) {
  const std::optional<std::string> onDisk = fs.OnDiskPath(archivePath);
  if (!onDisk) return std::nullopt;
  return *onDisk + std::string(kJournalSuffix);
}

JournalFinding ExamineJournal(const platform::FileSystem& fs, const std::string& path,
                              platform::FileHandle archive, uint64_t chunk) {
  using State = Archive::JournalState;
  JournalFinding finding;
  // Only the exact name counts: a name differing in case is another file.
  const std::optional<std::string> onDisk = fs.OnDiskPath(path);
  if (!onDisk || *onDisk != path) return finding;
  const platform::Attributes attributes = fs.GetAttributes(path);
  if (attributes.isLink) {
    finding.state = State::Link;
    return finding;
  }
  if (attributes.isDirectory) {
    finding.state = State::Directory;
    return finding;
  }
  // The journal is written by a writer of the archive: the caller or the
  // archive's owner.
  const std::optional<uint64_t> archiveSize = fs.Size(archive);
  const std::string archivePath = path.substr(0, path.size() - kJournalSuffix.size());
  if (!attributes.ownedByCaller && fs.GetAttributes(archivePath).owner != attributes.owner) {
    finding.state = State::OtherOwner;
    return finding;
  }
  platform::File journal(fs, fs.Open(path, platform::Access::Read,
                                     platform::Creation::OpenExisting, platform::Lock::None));
  const std::optional<uint64_t> size =
      journal.IsOpen() ? fs.Size(journal.Handle()) : std::nullopt;
  unsigned char current[format::kHeaderSize] = {};  // zeros past the archive's end
  const platform::IoResult currentRead = fs.ReadAt(archive, 0, current, sizeof current);
  if (!size || !archiveSize || !currentRead.ok ||
      currentRead.count < std::min<uint64_t>(sizeof current, *archiveSize)) {
    finding.state = State::Unreadable;
    return finding;
  }
  std::vector<unsigned char> head(kJournalHeaderSize, 0);
  const platform::IoResult headRead = fs.ReadAt(journal.Handle(), 0, head.data(), head.size());
  if (!headRead.ok || headRead.count < std::min<uint64_t>(head.size(), *size)) {
    finding.state = State::Unreadable;
    return finding;
  }
  if (headRead.count < head.size()) {
    // A writer that died while creating its journal, before the archive was
    // marked: what the file holds, if anything, is a beginning of that
    // journal, and it saved nothing the archive lacks.
    unsigned char expected[kSavedHeaderAt];
    std::memcpy(expected, kJournalMagic, sizeof kJournalMagic);
    StoreU64(expected + 8, *archiveSize);
    const size_t n = headRead.count;
    const bool prefix =
        std::memcmp(head.data(), expected, std::min(n, kTokenAt)) == 0 &&
        (n <= kSavedHeaderAt ||
         SameOutsideMark(head.data() + kSavedHeaderAt, current,
                         std::min<size_t>(n - kSavedHeaderAt, format::kHeaderSize)));
    finding.stale = prefix;
    if (!prefix) finding.state = State::NotAJournal;
    return finding;
  }
  if (std::memcmp(head.data(), kJournalMagic, sizeof kJournalMagic) != 0 ||
      Crc(StartCrc(), head.data(), head.size() - 4) !=
          format::LoadU32(head.data() + head.size() - 4)) {
    finding.state = State::NotAJournal;
    return finding;
  }
  const uint64_t length = LoadU64(head.data() + 8);
  const unsigned char* saved = head.data() + kSavedHeaderAt;
  const bool ours =
      std::memcmp(current + format::kHeaderChangeToken, head.data() + kTokenAt, 8) == 0;
  if (ours && MarkedBusy(current)) {
    // This archive's change in progress: checked whole before it is used.
    // The header is saved in the journal's own header (none for an empty
    // archive); the commit may have rewritten it already.
    std::vector<JournalExtent> extents;
    if (length >= format::kHeaderSize) extents.push_back({0, format::kHeaderSize, kSavedHeaderAt});
    bool failed = false;
    if (length > kMaxArchiveLength ||
        !ReadSegments(fs, journal.Handle(), *size, length, chunk, extents, failed)) {
      // A read error leaves it unknown what the journal saved: it stays.
      finding.state = failed ? State::Unreadable : State::NotAJournal;
      return finding;
    }
    finding.view = std::make_unique<JournalView>(fs, std::move(journal), length,
                                                 std::move(extents), chunk);
    return finding;
  }
  // Never marked, or rolled back: no overwrite happens before the mark, and
  // the header is rewritten only while marked.
  if (SameOutsideMark(saved, current, format::kHeaderSize)) {
    finding.stale = true;
    return finding;
  }
  finding.state = State::OtherChange;
  return finding;
}

bool JournalView::RollBack(platform::FileHandle archive) const {
  std::vector<unsigned char> chunk;
  const auto restore = [&](const JournalExtent& extent) {
    for (uint64_t done = 0; done < extent.length;) {
      const auto n = static_cast<size_t>(std::min(extent.length - done, chunk_));
      chunk.resize(n);
      if (!ReadAll(fs_, journal_.Handle(), extent.at + done, chunk.data(), n) ||
          !WriteAll(fs_, archive, extent.offset + done, chunk.data(), n)) {
        return false;
      }
      done += n;
    }
    return true;
  };
  // The header, which holds the mark, goes back last.
  for (const JournalExtent& extent : extents_) {
    if (extent.at != kSavedHeaderAt && !restore(extent)) return false;
  }
  if (!fs_.Truncate(archive, length_) || !fs_.Flush(archive)) return false;
  for (const JournalExtent& extent : extents_) {
    if (extent.at == kSavedHeaderAt && (!restore(extent) || !fs_.Flush(archive))) return false;
  }
  return true;
}

bool JournalView::Read(platform::FileHandle archive, uint64_t offset, void* data,
                       size_t size) const {
  if (offset > length_ || size > length_ - offset) return false;
  auto* out = static_cast<unsigned char*>(data);
  const uint64_t end = offset + size;
  auto extent = std::partition_point(extents_.begin(), extents_.end(), [&](const JournalExtent& e) {
    return e.offset + e.length <= offset;
  });
  for (uint64_t position = offset; position < end;) {
    unsigned char* target = out + (position - offset);
    if (extent != extents_.end() && extent->offset <= position) {
      const uint64_t stop = std::min(end, extent->offset + extent->length);
      const auto n = static_cast<size_t>(stop - position);
      if (!ReadAll(fs_, journal_.Handle(), extent->at + (position - extent->offset), target, n)) {
        return false;
      }
      position = stop;
      ++extent;
      continue;
    }
    const uint64_t stop = extent != extents_.end() ? std::min(end, extent->offset) : end;
    const auto n = static_cast<size_t>(stop - position);
    const platform::IoResult read = fs_.ReadAt(archive, position, target, n);
    if (!read.ok) return false;
    // Bytes the write cut off and nothing needed: a rollback leaves zeros.
    std::fill(target + read.count, target + n, 0);
    position = stop;
  }
  return true;
}

// A token no other change of this archive, or of a copy of it, is likely to
// have taken.
uint64_t NewToken(const platform::FileSystem& fs) {
  std::random_device source;
  const uint64_t random = uint64_t(source()) << 32 | source();
  return random ^ fs.Milliseconds();
}

Journal::Journal(const platform::FileSystem& fs, std::string path, platform::FileHandle archive,
                 uint64_t length, const std::vector<ByteRange>& needed, bool withFile,
                 uint64_t chunk)
    : fs_(fs),
      path_(std::move(path)),
      archive_(archive),
      length_(length),
      withFile_(withFile),
      chunk_(chunk),
      token_(NewToken(fs)) {
  for (const ByteRange& r : needed) {
    const uint64_t end = std::min(r.end, length);
    if (r.begin < end) needed_.push_back({r.begin, end});
  }
  needed_ = Merged(std::move(needed_));
}

std::vector<ByteRange> Journal::NeededWithin(std::initializer_list<ByteRange> ranges) const {
  std::vector<ByteRange> pieces;
  for (const ByteRange& r : ranges) {
    auto it = std::partition_point(needed_.begin(), needed_.end(),
                                   [&](const ByteRange& n) { return n.end <= r.begin; });
    for (; it != needed_.end() && it->begin < r.end; ++it) {
      pieces.push_back({std::max(it->begin, r.begin), std::min(it->end, r.end)});
    }
  }
  // The ranges may overlap one another: save each byte once.
  return Merged(std::move(pieces));
}

// The needed ranges once pieces (sorted, each inside one of them) are saved.
std::vector<ByteRange> Journal::NeededWithout(const std::vector<ByteRange>& pieces) const {
  std::vector<ByteRange> remaining;
  auto piece = pieces.begin();
  for (ByteRange r : needed_) {
    for (; piece != pieces.end() && piece->begin < r.end; ++piece) {
      if (r.begin < piece->begin) remaining.push_back({r.begin, piece->begin});
      r.begin = piece->end;
    }
    if (r.begin < r.end) remaining.push_back(r);
  }
  return remaining;
}

// The needed bytes not among pieces (sorted, each inside a needed range)
// from the end of the first piece on, in ascending order, at most budget.
std::vector<ByteRange> Journal::NeededAhead(const std::vector<ByteRange>& pieces,
                                            uint64_t budget) const {
  std::vector<ByteRange> ahead;
  if (pieces.empty()) return ahead;
  for (ByteRange r : NeededWithout(pieces)) {
    if (budget == 0) break;
    r.begin = std::max(r.begin, pieces[0].end);
    if (r.begin >= r.end) continue;
    r.end = r.begin + std::min(r.end - r.begin, budget);
    budget -= r.end - r.begin;
    ahead.push_back(r);
  }
  return ahead;
}

// Takes the parts of ranges out of the bytes saved ahead; returns how many.
uint64_t Journal::UseAhead(std::initializer_list<ByteRange> ranges) {
  uint64_t used = 0;
  for (const ByteRange& r : ranges) {
    std::vector<ByteRange> kept;
    for (const ByteRange& a : ahead_) {
      const uint64_t begin = std::max(a.begin, r.begin), end = std::min(a.end, r.end);
      if (begin >= end) {
        kept.push_back(a);
        continue;
      }
      used += end - begin;
      if (a.begin < begin) kept.push_back({a.begin, begin});
      if (end < a.end) kept.push_back({end, a.end});
    }
    ahead_.swap(kept);
  }
  aheadBytes_ -= used;
  return used;
}

bool Journal::Protect(std::initializer_list<ByteRange> ranges) { return Save(ranges, false); }

bool Journal::ProtectAhead(std::initializer_list<ByteRange> ranges) { return Save(ranges, true); }

bool Journal::Save(std::initializer_list<ByteRange> ranges, bool ahead) {
  std::vector<ByteRange> pieces = NeededWithin(ranges);
  if (!ahead_.empty()) requested_ += UseAhead(ranges);
  if (started_ && pieces.empty()) return true;
  // Every segment costs a flush: one that must be written anyway also saves
  // needed bytes after its first range, which the next writes of a run over
  // the archive in order (a -replace of many files) need next. Those saved
  // ahead and not written over yet stay below twice the bytes the writes
  // needed so far, and below kAheadMin at first: such a run flushes a few
  // times for any number of files, and no command saves more than three
  // times what it needed, plus kAheadMin.
  for (const ByteRange& p : pieces) requested_ += p.end - p.begin;
  const uint64_t allowance = std::max(kAheadMin, 2 * requested_);
  std::vector<ByteRange> more =
      NeededAhead(pieces, ahead && allowance > aheadBytes_ ? allowance - aheadBytes_ : 0);
  std::vector<ByteRange> savedAhead = ahead_;
  uint64_t added = 0;
  for (const ByteRange& m : more) added += m.end - m.begin;
  if (!more.empty()) {
    savedAhead.insert(savedAhead.end(), more.begin(), more.end());
    pieces.insert(pieces.end(), more.begin(), more.end());
    pieces = Merged(std::move(pieces));
  }
  // Worked out first, so that an exception leaves everything as it was.
  std::vector<ByteRange> remaining = NeededWithout(pieces);
  if (!started_) {
    if (!Begin(pieces)) return false;
  } else if (!WriteSegment({}, pieces)) {
    return false;
  }
  needed_.swap(remaining);
  ahead_.swap(savedAhead);
  aheadBytes_ += added;
  return true;
}

bool Journal::Begin(const std::vector<ByteRange>& pieces) {
  if (!withFile_) return started_ = Mark();
  // Never through a link, never over a file already there.
  journal_ = platform::File(fs_, fs_.Open(path_, platform::Access::ReadWrite,
                                          platform::Creation::CreateNew, platform::Lock::None));
  if (!journal_.IsOpen()) return false;
  // Until the mark is set nothing was overwritten: on any failure, an
  // exception included, the journal we made goes again.
  struct Undo {
    Journal& self;
    ~Undo() {
      if (self.started_) return;
      self.journal_.Reset();
      static_cast<void>(self.fs_.RemoveFile(self.path_));  // a leftover is found stale
    }
  } undo{*this};
  std::vector<unsigned char> head(kJournalHeaderSize, 0);
  std::memcpy(head.data(), kJournalMagic, sizeof kJournalMagic);
  StoreU64(head.data() + 8, length_);
  StoreU64(head.data() + kTokenAt, token_);
  end_ = 0;
  const bool headed =
      fs_.CopyPermissions(archive_, journal_.Handle()) &&
      (length_ < format::kHeaderSize ||
       ReadAll(fs_, archive_, 0, head.data() + kSavedHeaderAt, format::kHeaderSize));
  format::StoreU32(head.data() + kJournalHeaderSize - 4,
                   Crc(StartCrc(), head.data(), kJournalHeaderSize - 4));
  // The journal's header is flushed before its first segment is written: a
  // disk may keep later writes and lose earlier ones, and a journal whose
  // header is lost is nobody's to remove. Its name must last as well as its
  // bytes, and the mark comes only after both.
  started_ = headed && WriteSegment(std::move(head), {}) &&
             (pieces.empty() || WriteSegment({}, pieces)) &&
             fs_.FlushDirectory(DirectoryOf(path_)) && Mark();
  return started_;
}

void Journal::StampMark(unsigned char* header) const {
  std::memcpy(header + format::kHeaderChangeTag, format::kChangeBusy, sizeof format::kChangeBusy);
  StoreU64(header + format::kHeaderChangeToken, token_);
}

// Sets the mark "in progress" with this change's token and flushes it. An
// empty archive gets a header that says no more than that.
bool Journal::Mark() {
  unsigned char mark[format::kChangeMarkEnd] = {};
  std::memcpy(mark + format::kHeaderMagic, format::kMagic, sizeof format::kMagic);
  format::StoreU32(mark + format::kHeaderVersion, format::kVersion);
  StampMark(mark);
  if (length_ < format::kHeaderSize) {
    std::vector<unsigned char> header(format::kHeaderSize, 0);
    std::memcpy(header.data(), mark, sizeof mark);
    return WriteAll(fs_, archive_, 0, header.data(), header.size()) && fs_.Flush(archive_);
  }
  return WriteAll(fs_, archive_, format::kHeaderChangeTag, mark + format::kHeaderChangeTag,
                  sizeof mark - format::kHeaderChangeTag) &&
         fs_.Flush(archive_);
}

// Writes prefix (bytes that go before the segment) and a segment saving
// pieces, then flushes. Small segments go out in one write; large ones in
// chunks, with the segment's header written last.
bool Journal::WriteSegment(std::vector<unsigned char> prefix, const std::vector<ByteRange>& pieces) {
  Spool out{fs_, journal_.Handle(), end_, std::move(prefix), chunk_};
  const uint64_t segmentAt = end_ + out.buffer.size();
  uint64_t segmentEnd = segmentAt;
  if (!pieces.empty()) {
    out.buffer.resize(out.buffer.size() + kSegmentHeaderSize);  // filled in last
    uint32_t crc = StartCrc();
    uint32_t count = 0;
    uint64_t payload = 0;
    for (const ByteRange& piece : pieces) {
      for (uint64_t at = piece.begin; at < piece.end; ++count) {
        const uint64_t length = std::min(piece.end - at, kMaxRecord);
        unsigned char record[kRecordHeaderSize];
        StoreU64(record, at);
        format::StoreU32(record + 8, static_cast<uint32_t>(length));
        out.buffer.insert(out.buffer.end(), record, record + sizeof record);
        crc = Crc(crc, record, sizeof record);
        if (!out.CopyFrom(archive_, at, length, crc)) return false;
        payload += sizeof record + length;
        at += length;
      }
    }
    unsigned char head[kSegmentHeaderSize];
    std::memcpy(head, kSegmentMagic, sizeof kSegmentMagic);
    format::StoreU32(head + 4, count);
    StoreU64(head + 8, payload);
    format::StoreU32(head + 16, Crc(crc, head, 16));
    if (segmentAt >= out.at) {
      std::memcpy(out.buffer.data() + (segmentAt - out.at), head, sizeof head);
    } else if (!out.Spill() || !WriteAll(fs_, journal_.Handle(), segmentAt, head, sizeof head)) {
      return false;
    }
    segmentEnd = segmentAt + kSegmentHeaderSize + payload;
  }
  if (!out.Spill() || !fs_.Flush(journal_.Handle())) return false;
  end_ = segmentEnd;
  return true;
}

bool Journal::Commit() {
  if (!started_) return true;
  // Until the journal is gone the change can still be rolled back, and a
  // later Commit tries again.
  if (withFile_) {
    journal_.Reset();
    if (!fs_.RemoveFile(path_)) return false;
    started_ = false;
    if (!fs_.FlushDirectory(DirectoryOf(path_))) return false;
  }
  started_ = false;
  const unsigned char clear[format::kChangeMarkEnd - format::kHeaderChangeTag] = {};
  return WriteAll(fs_, archive_, format::kHeaderChangeTag, clear, sizeof clear) &&
         fs_.Flush(archive_);
}

}  // namespace GAME
