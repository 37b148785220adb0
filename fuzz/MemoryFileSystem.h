// A FileSystem held wholly in memory, for fuzzing: fast, free of the disk,
// and able to show afterwards every file that was written and where.
//
// Paths are resolved like absolute POSIX paths from the current directory
// ("/" at first): backslashes are separators, "." and ".." are followed,
// names match exactly. Files larger than kMaxFileSize cannot be written, as
// on a full disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace fuzzing {

class MemoryFileSystem : public platform::FileSystem {
 public:
  static constexpr uint64_t kMaxFileSize = uint64_t(64) << 20;

  MemoryFileSystem();

  // Creates or replaces a file (its directory must exist).
  void SetFile(const std::string& path, std::vector<unsigned char> bytes);
  // The file's bytes, or null when there is no such file.
  const std::vector<unsigned char>* FileBytes(const std::string& path) const;
  // Every file's resolved path, in byte order.
  std::vector<std::string> FilePaths() const;
  // The absolute form of path, as every method resolves it.
  std::string Resolve(const std::string& path) const;

  platform::FileHandle Open(const std::string& path, platform::Access access,
                            platform::Creation creation, platform::Lock lock) const override;
  void Close(platform::FileHandle file) const override;
  platform::IoResult ReadAt(platform::FileHandle file, uint64_t offset, void* data,
                            size_t size) const override;
  platform::IoResult WriteAt(platform::FileHandle file, uint64_t offset, const void* data,
                             size_t size) const override;
  bool Truncate(platform::FileHandle file, uint64_t size) const override;
  std::optional<uint64_t> Size(platform::FileHandle file) const override;
  bool Flush(platform::FileHandle file) const override;
  bool FlushDirectory(const std::string& path) const override;
  platform::Attributes GetAttributes(const std::string& path) const override;
  std::optional<platform::FileTime> LastWriteTime(const std::string& path) const override;
  std::optional<std::vector<platform::DirEntry>> ListDirectory(
      const std::string& pattern) const override;
  bool CreateDirectory(const std::string& path) const override;
  bool RemoveFile(const std::string& path) const override;
  std::optional<std::string> CurrentDirectory() const override;
  bool SetCurrentDirectory(const std::string& path) const override;
  uint32_t Milliseconds() const override;
  // Every failure reads as a generic I/O error.
  platform::SystemError LastError() const override;
  std::string ErrorText(int code) const override;

 private:
  struct Node {
    bool directory = false;
    std::vector<unsigned char> bytes;
    unsigned sharedLocks = 0;
    bool exclusiveLock = false;
  };
  struct OpenFile {
    std::string path;
    bool writable = false;
    platform::Lock lock = platform::Lock::None;
  };

  // The open file behind a handle, or null.
  const OpenFile* Find(platform::FileHandle file) const;
  // The node behind a handle (one open for writing when forWriting), or null.
  Node* NodeOf(platform::FileHandle file, bool forWriting) const;
  bool ParentIsDirectory(const std::string& resolved) const;

  mutable std::map<std::string, Node> nodes_;  // by resolved path; "/" is the root
  mutable std::map<uintptr_t, OpenFile> open_;
  mutable uintptr_t nextHandle_ = 1;
  mutable std::string currentDirectory_ = "/";
};

}  // namespace fuzzing
