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

// A complete journal of the archive beside it, as read back.
struct Contents {
  uint64_t length = 0;
  std::vector<JournalExtent> extents;
};

// Reads the segment at position into extents and moves position past it.
// False for a torn or malformed segment.
bool ReadSegment(const platform::FileSystem& fs, platform::FileHandle journal,
                 uint64_t journalSize, uint64_t archiveLength, uint64_t& position,
                 std::vector<JournalExtent>& extents) {
  unsigned char head[kSegmentHeaderSize];
  if (!ReadAll(fs, journal, position, head, sizeof head)) return false;
  if (std::memcmp(head, kSegmentMagic, sizeof kSegmentMagic) != 0) return false;
  const uint32_t count = format::LoadU32(head + 4);
  const uint64_t payload = LoadU64(head + 8);
  const uint64_t start = position + kSegmentHeaderSize;
  if (payload > journalSize - start) return false;

  std::vector<unsigned char> chunk(static_cast<size_t>(std::min(payload, kChunk)));
  uint32_t crc = StartCrc();
  for (uint64_t done = 0; done < payload;) {
    const auto n = static_cast<size_t>(std::min(payload - done, kChunk));
    if (!ReadAll(fs, journal, start + done, chunk.data(), n)) return false;
    crc = Crc(crc, chunk.data(), n);
    done += n;
  }
  if (Crc(crc, head, 16) != format::LoadU32(head + 16)) return false;

  const uint64_t end = start + payload;
  uint64_t at = start;
  std::vector<JournalExtent> found;
  for (uint32_t i = 0; i < count; ++i) {
    unsigned char record[kRecordHeaderSize];
    if (end - at < sizeof record || !ReadAll(fs, journal, at, record, sizeof record)) return false;
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
std::optional<Contents> ReadJournal(const platform::FileSystem& fs, platform::FileHandle journal,
                                    platform::FileHandle archive) {
  const std::optional<uint64_t> size = fs.Size(journal);
  unsigned char head[kJournalHeaderSize];
  if (!size || !ReadAll(fs, journal, 0, head, sizeof head)) return std::nullopt;
  if (std::memcmp(head, kJournalMagic, sizeof kJournalMagic) != 0 ||
      Crc(StartCrc(), head, sizeof head - 4) != format::LoadU32(head + sizeof head - 4)) {
    return std::nullopt;
  }
  // An archive shorter than a header reads as zeros, as the header of an
  // empty archive is saved.
  unsigned char current[format::kHeaderSize] = {};
  const platform::IoResult read = fs.ReadAt(archive, 0, current, sizeof current);
  if (!read.ok || std::memcmp(current, head + kSavedHeaderAt, sizeof current) != 0) {
    return std::nullopt;
  }

  Contents contents;
  contents.length = LoadU64(head + 8);
  uint64_t position = sizeof head;
  while (position < *size &&
         ReadSegment(fs, journal, *size, contents.length, position, contents.extents)) {
  }
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
    const std::optional<Contents> contents = ReadJournal(fs, journal.Handle(), archive);
    if (contents && !RollBack(fs, journal.Handle(), archive, *contents)) return false;
  }
  // An incomplete journal, or one of another file, saved nothing of this one.
  return fs.RemoveFile(path);
}

std::unique_ptr<JournalView> JournalView::Find(const platform::FileSystem& fs,
                                               const std::string& path,
                                               platform::FileHandle archive) {
  platform::File journal = OpenJournal(fs, path);
  if (!journal.IsOpen()) return nullptr;
  std::optional<Contents> contents = ReadJournal(fs, journal.Handle(), archive);
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
  std::sort(sorted.begin(), sorted.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
  auto last = needed_.end();
  for (const ByteRange& r : sorted) {
    if (last != needed_.end() && r.begin <= last->second) {
      last->second = std::max(last->second, r.end);
    } else {
      last = needed_.emplace_hint(needed_.end(), r.begin, r.end);
    }
  }
}

std::vector<ByteRange> Journal::NeededWithin(std::initializer_list<ByteRange> ranges) const {
  std::vector<ByteRange> pieces;
  for (const ByteRange& r : ranges) {
    auto it = needed_.upper_bound(r.begin);
    if (it != needed_.begin() && std::prev(it)->second > r.begin) --it;
    for (; it != needed_.end() && it->first < r.end; ++it) {
      pieces.push_back({std::max(it->first, r.begin), std::min(it->second, r.end)});
    }
  }
  // The ranges may overlap one another: save each byte once.
  std::sort(pieces.begin(), pieces.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
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

void Journal::MarkSaved(const ByteRange& piece) {
  // A piece lies inside one needed range (pieces are cut from them).
  auto it = std::prev(needed_.upper_bound(piece.begin));
  const uint64_t begin = it->first;
  const uint64_t end = it->second;
  needed_.erase(it);
  if (begin < piece.begin) needed_.emplace(begin, piece.begin);
  if (piece.end < end) needed_.emplace(piece.end, end);
}

bool Journal::Protect(std::initializer_list<ByteRange> ranges) {
  const std::vector<ByteRange> pieces = NeededWithin(ranges);
  if (!started_) {
    if (!Begin(pieces)) return false;
  } else if (!pieces.empty() && !WriteSegment({}, pieces)) {
    return false;
  }
  for (const ByteRange& piece : pieces) MarkSaved(piece);
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

// Writes buffer (bytes that go before the segment) and a segment saving
// pieces, then flushes. Small segments go out in one write; large ones in
// chunks, with the segment's header written last.
bool Journal::WriteSegment(std::vector<unsigned char> buffer, const std::vector<ByteRange>& pieces) {
  uint64_t bufferAt = end_;
  const uint64_t segmentAt = end_ + buffer.size();
  const auto spill = [&] {
    if (!WriteAll(fs_, journal_.Handle(), bufferAt, buffer.data(), buffer.size())) return false;
    bufferAt += buffer.size();
    buffer.clear();
    return true;
  };
  uint64_t payload = 0;
  if (!pieces.empty()) {
    buffer.resize(buffer.size() + kSegmentHeaderSize);
    uint32_t crc = StartCrc();
    uint32_t count = 0;
    for (const ByteRange& piece : pieces) {
      for (uint64_t at = piece.begin; at < piece.end;) {
        const uint64_t length = std::min(piece.end - at, kMaxRecord);
        unsigned char record[kRecordHeaderSize];
        StoreU64(record, at);
        format::StoreU32(record + 8, static_cast<uint32_t>(length));
        buffer.insert(buffer.end(), record, record + sizeof record);
        crc = Crc(crc, record, sizeof record);
        for (uint64_t done = 0; done < length;) {
          if (buffer.size() >= kChunk && !spill()) return false;
          const auto n = static_cast<size_t>(std::min(length - done, kChunk));
          const size_t old = buffer.size();
          buffer.resize(old + n);
          if (!ReadAll(fs_, archive_, at + done, buffer.data() + old, n)) return false;
          crc = Crc(crc, buffer.data() + old, n);
          done += n;
        }
        payload += sizeof record + length;
        ++count;
        at += length;
      }
    }
    unsigned char head[kSegmentHeaderSize];
    std::memcpy(head, kSegmentMagic, sizeof kSegmentMagic);
    format::StoreU32(head + 4, count);
    StoreU64(head + 8, payload);
    format::StoreU32(head + 16, Crc(crc, head, 16));
    if (segmentAt >= bufferAt) {
      std::memcpy(buffer.data() + (segmentAt - bufferAt), head, sizeof head);
      if (!spill()) return false;
    } else if (!spill() || !WriteAll(fs_, journal_.Handle(), segmentAt, head, sizeof head)) {
      return false;
    }
    end_ = segmentAt + kSegmentHeaderSize + payload;
  } else {
    if (!spill()) return false;
    end_ = bufferAt;
  }
  return fs_.Flush(journal_.Handle());
}

bool Journal::Commit() {
  if (!started_) return true;
  journal_.Reset();
  started_ = false;
  return fs_.RemoveFile(path_) && fs_.FlushDirectory(DirectoryOf(path_));
}

}  // namespace GAME
