// The in-memory file system of the fuzz checks: a map of resolved paths to
// files and directories, and a map of handles to open files.
#include "fuzz/MemoryFileSystem.h"

#include <algorithm>
#include <cstring>

namespace fuzzing {

using platform::FileHandle;
using platform::IoResult;

MemoryFileSystem::MemoryFileSystem() { nodes_["/"].directory = true; }

std::string MemoryFileSystem::Resolve(const std::string& path) const {
  std::string text = path;
  std::replace(text.begin(), text.end(), '\\', '/');
  if (text.empty() || text.front() != '/') text = currentDirectory_ + "/" + text;
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    const std::string component = text.substr(start, end - start);
    if (component == "..") {
      if (!components.empty()) components.pop_back();
    } else if (!component.empty() && component != ".") {
      components.push_back(component);
    }
    start = end + 1;
  }
  std::string resolved;
  for (const std::string& component : components) resolved += "/" + component;
  return resolved.empty() ? "/" : resolved;
}

bool MemoryFileSystem::ParentIsDirectory(const std::string& resolved) const {
  if (resolved == "/") return false;
  const size_t slash = resolved.rfind('/');
  const auto parent = nodes_.find(slash == 0 ? "/" : resolved.substr(0, slash));
  return parent != nodes_.end() && parent->second.directory;
}

void MemoryFileSystem::SetFile(const std::string& path, std::vector<unsigned char> bytes) {
  const std::string resolved = Resolve(path);
  if (!ParentIsDirectory(resolved)) return;
  Node& node = nodes_[resolved];
  if (node.directory) return;
  node.bytes = std::move(bytes);
}

const std::vector<unsigned char>* MemoryFileSystem::FileBytes(const std::string& path) const {
  const auto node = nodes_.find(Resolve(path));
  if (node == nodes_.end() || node->second.directory) return nullptr;
  return &node->second.bytes;
}

std::vector<std::string> MemoryFileSystem::FilePaths() const {
  std::vector<std::string> paths;
  for (const auto& [path, node] : nodes_) {
    if (!node.directory) paths.push_back(path);
  }
  return paths;
}

FileHandle MemoryFileSystem::Open(const std::string& path, platform::Access access,
                                  platform::Creation creation, platform::Lock lock) const {
  const std::string resolved = Resolve(path);
  auto node = nodes_.find(resolved);
  if (node == nodes_.end()) {
    if (creation == platform::Creation::OpenExisting || !ParentIsDirectory(resolved)) {
      return platform::InvalidHandle();
    }
    node = nodes_.emplace(resolved, Node{}).first;
  }
  Node& file = node->second;
  if (file.directory || file.exclusiveLock) return platform::InvalidHandle();
  if (lock == platform::Lock::Exclusive && file.sharedLocks != 0) return platform::InvalidHandle();
  const bool writable = access == platform::Access::ReadWrite;
  if (writable && creation == platform::Creation::CreateAlways) file.bytes.clear();
  if (lock == platform::Lock::Exclusive) file.exclusiveLock = true;
  if (lock == platform::Lock::Shared) ++file.sharedLocks;
  const uintptr_t handle = nextHandle_++;
  open_[handle] = OpenFile{resolved, writable, lock};
  return reinterpret_cast<FileHandle>(handle);
}

const MemoryFileSystem::OpenFile* MemoryFileSystem::Find(FileHandle file) const {
  const auto open = open_.find(reinterpret_cast<uintptr_t>(file));
  return open == open_.end() ? nullptr : &open->second;
}

void MemoryFileSystem::Close(FileHandle file) const {
  const OpenFile* open = Find(file);
  if (open == nullptr) return;
  const auto node = nodes_.find(open->path);
  if (node != nodes_.end()) {
    if (open->lock == platform::Lock::Exclusive) node->second.exclusiveLock = false;
    if (open->lock == platform::Lock::Shared) --node->second.sharedLocks;
  }
  open_.erase(reinterpret_cast<uintptr_t>(file));
}

