// The injected faults of the test file system.
#include "support/FaultyFileSystem.h"

#include <unistd.h>

#include <cerrno>

#include <new>

namespace testing_support {

std::optional<FaultyFileSystem::Fault> FaultyFileSystem::Next(Call call) const {
  const std::lock_guard lock(mutex_);
  Slot& s = slots_[size_t(call)];
  ++s.count;
  injected_.erase(std::this_thread::get_id());
  if (s.nth == 0 || !(s.count == s.nth || (s.onward && s.count > s.nth))) return std::nullopt;
  if (s.fault == Fault::Exit) _exit(kExitStatus);
  if (s.fault == Fault::OutOfMemory) throw std::bad_alloc();
  const bool full = s.fault == Fault::Short && call == Call::WriteAt;
  injected_[std::this_thread::get_id()] =
      full ? platform::SystemError{platform::Failure::DiskFull, ENOSPC}
           : platform::SystemError{platform::Failure::Other, EIO};
  return s.fault;
}

platform::SystemError FaultyFileSystem::LastError() const {
  {
    const std::lock_guard lock(mutex_);
    const auto found = injected_.find(std::this_thread::get_id());
    if (found != injected_.end()) return found->second;
  }
  return inner_.LastError();
}

platform::IoResult FaultyFileSystem::ReadAt(FileHandle f, uint64_t at, void* data,
                                            size_t size) const {
  const std::optional<Fault> fault = Next(Call::ReadAt);
  if (fault == Fault::Fail) return {false, 0};
  return inner_.ReadAt(f, at, data, fault ? size / 2 : size);
}

platform::IoResult FaultyFileSystem::WriteAt(FileHandle f, uint64_t at, const void* data,
                                             size_t size) const {
  const std::optional<Fault> fault = Next(Call::WriteAt);
  if (fault == Fault::Fail) return {false, 0};
  if (!fault) return inner_.WriteAt(f, at, data, size);
  return {false, inner_.WriteAt(f, at, data, size / 2).count};
}

}  // namespace testing_support
