// The operating-system seam: every file, directory and clock service that the
// archive and the tool use goes through a FileSystem. The native one
// (NativeFileSystem()) talks to Linux; tests wrap or replace it to make a
// chosen call fail, come up short or end the process.
//
// Paths: a backslash is a separator in every path given here. A path that
// does not exist exactly is resolved component by component ignoring ASCII
// case (an exact match wins; among several the first in byte order), so names
// that the archive stores in lower case still find their files.
//
// Thread safety: the native implementations may be called from several
// threads at once (NativeFileSystem() holds no mutable state;
// NewNativeFileSystem()'s cache has its own lock), except the current
// directory, which is process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// An open file: the file descriptor cast to a pointer, as the archive's
// handle accessor reports it. The invalid handle has all bits set.
using FileHandle = void*;
FileHandle InvalidHandle();

enum class Access { Read, ReadWrite };

enum class Creation {
  OpenExisting,  // fail when the file is missing
  OpenAlways,    // create when missing; an existing file keeps its bytes
  CreateAlways,  // create when missing; an existing file is truncated
  // Creates exactly the name given (the last component is never matched
  // ignoring case), readable and writable by the owner only; fails when
  // anything is there, a symbolic link (dangling or not) included.
  CreateNew,
};

// Advisory lock taken at open without waiting; when it cannot be had the open
// fails. Shared locks coexist; an exclusive one excludes every other lock.
enum class Lock { None, Shared, Exclusive };

// A Windows FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
struct FileTime {
  uint32_t low = 0;
  uint32_t high = 0;
  uint64_t Value() const { return (uint64_t(high) << 32) | low; }
  friend bool operator==(const FileTime&, const FileTime&) = default;
};

// Converts a Unix time (seconds and nanoseconds) into a FILETIME.
FileTime FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);

// Positive when a is later than b, negative when earlier, 0 when equal.
int CompareFileTime(const FileTime& a, const FileTime& b);

// exists and isDirectory describe what a symbolic link points at; the rest
// the last component itself (a dangling link: exists false, isLink true).
struct Attributes {
  bool exists = false;
  bool isDirectory = false;
  bool isLink = false;
  bool ownedByCaller = false;  // its owner is the caller's effective user
  uint64_t owner = 0;          // identifies its owner: equal values, one user
};

// What makes a file the same file under any of its names.
struct FileId {
  uint64_t device = 0;
  uint64_t file = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

struct DirEntry {
  std::string name;          // without its directory
  bool isDirectory = false;  // a real directory (a link to one is not)
  bool isLink = false;       // a symbolic link, whatever it points at
  uint32_t sizeLow = 0;      // low 32 bits of the size
};

// The order of a listing: ASCII case-folded bytes, names equal that way by
// exact bytes.
bool EnumerationLess(const DirEntry& a, const DirEntry& b);

// Why a call failed, in terms of no particular operating system.
enum class Failure {
  None,
  NotFound,          // the name, or a directory on its way, does not exist
  PermissionDenied,  // the caller may not read, write or search it
  ReadOnly,          // a read-only file system or file
  DiskFull,          // no space (or quota) left
  Locked,            // another open holds a lock that excludes this one
  IsDirectory,       // a directory where a file was wanted
  NotRegularFile,    // a device, FIFO or socket where a file was wanted
  Exists,            // the name is taken
  Other,             // any other failure, code says which
};

// The cause of a failure: its kind and the system's own error number (errno
// on Linux), 0 when the system gave none.
struct SystemError {
  Failure failure = Failure::None;
  int code = 0;
};

// Outcome of a read or write: ok false on an I/O error; count is what was
// transferred (a read shorter than asked means the end of the file).
struct IoResult {
  bool ok = false;
  size_t count = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens a regular file (a symbolic link to one counts). Directories, FIFOs,
  // devices and sockets are refused without blocking. InvalidHandle() on
  // failure.
  virtual FileHandle Open(const std::string& path, Access access, Creation creation,
                          Lock lock) const = 0;
  virtual void Close(FileHandle file) const = 0;