MemoryFileSystem::Node* MemoryFileSystem::NodeOf(FileHandle file, bool forWriting) const {
  const OpenFile* open = Find(file);
  if (open == nullptr || (forWriting && !open->writable)) return nullptr;
  const auto node = nodes_.find(open->path);  // gone when removed while open
  return node == nodes_.end() ? nullptr : &node->second;
}

IoResult MemoryFileSystem::ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) const {
  const Node* node = NodeOf(file, false);
  if (node == nullptr) return {false, 0};
  const std::vector<unsigned char>& bytes = node->bytes;
  if (offset >= bytes.size()) return {true, 0};
  const size_t count = std::min<uint64_t>(size, bytes.size() - offset);
  if (count != 0) std::memcpy(data, bytes.data() + offset, count);
  return {true, count};
}

IoResult MemoryFileSystem::WriteAt(FileHandle file, uint64_t offset, const void* data,
                                   size_t size) const {
  Node* node = NodeOf(file, true);
  if (node == nullptr || offset + size > kMaxFileSize) return {false, 0};
  std::vector<unsigned char>& bytes = node->bytes;
  if (offset + size > bytes.size()) bytes.resize(offset + size);
  if (size != 0) std::memcpy(bytes.data() + offset, data, size);
  return {true, size};
}

bool MemoryFileSystem::Truncate(FileHandle file, uint64_t size) const {
  Node* node = NodeOf(file, true);
  if (node == nullptr || size > kMaxFileSize) return false;
  node->bytes.resize(size);
  return true;
}

std::optional<uint64_t> MemoryFileSystem::Size(FileHandle file) const {
  const Node* node = NodeOf(file, false);
  if (node == nullptr) return std::nullopt;
  return node->bytes.size();
}

bool MemoryFileSystem::Flush(FileHandle file) const { return Find(file) != nullptr; }

bool MemoryFileSystem::FlushDirectory(const std::string& path) const {
  const auto node = nodes_.find(Resolve(path));
  return node != nodes_.end() && node->second.directory;
}

platform::Attributes MemoryFileSystem::GetAttributes(const std::string& path) const {
  const auto node = nodes_.find(Resolve(path));
  if (node == nodes_.end()) return {};
  return {true, node->second.directory};
}

std::optional<platform::FileTime> MemoryFileSystem::LastWriteTime(const std::string& path) const {
  if (nodes_.count(Resolve(path)) == 0) return std::nullopt;
  return platform::FileTime{1, 1};
}

std::optional<std::vector<platform::DirEntry>> MemoryFileSystem::ListDirectory(
    const std::string&) const {
  return std::vector<platform::DirEntry>{};
}

bool MemoryFileSystem::CreateDirectory(const std::string& path) const {
  const std::string resolved = Resolve(path);
  if (nodes_.count(resolved) != 0 || !ParentIsDirectory(resolved)) return false;
  nodes_[resolved].directory = true;
  return true;
}

bool MemoryFileSystem::RemoveFile(const std::string& path) const {
  const auto node = nodes_.find(Resolve(path));
  if (node == nodes_.end() || node->second.directory) return false;
  nodes_.erase(node);
  return true;
}

std::optional<std::string> MemoryFileSystem::CurrentDirectory() const { return currentDirectory_; }

bool MemoryFileSystem::SetCurrentDirectory(const std::string& path) const {
  const std::string resolved = Resolve(path);
  const auto node = nodes_.find(resolved);
  if (node == nodes_.end() || !node->second.directory) return false;
  currentDirectory_ = resolved;
  return true;
}

uint32_t MemoryFileSystem::Milliseconds() const { return 0; }

platform::SystemError MemoryFileSystem::LastError() const {
  return platform::SystemError{platform::Failure::Other, 0};
}

std::string MemoryFileSystem::ErrorText(int) const { return "error"; }

}  // namespace fuzzing
