// Internals shared by the native (Linux) file-system sources: descriptor and
// directory-stream owners, handle conversion, and case-insensitive path
// resolution with its cache. Not part of the seam's interface.
//
// Resolution turns a path into a directory descriptor plus a name relative
// to it and works through the *at() calls, so a path is never limited by the
// system's maximum path length.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Calls each(name) for every entry of stream but "." and ".." (name is the
// entry's NUL-terminated d_name); false when the listing broke off, with
// errno saying why.
template <class Each>
bool ForEachName(DIR* stream, Each each) {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) return errno == 0;
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") each(name);
  }
}

inline FileHandle ToHandle(int fd) { return reinterpret_cast<FileHandle>(intptr_t(fd)); }
inline int ToDescriptor(FileHandle handle) { return int(reinterpret_cast<intptr_t>(handle)); }

inline char ToLowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// Identifies a directory: its device and inode.
struct DirectoryKey {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend bool operator==(const DirectoryKey&, const DirectoryKey&) = default;
};

// A resolved path: name, relative to dir (the current directory when dir is
// not open). dir may be shared with the resolution cache, which keeps the
// directories it resolved open.
struct Location {
  std::shared_ptr<const Descriptor> dir;
  std::string name;
  std::string path;     // the whole path with the names found on disk
  bool exists = false;  // name was found in dir (a new name is not there yet)
  // What lstat said of it when resolution had to ask anyway.
  std::optional<struct stat> own = std::nullopt;
  // dir's identity, when resolution knew it without asking.
  std::optional<DirectoryKey> dirKey = std::nullopt;
  int Dir() const { return dir && dir->IsOpen() ? dir->Get() : AT_FDCWD; }
};

// An open directory descriptor, shared.
inline std::shared_ptr<const Descriptor> Shared(Descriptor fd) {
  return std::make_shared<const Descriptor>(std::move(fd));
}

enum class LastComponent { MustExist, MayBeMissing };

// What one command has learnt about the directories it resolves names in,
// so that its cost stays flat however many files it makes in one directory
// or however deep its paths go:
// - the names of each directory it had to search ignoring case, listed once
//   and kept current by the command's own creations and removals (another
//   process's changes are not seen: a command's directories are its own);
// - the directories its paths led through (the latest few hundred), by the
//   path as given, each held open: a path below one of them is resolved
//   from there, with no walk from its first component and no lookup of the
//   leading directories again. Whatever later appears at such a path, a
//   symbolic link planted there included, the command keeps working in the
//   directory it resolved.
// Thread-safe. It holds open descriptors of the directories it remembers.
class ResolutionCache {
 public:
  // A directory the cache remembers.
  struct Directory {
    std::shared_ptr<const Descriptor> fd;
    std::string path;  // as found on disk, with a '/' at its end
    DirectoryKey key;
    struct stat own;  // lstat of the last component of the path as given
  };

  // The name in the directory dir that equals component ignoring case (the
  // first in byte order), from the directory's listing; nothing, with errno
  // set, when none does or the listing failed. key, when given, is dir's.
  std::optional<std::string> FindIgnoringCase(int dir, const std::string& component,
                                              std::optional<DirectoryKey> key = std::nullopt);
  // The command made (Added) or removed (Removed) what location names; the
  // listing of its directory, when there is one, follows.
  void Added(const Location& location);
  void Removed(const Location& location);

  // The remembered directory that path (as given, no '/' at its end) names.
  std::optional<Directory> Find(const std::string& path) const;
  // The remembered directory that the longest leading part of path (slashes
  // only) names: where a walk may start; nothing when none fits. consumed is
  // how many bytes of path it stands for.
  std::optional<Location> StartOfWalk(const std::string& path, size_t& consumed) const;
  void Remember(const std::string& given, Directory directory);
  // Drops the remembered directories (the current directory changed, or a
  // directory was renamed).
  void ForgetDirectories();
  bool RemembersDirectories() const;

  // How many directory listings were made: each costs a read of the whole
  // directory.
  size_t Listings() const;

 private:
  struct KeyHash {
    size_t operator()(const DirectoryKey& key) const { return key.inode * 31 + key.device; }
  };
  // A directory's names by their lower-case form; usually one per form.
  using Names = std::unordered_map<std::string, std::vector<std::string>>;
  static constexpr size_t kDirectories = 256;  // descriptors held at most

  static std::optional<DirectoryKey> KeyOf(int dir, const std::string& name);
  // Applies change to the listing of location's directory, when there is one.
  template <class Change>
  void Update(const Location& location, Change change);

  mutable std::mutex lock_;
  std::unordered_map<DirectoryKey, Names, KeyHash> listings_;
  size_t listingsMade_ = 0;
  std::unordered_map<std::string, Directory> directories_;
  std::vector<std::string> remembered_;  // directories_'s keys, by age when full
  size_t nextOut_ = 0;                   // the oldest in remembered_
};

// The native file system with cache as its own, unowned (for tests that look
// at what it did).
std::unique_ptr<FileSystem> NativeFileSystemWith(ResolutionCache& cache);

// Resolves path: used as is when it exists exactly; otherwise component by
// component, each the exact name if present, else the first name in byte
// order equal to it ignoring ASCII case. Every directory along the way must
// exist; the last component may be missing when asked (it is then taken as
// written). Backslashes count as separators.
// cache, when there is one, answers the searches ignoring case and the
// walk's start.
std::optional<Location> Resolve(const std::string& path, LastComponent last,
                                ResolutionCache* cache);
// Resolves the directory of path as Resolve does and keeps the last
// component exactly as written.
std::optional<Location> ResolveDirectory(const std::string& path, ResolutionCache* cache);

// The path with every backslash turned into a slash.
std::string WithSlashes(std::string path);

// True when name matches pattern, whose '*' stands for any run of characters
// and '?' for one, letters compared ignoring ASCII case; "*.*" matches all.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// FileSystem::ListDirectory for the native file system; errno says why when
// it gives nothing.
std::optional<std::vector<DirEntry>> Enumerate(const std::string& pattern,
                                               ResolutionCache* cache);

}  // namespace platform::native
