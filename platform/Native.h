// Internals shared by the native (Linux) file-system sources: descriptor and
// directory-stream owners, handle conversion, and case-insensitive path
// resolution. Not part of the seam's interface.
//
// Resolution turns a path into a directory descriptor plus a name relative
// to it and works through the *at() calls, so a path is never limited by the
// system's maximum path length.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileSystem.h"

namespace platform::native {

// Owns a file descriptor; -1 when empty.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  ~Descriptor() { Reset(); }

  bool IsOpen() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct DirectoryCloser {
  void operator()(DIR* stream) const { ::closedir(stream); }
};
using DirectoryStream = std::unique_ptr<DIR, DirectoryCloser>;

// Opens name (relative to the directory dir, or AT_FDCWD) for reading its
// entries; null when it is not a readable directory.
DirectoryStream OpenDirectory(int dir, const std::string& name);

inline FileHandle ToHandle(int fd) { return reinterpret_cast<FileHandle>(intptr_t(fd)); }
inline int ToDescriptor(FileHandle handle) { return int(reinterpret_cast<intptr_t>(handle)); }

inline char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// A resolved path: name, relative to dir (the current directory when dir is
// not open).
struct Location {
  Descriptor dir;
  std::string name;
  int Dir() const { return dir.IsOpen() ? dir.Get() : AT_FDCWD; }
};

enum class LastComponent { MustExist, MayBeMissing };

// Resolves path: used as is when it exists exactly; otherwise component by
// component, each the exact name if present, else the first name in byte
// order equal to it ignoring ASCII case. Every directory along the way must
// exist; the last component may be missing when asked (it is then taken as
// written). Backslashes count as separators.
std::optional<Location> Resolve(const std::string& path, LastComponent last);

// The path with every backslash turned into a slash.
std::string WithSlashes(std::string path);

// True when name matches pattern, whose '*' stands for any run of characters
// and '?' for one, letters compared ignoring ASCII case; "*.*" matches all.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// FileSystem::ListDirectory for the native file system; errno says why when
// it gives nothing.
std::optional<std::vector<DirEntry>> Enumerate(const std::string& pattern);

}  // namespace platform::native
