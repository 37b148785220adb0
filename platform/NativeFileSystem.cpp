// The FileSystem of the running Linux system: POSIX calls behind the seam,
// every path resolved ignoring ASCII case where it does not exist exactly.
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

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
  if (creation == Creation::CreateNew) flags |= O_EXCL | O_NOFOLLOW;
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

// stat of an existing path, following links. A path that exists as written,
// the common case, takes one call; only a miss is resolved ignoring case.
std::optional<struct stat> StatPath(const std::string& path, native::ResolutionCache* cache) {
  struct stat info;
  if (::fstatat(AT_FDCWD, native::WithSlashes(path).c_str(), &info, 0) == 0) return info;
  std::optional<native::Location> location = Resolve(path, LastComponent::MustExist, cache);
  if (!location || ::fstatat(location->Dir(), location->name.c_str(), &info, 0) != 0) {
    return std::nullopt;
  }
  return info;
}

// cache, when there is one, belongs to this instance (or to whoever made it
// with one of theirs): path resolution keeps what it learns there.
class Native final : public FileSystem {
 public:
  Native() = default;
  explicit Native(native::ResolutionCache& cache) : cache_(&cache) {}
  explicit Native(std::unique_ptr<native::ResolutionCache> owned)
      : owned_(std::move(owned)), cache_(owned_.get()) {}

