// The injected faults of the test file system.
#include "support/FaultyFileSystem.h"

#include <unistd.h>

namespace testing_support {

std::optional<FaultyFileSystem::Fault> FaultyFileSystem::Next(Call call) const {
  const std::lock_guard lock(mutex_);
  Slot& s = slots_[size_t(call)];
  ++s.count;
  if (s.nth == 0 || !(s.count == s.nth || (s.onward && s.count > s.nth))) return std::nullopt;
  if (s.fault == Fault::Exit) _exit(kExitStatus);
  return s.fault;
}

platform::IoResult FaultyFileSystem::ReadAt(platform::FileHandle file, uint64_t offset, void* data,
                                            size_t size) const {
  std::optional<Fault> fault = Next(Call::ReadAt);
  if (fault == Fault::Fail) return {false, 0};
  return inner_.ReadAt(file, offset, data, fault ? size / 2 : size);
}

platform::IoResult FaultyFileSystem::WriteAt(platform::FileHandle file, uint64_t offset,
                                             const void* data, size_t size) const {
  std::optional<Fault> fault = Next(Call::WriteAt);
  if (fault == Fault::Fail) return {false, 0};
  if (!fault) return inner_.WriteAt(file, offset, data, size);
  return {false, inner_.WriteAt(file, offset, data, size / 2).count};
}

}  // namespace testing_support
