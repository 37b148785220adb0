// Reading an entry safely: Archive::Reader with its own part cache, the
// std::streambuf over it, and ReadFile, which reads and checks a whole entry.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ios>
#include <utility>

#include "archive/Archive.h"
#include "archive/Format.h"

namespace GAME {

Archive::Reader::Reader() = default;

Archive::Reader::Reader(const Archive& archive, int index) {
  const FileEntry* entry = archive.Entry(index);
  if (entry == nullptr || !(entry->flags & format::kFlagActive)) return;
  archive_ = &archive;
  index_ = index;
  flags_ = entry->flags;
  offset_ = entry->offset;
  realSize_ = entry->realSize;
  checksum_ = entry->checksum;
  parts_ = entry->parts;
}

Archive::Reader::Reader(Reader&& other) noexcept { *this = std::move(other); }

Archive::Reader& Archive::Reader::operator=(Reader&& other) noexcept {
  archive_ = std::exchange(other.archive_, nullptr);
  index_ = std::exchange(other.index_, -1);
  position_ = std::exchange(other.position_, 0);
  flags_ = other.flags_;
  offset_ = other.offset_;
  realSize_ = other.realSize_;
  checksum_ = other.checksum_;
  parts_ = other.parts_;
  area_ = std::move(other.area_);  // the areas stay where they are
  buffer_ = std::exchange(other.buffer_, BlockBuffer{kNoPart, nullptr, nullptr});
  return *this;
}

Archive::Reader::~Reader() = default;

bool Archive::Reader::IsOpen() const { return archive_ != nullptr; }

int Archive::Reader::Index() const { return index_; }

unsigned int Archive::Reader::Size() const { return IsOpen() ? realSize_ : 0; }

unsigned int Archive::Reader::Tell() const { return position_; }

bool Archive::Reader::Seek(unsigned int position) {
  if (!IsOpen() || position > realSize_) return false;
  position_ = position;
  return true;
}

bool Archive::Reader::Unchanged() const {
  const FileEntry* entry = archive_->Entry(index_);
  return entry != nullptr && entry->flags == flags_ && entry->offset == offset_ &&
         entry->realSize == realSize_ && entry->checksum == checksum_ && entry->parts == parts_;
}

int64_t Archive::Reader::Read(void* destination, size_t size) {
  if (!IsOpen()) return -1;
  if (destination == nullptr && size != 0) {
    return archive_->FailIndex(ErrorCode::BadArgument, "no destination");
  }
  if (!Unchanged()) return archive_->FailIndex(ErrorCode::NotOpen, "the entry changed");
  auto* out = static_cast<unsigned char*>(destination);
  const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(size, realSize_ - position_));
  if (count == 0) return 0;
  if (!(flags_ & format::kFlagCompressed)) {
    if (!archive_->ReadFromFile(index_, out, position_, count, nullptr)) return -1;
    position_ += count;
    return count;
  }
  if (!area_) {
    area_ = std::make_unique_for_overwrite<unsigned char[]>(size_t(kCompressedAreaSize) +
                                                            kUncompressedAreaSize);
    buffer_ = {kNoPart, area_.get(), area_.get() + kCompressedAreaSize};
  }
  // Part by part, so that what was given before a damaged part still counts.
  const uint32_t block = archive_->BlockSize();
  uint32_t given = 0;
  while (given < count) {
    const uint32_t n = std::min(count - given, block - position_ % block);
    if (!archive_->ReadFromFile(index_, out + given, position_, n, &buffer_)) {
      return given == 0 ? -1 : int64_t(given);
    }
    given += n;
    position_ += n;
  }
  return given;
}

Archive::StreamBuf::StreamBuf(const Archive& archive, int index)
    : StreamBuf(Reader(archive, index)) {}

Archive::StreamBuf::StreamBuf(Reader reader)
    : reader_(std::move(reader)), area_(std::make_unique<char[]>(kGetArea)) {
  setg(area_.get(), area_.get(), area_.get());
}

Archive::StreamBuf::~StreamBuf() = default;

bool Archive::StreamBuf::IsOpen() const { return reader_.IsOpen(); }

Archive::StreamBuf::int_type Archive::StreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const int64_t got = reader_.Read(area_.get(), kGetArea);
  if (got < 0) throw std::ios_base::failure("the entry's data cannot be read");
  if (got == 0) return traits_type::eof();
  setg(area_.get(), area_.get(), area_.get() + got);
  return traits_type::to_int_type(*gptr());
}

std::streamsize Archive::StreamBuf::xsgetn(char_type* destination, std::streamsize count) {
  // What the get area holds first, then large requests straight from the reader.
  std::streamsize done = std::min<std::streamsize>(count, egptr() - gptr());
  std::memcpy(destination, gptr(), static_cast<size_t>(done));
  gbump(static_cast<int>(done));
  while (done < count) {
    if (count - done < static_cast<std::streamsize>(kGetArea)) {
      if (underflow() == traits_type::eof()) break;
      const std::streamsize n = std::min<std::streamsize>(count - done, egptr() - gptr());
      std::memcpy(destination + done, gptr(), static_cast<size_t>(n));
      gbump(static_cast<int>(n));
      done += n;
      continue;
    }
    const int64_t got = reader_.Read(destination + done, static_cast<size_t>(count - done));
    if (got < 0) throw std::ios_base::failure("the entry's data cannot be read");
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::streamsize Archive::StreamBuf::showmanyc() {
  const std::streamsize left = reader_.Size() - reader_.Tell();
  return left > 0 ? left : -1;
}

Archive::StreamBuf::pos_type Archive::StreamBuf::seekoff(off_type offset,
                                                         std::ios_base::seekdir direction,
                                                         std::ios_base::openmode which) {
  // The reader stands after the get area; the stream's position is inside it.
  const off_type current = off_type(reader_.Tell()) - (egptr() - gptr());
  if (direction == std::ios_base::cur && offset == 0) return pos_type(current);  // tellg
  off_type base = 0;
  if (direction == std::ios_base::cur) base = current;
  if (direction == std::ios_base::end) base = reader_.Size();
  return seekpos(pos_type(base + offset), which);
}

Archive::StreamBuf::pos_type Archive::StreamBuf::seekpos(pos_type position,
                                                         std::ios_base::openmode which) {
  const off_type at = position;
  if (!(which & std::ios_base::in) || at < 0 || at > off_type(reader_.Size()) ||
      !reader_.Seek(static_cast<unsigned int>(at))) {
    return pos_type(off_type(-1));
  }
  setg(area_.get(), area_.get(), area_.get());
  return position;
}

bool Archive::ReadFile(const char* name, std::vector<unsigned char>& content) const {
  content.clear();
  const int index = FindFile(name);
  if (index < 0) return Fail(ErrorCode::NotFound, name ? name : "");
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  content.resize(entry.realSize);
  Reader reader(*this, index);
  if (reader.Read(content.data(), content.size()) != int64_t(entry.realSize)) {
    content.clear();
    return false;  // the reader said why
  }
  if (adler32_z(adler32_z(0, nullptr, 0), content.data(), content.size()) != entry.checksum) {
    content.clear();
    return Fail(ErrorCode::Damaged, "checksum mismatch");
  }
  return true;
}

const char* Archive::Version() { return KORVAT_VERSION_STRING; }

const Archive::FileEntry* Archive::Entry(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) return nullptr;
  return &entries[static_cast<size_t>(index)];
}

}  // namespace GAME