  FileHandle Open(const std::string& path, Access access, Creation creation,
                  Lock lock) const override {
    if (creation == Creation::OpenExisting) {
      // A file that exists as written, the common case, opens without a
      // resolution first; a miss is resolved ignoring case as below.
      Descriptor fd(::openat(AT_FDCWD, native::WithSlashes(path).c_str(),
                             OpenFlags(access, creation)));
      if (fd.IsOpen()) {
        if (!IsRegularFile(fd.Get()) || !TakeLock(fd.Get(), lock)) return InvalidHandle();
        return ToHandle(fd.Release());
      }
    }
    LastComponent last =
        creation == Creation::OpenExisting ? LastComponent::MustExist : LastComponent::MayBeMissing;
    std::optional<native::Location> location = creation == Creation::CreateNew
                                                    ? native::ResolveDirectory(path, cache_)
                                                    : Resolve(path, last, cache_);
    if (!location) return InvalidHandle();
    Descriptor fd(::openat(location->Dir(), location->name.c_str(), OpenFlags(access, creation),
                           creation == Creation::CreateNew ? 0600 : 0666));
    // A file made here and now by O_EXCL is a regular file.
    if (!fd.IsOpen() || (creation != Creation::CreateNew && !IsRegularFile(fd.Get())) ||
        !TakeLock(fd.Get(), lock)) {
      return InvalidHandle();
    }
    // Truncated only once the lock is held, so a file in use keeps its bytes.
    if (creation == Creation::CreateAlways && ::ftruncate(fd.Get(), 0) != 0) {
      return InvalidHandle();
    }
    if (!location->exists) Added(*location);
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
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist, cache_);
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
    if (std::optional<Attributes> known = RememberedDirectory(path)) return *known;
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist, cache_);
    struct stat own;
    if (location && location->own) {
      own = *location->own;
    } else if (!location || ::fstatat(location->Dir(), location->name.c_str(), &own,
                                      AT_SYMLINK_NOFOLLOW) != 0) {
      return {};
    }
    Attributes attributes;
    attributes.isLink = S_ISLNK(own.st_mode);
    attributes.ownedByCaller = own.st_uid == euid_;
    attributes.owner = own.st_uid;
    struct stat target = own;
    if (attributes.isLink && ::fstatat(location->Dir(), location->name.c_str(), &target, 0) != 0) {
      return attributes;  // a dangling link
    }
    attributes.exists = true;
    attributes.isDirectory = S_ISDIR(target.st_mode);
    return attributes;
  }

  std::optional<FileTime> LastWriteTime(const std::string& path) const override {
    std::optional<struct stat> info = StatPath(path, cache_);
    if (!info) return std::nullopt;
    return FileTimeFromUnix(info->st_mtim.tv_sec, info->st_mtim.tv_nsec);
  }

  std::optional<FileId> Identify(const std::string& path) const override {
    std::optional<struct stat> info = StatPath(path, cache_);
    if (!info) return std::nullopt;
    return FileId{uint64_t(info->st_dev), uint64_t(info->st_ino)};
  }

  std::optional<std::vector<DirEntry>> ListDirectory(const std::string& pattern) const override {
    return native::Enumerate(pattern, cache_);
  }

  FileHandle CreateUnnamed(const std::string& path) const override {
    std::optional<native::Location> location = native::ResolveDirectory(path, cache_);
    if (!location) return InvalidHandle();
    const int fd = ::openat(location->Dir(), DirectoryOf(*location).c_str(),
                            O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return fd < 0 ? InvalidHandle() : ToHandle(fd);
  }

  bool Publish(FileHandle file, const std::string& path) const override {
    std::optional<native::Location> location = native::ResolveDirectory(path, cache_);
    if (!location) return false;
    const int fd = ToDescriptor(file);
    // By the descriptor itself where the caller may (the privileged), else
    // by its name in /proc.
    if (::linkat(fd, "", location->Dir(), location->name.c_str(), AT_EMPTY_PATH) != 0) {
      if (errno == EEXIST) return false;
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      if (::linkat(AT_FDCWD, self.c_str(), location->Dir(), location->name.c_str(),
                   AT_SYMLINK_FOLLOW) != 0) {
        return false;
      }
    }
    Added(*location);
    return true;
  }

  bool CreateDirectory(const std::string& path) const override {
    std::optional<native::Location> location =
        Resolve(path, LastComponent::MayBeMissing, cache_);
    if (!location || ::mkdirat(location->Dir(), location->name.c_str(), 0777) != 0) return false;
    Added(*location);
    return true;
  }

  bool RemoveFile(const std::string& path) const override {
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist, cache_);
    if (!location || ::unlinkat(location->Dir(), location->name.c_str(), 0) != 0) return false;
    if (cache_ != nullptr) cache_->Removed(*location);
    return true;
  }

  bool Rename(const std::string& from, const std::string& to) const override {
    std::optional<native::Location> source = Resolve(from, LastComponent::MustExist, cache_);
    std::optional<native::Location> target = Resolve(to, LastComponent::MayBeMissing, cache_);
    if (!source || !target ||
        ::renameat(source->Dir(), source->name.c_str(), target->Dir(), target->name.c_str()) !=
            0) {
      return false;
    }
    if (cache_ != nullptr) {
      cache_->Removed(*source);
      if (!target->exists) Added(*target);
      // Directories remembered by a renamed directory's paths (or through a
      // renamed link) are no longer there.
      struct stat moved;
      if (source->own) {
        moved = *source->own;
      } else if (::fstatat(target->Dir(), target->name.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0) {
        moved.st_mode = S_IFDIR;  // unknown: taken as a directory
      }
      if (!S_ISREG(moved.st_mode) && cache_->RemembersDirectories()) cache_->ForgetDirectories();
    }
    return true;
  }

  bool CopyPermissions(FileHandle from, FileHandle to) const override {
    struct stat info;
    return ::fstat(ToDescriptor(from), &info) == 0 &&
           ::fchmod(ToDescriptor(to), info.st_mode & 07777) == 0;
  }

  bool CanCreateIn(const std::string& directory) const override {
    std::optional<native::Location> location = Resolve(directory, LastComponent::MustExist, cache_);
    return location && ::faccessat(location->Dir(), location->name.c_str(), W_OK | X_OK,
                                   AT_EACCESS) == 0;
  }

  std::optional<std::string> OnDiskPath(const std::string& path) const override {
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist, cache_);
    if (!location) return std::nullopt;
    if (location->path.front() == '/') return location->path;
    std::optional<std::string> current = CurrentDirectory();
    if (!current) return std::nullopt;
    return *current + (current->back() == '/' ? "" : "/") + location->path;
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
    std::optional<native::Location> location = Resolve(path, LastComponent::MustExist, cache_);
    if (!location) return false;
    Descriptor dir(
        ::openat(location->Dir(), location->name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.IsOpen() || ::fchdir(dir.Get()) != 0) return false;
    if (cache_ != nullptr) cache_->ForgetDirectories();  // they were relative to the old one
    return true;
  }

  uint32_t Milliseconds() const override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return uint32_t(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1'000'000);
  }

  // errno is the calling thread's own.
  SystemError LastError() const override { return SystemError{Classify(errno), errno}; }

  std::string ErrorText(int code) const override { return std::strerror(code); }

 private:
  // The directory that holds location's name, relative to location's dir.
  static std::string DirectoryOf(const native::Location& location) {
    const size_t slash = location.name.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : location.name.substr(0, slash);
  }

  void Added(const native::Location& location) const {
    if (cache_ != nullptr) cache_->Added(location);
  }
  // A directory the cache remembers, described without asking the system.
  std::optional<Attributes> RememberedDirectory(const std::string& path) const {
    if (cache_ == nullptr) return std::nullopt;
    std::string native = native::WithSlashes(path);
    if (native.size() > 1 && native.back() == '/') native.pop_back();
    const std::optional<native::ResolutionCache::Directory> directory = cache_->Find(native);
    if (!directory) return std::nullopt;
    Attributes attributes;
    attributes.exists = true;
    attributes.isDirectory = true;  // opened as one
    attributes.isLink = S_ISLNK(directory->own.st_mode);
    attributes.ownedByCaller = directory->own.st_uid == euid_;
    attributes.owner = directory->own.st_uid;
    return attributes;
  }

  std::unique_ptr<native::ResolutionCache> owned_;
  native::ResolutionCache* cache_ = nullptr;
  uid_t euid_ = ::geteuid();  // the process's, for good
};

}  // namespace

const FileSystem& NativeFileSystem() {
  static const Native instance;
  return instance;
}

std::unique_ptr<FileSystem> NewNativeFileSystem() {
  return std::make_unique<Native>(std::make_unique<native::ResolutionCache>());
}

std::unique_ptr<FileSystem> native::NativeFileSystemWith(ResolutionCache& cache) {
  return std::make_unique<Native>(cache);
}

}  // namespace platform
