// The rollback journal: saving the bytes an archive still needs before they
// are overwritten, committing by deleting the journal, and reading a journal
// back to roll an interrupted write back or to see past it.
#include "archive/Journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "archive/Format.h"

namespace GAME {

namespace {

constexpr unsigned char kJournalMagic[8] = {'K', 'V', 'J', 'R', 'N', 'L', '0', '1'};
constexpr unsigned char kSegmentMagic[4] = {'S', 'E', 'G', 'M'};
constexpr size_t kSavedHeaderAt = 16;
constexpr size_t kJournalHeaderSize = kSavedHeaderAt + format::kHeaderSize + 4;
constexpr size_t kSegmentHeaderSize = 20;
constexpr size_t kRecordHeaderSize = 12;
// Saved bytes are gathered and copied back this much at a time.
constexpr uint64_t kChunk = uint64_t(4) << 20;
constexpr uint64_t kMaxRecord = uint64_t(1) << 30;

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

std::string DirectoryOf(const std::string& path) {
  const size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  if (separator == 0) return "/";
  return path.substr(0, separator);
}

// Bytes on their way into the journal file: gathered in buffer, which goes
// out to position at whenever it holds a chunk.
struct Spool {
  const platform::FileSystem& fs;
  platform::FileHandle file;
  uint64_t at;
  std::vector<unsigned char> buffer;

