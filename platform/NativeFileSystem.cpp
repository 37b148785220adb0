// The FileSystem of the running Linux system: POSIX calls behind the seam,
// every path resolved ignoring ASCII case where it does not exist exactly.
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/Native.h"

namespace platform {
namespace {

using native::Descriptor;
using native::LastComponent;
using native::Resolve;
using native::ToDescriptor;
using native::ToHandle;

constexpr uint64_t kMaxOffset = uint64_t(std::numeric_limits<off_t>::max());

// O_NONBLOCK keeps a FIFO from stalling the open; O_NOCTTY keeps a terminal
// from becoming ours. Neither changes anything for a regular file.
int OpenFlags(Access access, Creation creation) {
  int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  flags |= access == Access::Read ? O_RDONLY : O_RDWR;
  if (creation != Creation::OpenExisting) flags |= O_CREAT;
  return flags;
}

// Sets errno to say why when fd is not a regular file.
bool IsRegularFile(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return false;
  if (S_ISREG(info.st_mode)) return true;
  errno = S_ISDIR(info.st_mode) ? EISDIR : ENODEV;
  return false;
}

Failure Classify(int code) {
  switch (code) {
    case 0: return Failure::None;
    case ENOENT:
    case ENOTDIR: return Failure::NotFound;
    case EACCES:
    case EPERM: return Failure::PermissionDenied;
    case EROFS: return Failure::ReadOnly;
    case ENOSPC:
    case EDQUOT: return Failure::DiskFull;
    case EWOULDBLOCK: return Failure::Locked;
    case EISDIR: return Failure::IsDirectory;
    case ENODEV:
    case ENXIO: return Failure::NotRegularFile;
    case EEXIST: return Failure::Exists;
    default: return Failure::Other;
  }
}

// flock locks belong to the open file description, so two opens in one
// process exclude each other just as two processes do.
bool TakeLock(int fd, Lock lock) {
  if (lock == Lock::None) return true;
  int operation = (lock == Lock::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  int result;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// stat of an existing path, following links.
std::optional<struct stat> StatPath(const std::string& path) {
  std::optional<native::Location> location = Resolve(path, LastComponent::MustExist);
  struct stat info;
  if (!location || ::fstatat(location->Dir(), location->name.c_str(), &info, 0) != 0) {
    return std::nullopt;
  }
  return info;
}

class Native final : public FileSystem {
 public:
  FileHandle Open(const std::string& path, Access access, Creation creation,
                  Lock lock) const override {
    LastComponent last =
        creation == Creation::OpenExisting ? LastComponent::MustExist : LastComponent::MayBeMissing;
    std::optional<native::Location> location = Resolve(path, last);
    if (!location) return InvalidHandle();
    Descriptor fd(
        ::openat(location->Dir(), location->name.c_str(), OpenFlags(access, creation), 0666));
    if (!fd.IsOpen() || !IsRegularFile(fd.Get()) || !TakeLock(fd.Get(), lock)) {
      return InvalidHandle();
    }
    // Truncated only once the lock is held, so a file in use keeps its bytes.
    if (creation == Creation::CreateAlways && ::ftruncate(fd.Get(), 0) != 0) {
      return InvalidHandle();
    }
    return ToHandle(fd.Release());
  }

  void Close(FileHandle file) const override {
    if (file != InvalidHandle()) ::close(ToDescriptor(file));
  }

  IoResult ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) const override {
    auto* bytes = static_cast<unsigned char*>(data);
    IoResult result{true, 0};
    while (result.count < size) {
      if (offset > kMaxOffset - result.count) return {false, result.count};
      ssize_t n = ::pread(ToDescriptor(file), bytes + result.count, size - result.count,
                          off_t(offset + result.count));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return {false, result.count};
      if (n == 0) break;  // end of file
      result.count += size_t(n);
    }
    return result;
  }

  IoResult WriteAt(FileHandle file, uint64_t offset, const void* data, size_t size) const override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    IoResult result{true, 0};
    while (result.count < size) {
      if (offset > kMaxOffset - result.count) return {false, result.count};
      ssize_t n = ::pwrite(ToDescriptor(file), bytes + result.count, size - result.count,
                           off_t(offset + result.count));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return {false, result.count};
      result.count += size_t(n);
    }
    return result;
  }

  bool Truncate(FileHandle file, uint64_t size) const override {
    if (size > kMaxOffset) return false;
    int result;
    do {
      result = ::ftruncate(ToDescriptor(file), off_t(size));
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }

  std::optional<uint64_t> Size(FileHandle file) const override {
    struct stat info;
    if (::fstat(ToDescriptor(file), &info) != 0) return std::nullopt;
    return uint64_t(info.st_size);
  }

  bool Flush(FileHandle file) const override {
    int result;
    do {
      result = ::fsync(ToDescriptor(file));
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }

  bool FlushDirectory(const std::string& path) const override {
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist);
    if (!location) return false;
    Descriptor dir(::openat(location->Dir(), location->name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.IsOpen()) return false;
    int result;
    do {
      result = ::fsync(dir.Get());
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }

  Attributes GetAttributes(const std::string& path) const override {
    std::optional<struct stat> info = StatPath(path);
    if (!info) return {};
    return Attributes{true, S_ISDIR(info->st_mode)};
  }

  std::optional<FileTime> LastWriteTime(const std::string& path) const override {
    std::optional<struct stat> info = StatPath(path);
    if (!info) return std::nullopt;
    return FileTimeFromUnix(info->st_mtim.tv_sec, info->st_mtim.tv_nsec);
  }

  std::optional<std::vector<DirEntry>> ListDirectory(const std::string& pattern) const override {
    return native::Enumerate(pattern);
  }

  bool CreateDirectory(const std::string& path) const override {
    std::optional<native::Location> location = Resolve(path, LastComponent::MayBeMissing);
    return location && ::mkdirat(location->Dir(), location->name.c_str(), 0777) == 0;
  }

  bool RemoveFile(const std::string& path) const override {
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist);
    return location && ::unlinkat(location->Dir(), location->name.c_str(), 0) == 0;
  }

  std::optional<std::string> CurrentDirectory() const override {
    std::string buffer(256, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE) return std::nullopt;
      buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
  }

  bool SetCurrentDirectory(const std::string& path) const override {
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist);
    if (!location) return false;
    Descriptor dir(
        ::openat(location->Dir(), location->name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return dir.IsOpen() && ::fchdir(dir.Get()) == 0;
  }

  uint32_t Milliseconds() const override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return uint32_t(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1'000'000);
  }

  // errno is the calling thread's own.
  SystemError LastError() const override { return SystemError{Classify(errno), errno}; }

  std::string ErrorText(int code) const override { return std::strerror(code); }
};

}  // namespace

const FileSystem& NativeFileSystem() {
  static const Native instance;
  return instance;
}

}  // namespace platform
