// A FileSystem for tests that forwards every call to another one, counts the
// I/O calls on open files and makes chosen ones fail, come up short or end
// the process. Its counters may be used from several threads.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "platform/FileSystem.h"

namespace testing_support {

class FaultyFileSystem : public platform::FileSystem {
 public:
  enum class Call { ReadAt, WriteAt, Truncate, Flush };
  // Fail: nothing is transferred and the call reports an error.
  // Short: half the bytes (rounded down) are transferred; a read then reports
  // success, as at an early end of file, a write reports an error, as on a
  // full disk. Truncate and Flush treat Short as Fail.
  // Exit: the process ends at once with _exit(kExitStatus) instead of making
  // the call, as a crash or a kill would end it (for child processes).
  enum class Fault { Fail, Short, Exit };
  static constexpr int kExitStatus = 86;

  explicit FaultyFileSystem(const platform::FileSystem& inner = platform::NativeFileSystem())
      : inner_(inner) {}

  // Makes the nth call of the kind (counted from 1, over the object's life)
  // misbehave; with onward set, every call from the nth on does.
  void Inject(Call call, uint64_t nth, Fault fault = Fault::Fail, bool onward = false) {
    const std::lock_guard lock(mutex_);
    slots_[size_t(call)] = {slots_[size_t(call)].count, nth, fault, onward};
  }
  void Clear() {
    const std::lock_guard lock(mutex_);
    for (Slot& s : slots_) s.nth = 0;
  }
  // How many calls of the kind have been made.
  uint64_t Count(Call call) const {
    const std::lock_guard lock(mutex_);
    return slots_[size_t(call)].count;
  }

  platform::IoResult ReadAt(platform::FileHandle file, uint64_t offset, void* data,
                            size_t size) const override;
  platform::IoResult WriteAt(platform::FileHandle file, uint64_t offset, const void* data,
                             size_t size) const override;
  bool Truncate(platform::FileHandle file, uint64_t size) const override {
    return !Next(Call::Truncate) && inner_.Truncate(file, size);
  }
  bool Flush(platform::FileHandle file) const override {
    return !Next(Call::Flush) && inner_.Flush(file);
  }
  // Counted as a Flush.
  bool FlushDirectory(const std::string& path) const override {
    return !Next(Call::Flush) && inner_.FlushDirectory(path);
  }

  // The rest only forwards.
  platform::FileHandle Open(const std::string& path, platform::Access access,
                            platform::Creation creation, platform::Lock lock) const override {
    return inner_.Open(path, access, creation, lock);
  }
  void Close(platform::FileHandle file) const override { inner_.Close(file); }
  std::optional<uint64_t> Size(platform::FileHandle file) const override {
    return inner_.Size(file);
  }
  platform::Attributes GetAttributes(const std::string& path) const override {
    return inner_.GetAttributes(path);
  }
  std::optional<platform::FileTime> LastWriteTime(const std::string& path) const override {
    return inner_.LastWriteTime(path);
  }
  std::vector<platform::DirEntry> Enumerate(const std::string& pattern) const override {
    return inner_.Enumerate(pattern);
  }
  bool CreateDirectory(const std::string& path) const override {
    return inner_.CreateDirectory(path);
  }
  bool RemoveFile(const std::string& path) const override { return inner_.RemoveFile(path); }
  std::optional<std::string> CurrentDirectory() const override { return inner_.CurrentDirectory(); }
  bool SetCurrentDirectory(const std::string& path) const override {
    return inner_.SetCurrentDirectory(path);
  }
  uint32_t Milliseconds() const override { return inner_.Milliseconds(); }

 private:
  struct Slot {
    uint64_t count = 0;
    uint64_t nth = 0;  // 0: no fault
    Fault fault = Fault::Fail;
    bool onward = false;
  };
  // Counts one call of the kind and returns the fault it must suffer, if any.
  std::optional<Fault> Next(Call call) const;

  const platform::FileSystem& inner_;
  mutable std::mutex mutex_;
  mutable std::array<Slot, 4> slots_{};
};

}  // namespace testing_support