  bool Spill() {
    if (!WriteAll(fs, file, at, buffer.data(), buffer.size())) return false;
    at += buffer.size();
    buffer.clear();
    return true;
  }
  // Appends size bytes of the archive from offset, adding them to crc.
  bool CopyFrom(platform::FileHandle archive, uint64_t offset, uint64_t size, uint32_t& crc) {
    for (uint64_t done = 0; done < size;) {
      if (buffer.size() >= kChunk && !Spill()) return false;
      const auto n = static_cast<size_t>(std::min(size - done, kChunk));
      const size_t old = buffer.size();
      buffer.resize(old + n);
      if (!ReadAll(fs, archive, offset + done, buffer.data() + old, n)) return false;
      crc = Crc(crc, buffer.data() + old, n);
      done += n;
    }
    return true;
  }
};

// A complete journal of the archive beside it, as read back.
struct Contents {
  uint64_t length = 0;
  std::vector<JournalExtent> extents;
};

// Reads the segment at position into extents and moves position past it.
// False for a torn or malformed segment, and with failed set when bytes the
// journal's size promises could not be read.
bool ReadSegment(const platform::FileSystem& fs, platform::FileHandle journal,
                 uint64_t journalSize, uint64_t archiveLength, uint64_t& position,
                 std::vector<JournalExtent>& extents, bool& failed) {
  unsigned char head[kSegmentHeaderSize];
  if (journalSize - position < sizeof head) return false;
  if (!ReadAll(fs, journal, position, head, sizeof head)) return !(failed = true);
  if (std::memcmp(head, kSegmentMagic, sizeof kSegmentMagic) != 0) return false;
  const uint32_t count = format::LoadU32(head + 4);
  const uint64_t payload = LoadU64(head + 8);
  const uint64_t start = position + kSegmentHeaderSize;
  if (payload > journalSize - start) return false;

  std::vector<unsigned char> chunk(static_cast<size_t>(std::min(payload, kChunk)));
  uint32_t crc = StartCrc();
  for (uint64_t done = 0; done < payload;) {
    const auto n = static_cast<size_t>(std::min(payload - done, kChunk));
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

// The journal's contents when it is complete and belongs to the archive:
// its header is sound and the archive begins with the bytes it saved.
// Nothing, with failed set, when the journal or the archive could not be
// read: whether it applies is then unknown.
std::optional<Contents> ReadJournal(const platform::FileSystem& fs, platform::FileHandle journal,
                                    platform::FileHandle archive, bool& failed) {
  const std::optional<uint64_t> size = fs.Size(journal);
  const std::optional<uint64_t> archiveSize = fs.Size(archive);
  unsigned char head[kJournalHeaderSize];
  failed = !size || !archiveSize;
  if (failed || *size < sizeof head) return std::nullopt;
  if (!ReadAll(fs, journal, 0, head, sizeof head)) return (failed = true), std::nullopt;
  if (std::memcmp(head, kJournalMagic, sizeof kJournalMagic) != 0 ||
      Crc(StartCrc(), head, sizeof head - 4) != format::LoadU32(head + sizeof head - 4)) {
    return std::nullopt;
  }
  // An archive shorter than a header reads as zeros, as the header of an
  // empty archive is saved.
  unsigned char current[format::kHeaderSize] = {};
  const platform::IoResult read = fs.ReadAt(archive, 0, current, sizeof current);
  if (!read.ok || read.count < std::min<uint64_t>(sizeof current, *archiveSize)) {
    return (failed = true), std::nullopt;
  }
  if (std::memcmp(current, head + kSavedHeaderAt, sizeof current) != 0) return std::nullopt;

  Contents contents;
  contents.length = LoadU64(head + 8);
  uint64_t position = sizeof head;
  while (position < *size &&
         ReadSegment(fs, journal, *size, contents.length, position, contents.extents, failed)) {
  }
  if (failed) return std::nullopt;
  // Each byte is saved once; overlapping records are not ours.
  std::sort(contents.extents.begin(), contents.extents.end(),
            [](const JournalExtent& a, const JournalExtent& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < contents.extents.size(); ++i) {
    const JournalExtent& before = contents.extents[i - 1];
    if (before.offset + before.length > contents.extents[i].offset) return std::nullopt;
  }
  return contents;
}

platform::File OpenJournal(const platform::FileSystem& fs, const std::string& path) {
  const platform::Attributes attributes = fs.GetAttributes(path);
  if (!attributes.exists || attributes.isDirectory) return {};
  return platform::File(fs, fs.Open(path, platform::Access::Read,
                                    platform::Creation::OpenExisting, platform::Lock::None));
}

// Writes the saved bytes back, restores the length and flushes.
bool RollBack(const platform::FileSystem& fs, platform::FileHandle journal,
              platform::FileHandle archive, const Contents& contents) {
  std::vector<unsigned char> chunk;
  for (const JournalExtent& extent : contents.extents) {
    for (uint64_t done = 0; done < extent.length;) {
      const auto n = static_cast<size_t>(std::min(extent.length - done, kChunk));
      chunk.resize(n);
      if (!ReadAll(fs, journal, extent.at + done, chunk.data(), n) ||
          !WriteAll(fs, archive, extent.offset + done, chunk.data(), n)) {
        return false;
      }
      done += n;
    }
  }
  return fs.Truncate(archive, contents.length) && fs.Flush(archive);
}

}  // namespace

std::optional<std::string> JournalPath(const platform::FileSystem& fs,
                                       const std::string& archivePath) {
  const std::string path = archivePath + "-journal";
  if (path.front() == '/' || path.front() == '\\') return path;
  const std::optional<std::string> current = fs.CurrentDirectory();
  if (!current) return std::nullopt;
  return *current + "/" + path;
}

bool RecoverFromJournal(const platform::FileSystem& fs, const std::string& path,
                        platform::FileHandle archive) {
  if (!fs.GetAttributes(path).exists) return true;
  {
    const platform::File journal = OpenJournal(fs, path);
    if (!journal.IsOpen()) return false;
    bool failed = false;
    const std::optional<Contents> contents = ReadJournal(fs, journal.Handle(), archive, failed);
    if (failed || (contents && !RollBack(fs, journal.Handle(), archive, *contents))) return false;
  }
  // An incomplete journal, or one of another file, saved nothing of this one.
  return fs.RemoveFile(path);
}

std::unique_ptr<JournalView> JournalView::Find(const platform::FileSystem& fs,
                                               const std::string& path,
                                               platform::FileHandle archive, bool& failed) {
  platform::File journal = OpenJournal(fs, path);
  failed = false;
  if (!journal.IsOpen()) {
    const platform::Attributes attributes = fs.GetAttributes(path);
    failed = attributes.exists && !attributes.isDirectory;
    return nullptr;
  }
  std::optional<Contents> contents = ReadJournal(fs, journal.Handle(), archive, failed);
  if (!contents) return nullptr;
  return std::make_unique<JournalView>(fs, std::move(journal), contents->length,
                                       std::move(contents->extents));
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

Journal::Journal(const platform::FileSystem& fs, std::string path, platform::FileHandle archive,
                 uint64_t length, const std::vector<ByteRange>& needed)
    : fs_(fs), path_(std::move(path)), archive_(archive), length_(length) {
  std::vector<ByteRange> sorted;
  for (const ByteRange& r : needed) {
    const uint64_t end = std::min(r.end, length);
    if (r.begin < end) sorted.push_back({r.begin, end});
  }
  std::sort(sorted.begin(), sorted.end(), ByBegin);
  for (const ByteRange& r : sorted) {
    if (!needed_.empty() && r.begin <= needed_.back().end) {
      needed_.back().end = std::max(needed_.back().end, r.end);
    } else {
      needed_.push_back(r);
    }
  }
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
  std::sort(pieces.begin(), pieces.end(), ByBegin);
  std::vector<ByteRange> merged;
  for (const ByteRange& p : pieces) {
    if (!merged.empty() && p.begin <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, p.end);
    } else {
      merged.push_back(p);
    }
  }
  return merged;
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

bool Journal::Protect(std::initializer_list<ByteRange> ranges) {
  const std::vector<ByteRange> pieces = NeededWithin(ranges);
  if (started_ && pieces.empty()) return true;
  // Worked out first, so that an exception leaves everything as it was.
  std::vector<ByteRange> remaining = NeededWithout(pieces);
  if (!started_) {
    if (!Begin(pieces)) return false;
  } else if (!WriteSegment({}, pieces)) {
    return false;
  }
  needed_.swap(remaining);
  return true;
}

bool Journal::Begin(const std::vector<ByteRange>& pieces) {
  journal_ = platform::File(fs_, fs_.Open(path_, platform::Access::ReadWrite,
                                          platform::Creation::CreateAlways, platform::Lock::None));
  if (!journal_.IsOpen()) return false;
  std::vector<unsigned char> head(kJournalHeaderSize, 0);
  std::memcpy(head.data(), kJournalMagic, sizeof kJournalMagic);
  StoreU64(head.data() + 8, length_);
  if (length_ >= format::kHeaderSize &&
      !ReadAll(fs_, archive_, 0, head.data() + kSavedHeaderAt, format::kHeaderSize)) {
    return false;
  }
  format::StoreU32(head.data() + kJournalHeaderSize - 4,
                   Crc(StartCrc(), head.data(), kJournalHeaderSize - 4));
  end_ = 0;
  // The journal's name must last as well as its bytes.
  started_ = WriteSegment(std::move(head), pieces) && fs_.FlushDirectory(DirectoryOf(path_));
  return started_;
}

// Writes prefix (bytes that go before the segment) and a segment saving
// pieces, then flushes. Small segments go out in one write; large ones in
// chunks, with the segment's header written last.
bool Journal::WriteSegment(std::vector<unsigned char> prefix, const std::vector<ByteRange>& pieces) {
  Spool out{fs_, journal_.Handle(), end_, std::move(prefix)};
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
  journal_.Reset();
  started_ = false;
  return fs_.RemoveFile(path_) && fs_.FlushDirectory(DirectoryOf(path_));
}

}  // namespace GAME
