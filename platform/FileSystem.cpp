// The parts of the file-system seam that do not depend on the operating
// system: handle values, file times and the File owner.
#include "platform/FileSystem.h"

#include <algorithm>
#include <limits>

namespace platform {

FileHandle InvalidHandle() { return reinterpret_cast<FileHandle>(intptr_t(-1)); }

FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  // Seconds from 1601-01-01 to 1970-01-01, and FILETIME ticks per second.
  constexpr int64_t kEpochDelta = 11644473600;
  constexpr uint64_t kTicksPerSecond = 10'000'000;
  // The latest second whose ticks, with any fraction added, still fit.
  constexpr int64_t kLastSecond =
      int64_t(std::numeric_limits<uint64_t>::max() / kTicksPerSecond - 1) - kEpochDelta;

  uint64_t value = 0;  // before 1601: the earliest FILETIME
  if (seconds > kLastSecond) {
    value = std::numeric_limits<uint64_t>::max();
  } else if (seconds >= -kEpochDelta) {
    uint64_t fraction = nanoseconds > 0 ? uint64_t(nanoseconds % 1'000'000'000) / 100 : 0;
    value = uint64_t(seconds + kEpochDelta) * kTicksPerSecond + fraction;
  }
  return FileTime{uint32_t(value), uint32_t(value >> 32)};
}

int CompareFileTime(const FileTime& a, const FileTime& b) {
  if (a.Value() == b.Value()) return 0;
  return a.Value() > b.Value() ? 1 : -1;
}

bool EnumerationLess(const DirEntry& a, const DirEntry& b) {
  auto folded = [](char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  };
  auto foldedLess = [&](char x, char y) { return folded(x) < folded(y); };
  const std::string& x = a.name;
  const std::string& y = b.name;
  if (std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), foldedLess)) return true;
  if (std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end(), foldedLess))
    return false;
  return x < y;
}

FileHandle FileSystem::CreateUnnamed(const std::string&) const { return InvalidHandle(); }

bool FileSystem::Publish(FileHandle, const std::string&) const { return false; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Reset();
    fs_ = other.fs_;
    handle_ = other.Release();
  }
  return *this;
}

FileHandle File::Release() {
  FileHandle handle = handle_;
  handle_ = InvalidHandle();
  return handle;
}

void File::Reset() {
  if (IsOpen() && fs_ != nullptr) fs_->Close(handle_);
  handle_ = InvalidHandle();
}

}  // namespace platform
