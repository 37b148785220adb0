// Forwarding file system with injected I/O faults, for tests of failed
// reads and writes.
#include "support/FaultyFileSystem.h"

#include <unistd.h>

namespace testing_support {

using platform::FileHandle;
using platform::IoResult;

void FaultyFileSystem::Inject(Call call, uint64_t nth, Fault fault, bool onward) {
  Slot& s = SlotFor(call);
  s.nth = nth;
  s.fault = fault;
  s.onward = onward;
}

void FaultyFileSystem::Clear() {
  for (Slot& s : slots_) s.nth = 0;
}

std::optional<FaultyFileSystem::Fault> FaultyFileSystem::Next(Call call) const {
  Slot& s = SlotFor(call);
  ++s.count;
  if (s.nth == 0 || !(s.count == s.nth || (s.onward && s.count > s.nth))) return std::nullopt;
  if (s.fault == Fault::Exit) _exit(kExitStatus);
  return s.fault;
}

IoResult FaultyFileSystem::ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) const {
  std::optional<Fault> fault = Next(Call::ReadAt);
  if (!fault) return inner_.ReadAt(file, offset, data, size);
  if (*fault == Fault::Fail) return {false, 0};
  return inner_.ReadAt(file, offset, data, size / 2);
}

IoResult FaultyFileSystem::WriteAt(FileHandle file, uint64_t offset, const void* data,
                                   size_t size) const {
  std::optional<Fault> fault = Next(Call::WriteAt);
  if (!fault) return inner_.WriteAt(file, offset, data, size);
  if (*fault == Fault::Fail) return {false, 0};
  return {false, inner_.WriteAt(file, offset, data, size / 2).count};
}

bool FaultyFileSystem::Truncate(FileHandle file, uint64_t size) const {
  return !Next(Call::Truncate) && inner_.Truncate(file, size);
}

bool FaultyFileSystem::Flush(FileHandle file) const {
  return !Next(Call::Flush) && inner_.Flush(file);
}

bool FaultyFileSystem::FlushDirectory(const std::string& path) const {
  return !Next(Call::Flush) && inner_.FlushDirectory(path);
}

FileHandle FaultyFileSystem::Open(const std::string& path, platform::Access access,
                                  platform::Creation creation, platform::Lock lock) const {
  return inner_.Open(path, access, creation, lock);
}

void FaultyFileSystem::Close(FileHandle file) const { inner_.Close(file); }

std::optional<uint64_t> FaultyFileSystem::Size(FileHandle file) const { return inner_.Size(file); }

platform::Attributes FaultyFileSystem::GetAttributes(const std::string& path) const {
  return inner_.GetAttributes(path);
}

std::optional<platform::FileTime> FaultyFileSystem::LastWriteTime(const std::string& path) const {
  return inner_.LastWriteTime(path);
}

std::vector<platform::DirEntry> FaultyFileSystem::Enumerate(const std::string& pattern) const {
  return inner_.Enumerate(pattern);
}

bool FaultyFileSystem::CreateDirectory(const std::string& path) const {
  return inner_.CreateDirectory(path);
}

bool FaultyFileSystem::RemoveFile(const std::string& path) const { return inner_.RemoveFile(path); }

std::optional<std::string> FaultyFileSystem::CurrentDirectory() const {
  return inner_.CurrentDirectory();
}

bool FaultyFileSystem::SetCurrentDirectory(const std::string& path) const {
  return inner_.SetCurrentDirectory(path);
}

uint32_t FaultyFileSystem::Milliseconds() const { return inner_.Milliseconds(); }

}  // namespace testing_support