  // Reads up to size bytes at offset, retrying until done or end of file.
  virtual IoResult ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) const = 0;
  // Writes size bytes at offset, retrying partial writes.
  virtual IoResult WriteAt(FileHandle file, uint64_t offset, const void* data,
                           size_t size) const = 0;
  // Sets the file's length (SetEndOfFile).
  virtual bool Truncate(FileHandle file, uint64_t size) const = 0;
  virtual std::optional<uint64_t> Size(FileHandle file) const = 0;
  // Flushes the file's data to stable storage.
  virtual bool Flush(FileHandle file) const = 0;
  // Flushes a directory's entries (files created or removed in it) to
  // stable storage.
  virtual bool FlushDirectory(const std::string& path) const = 0;

  virtual Attributes GetAttributes(const std::string& path) const = 0;
  virtual std::optional<FileTime> LastWriteTime(const std::string& path) const = 0;
  // The identity of the file at path (links followed); nothing when it
  // cannot be had.
  virtual std::optional<FileId> Identify(const std::string& path) const = 0;

  // Entries of the directory matching the last component of pattern, which
  // may hold '*' and '?' (ASCII case-insensitive; "*.*" matches every name).
  // "." and ".." are never returned. Sorted by ASCII case-folded bytes, ties
  // by exact bytes, so one tree always enumerates the same way. Nothing when
  // the directory cannot be read (LastError says why).
  virtual std::optional<std::vector<DirEntry>> ListDirectory(const std::string& pattern) const = 0;
  // ListDirectory, empty when the directory cannot be read.
  virtual std::vector<DirEntry> Enumerate(const std::string& pattern) const {
    return ListDirectory(pattern).value_or(std::vector<DirEntry>{});
  }

  // A new file with no name, in the directory that path's last component
  // would be made in, readable and writable by the owner only: Publish gives
  // it that name once it is whole, and closing it before drops it.
  // InvalidHandle() where the system makes no such file (the default).
  virtual FileHandle CreateUnnamed(const std::string& path) const;
  // Gives a file from CreateUnnamed path's name, the last component exactly
  // as written; false when anything is there or the name cannot be given so.
  virtual bool Publish(FileHandle file, const std::string& path) const;

  // Creates one directory; false when it could not be made (an existing one
  // included).
  virtual bool CreateDirectory(const std::string& path) const = 0;
  virtual bool RemoveFile(const std::string& path) const = 0;
  // Moves from onto to in one step, replacing what is at to (a symbolic link
  // there is replaced, never followed). Both in one directory.
  virtual bool Rename(const std::string& from, const std::string& to) const = 0;
  // Gives to the permission bits of from.
  virtual bool CopyPermissions(FileHandle from, FileHandle to) const = 0;
  // Whether the caller may create files in the directory.
  virtual bool CanCreateIn(const std::string& directory) const = 0;
  // The absolute path of an existing file with each component as it is on
  // disk; nothing when it does not exist.
  virtual std::optional<std::string> OnDiskPath(const std::string& path) const = 0;
  virtual std::optional<std::string> CurrentDirectory() const = 0;
  virtual bool SetCurrentDirectory(const std::string& path) const = 0;

  // A millisecond counter that wraps at 2^32.
  virtual uint32_t Milliseconds() const = 0;

  // Why the calling thread's latest call that reported failure failed. Only
  // meaningful right after that call: any later call may change it.
  virtual SystemError LastError() const = 0;
  // The system's short text for an error number ("Permission denied").
  virtual std::string ErrorText(int code) const = 0;
};

// The process's real file system. Stateless; lives for the whole program.
const FileSystem& NativeFileSystem();
// The real file system for one command: it lists a directory at most once
// for the searches ignoring case and keeps that listing current with its own
// creations, renames and removals (not with other processes' changes), and
// resolves the leading directories of a deep path once. Thread-safe. (On
// Windows, which matches names ignoring case itself, it is a plain one.)
std::unique_ptr<FileSystem> NewNativeFileSystem();

// Owns an open handle and closes it through its file system.
class File {
 public:
  File() = default;
  File(const FileSystem& fs, FileHandle handle) : fs_(&fs), handle_(handle) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : fs_(other.fs_), handle_(other.Release()) {}
  File& operator=(File&& other) noexcept;
  ~File() { Reset(); }

  bool IsOpen() const { return handle_ != InvalidHandle(); }
  FileHandle Handle() const { return handle_; }
  FileHandle Release();
  void Reset();

 private:
  const FileSystem* fs_ = nullptr;
  FileHandle handle_ = InvalidHandle();
};

}  // namespace platform
