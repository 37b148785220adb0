// A FileSystem for tests that forwards every call to another one, counts the
// I/O calls on open files and makes chosen ones fail, come up short or end
// the process. Its counters may be used from several threads.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/FileSystem.h"

namespace testing_support {

using platform::FileHandle;

class FaultyFileSystem : public platform::FileSystem {
 public:
  enum class Call { ReadAt, WriteAt, Truncate, Flush };  // FlushDirectory counts as Flush
  // Fail: nothing is transferred, an error is reported. Short: half the bytes
  // move; a read reports success (an early end of file), a write an error (a
  // full disk); Truncate and Flush fail. Exit: _exit(kExitStatus), as a crash.
  // OutOfMemory: std::bad_alloc is thrown.
  enum class Fault { Fail, Short, Exit, OutOfMemory };
  static constexpr int kExitStatus = 86;

  explicit FaultyFileSystem(const platform::FileSystem& inner = platform::NativeFileSystem())
      : inner_(inner) {}

  // The nth call of the kind (from 1, over the object's life) misbehaves;
  // with onward, every call from the nth on does.
  void Inject(Call call, uint64_t nth, Fault fault = Fault::Fail, bool onward = false) {
    const std::lock_guard lock(mutex_);
    slots_[size_t(call)] = {slots_[size_t(call)].count, nth, fault, onward};
  }
  void Clear() {
    const std::lock_guard lock(mutex_);
    for (Slot& s : slots_) s.nth = 0;
  }
  uint64_t Count(Call call) const {
    const std::lock_guard lock(mutex_);
    return slots_[size_t(call)].count;
  }

  platform::IoResult ReadAt(FileHandle f, uint64_t at, void* data, size_t size) const override;
  platform::IoResult WriteAt(FileHandle f, uint64_t at, const void* data,
                             size_t size) const override;
  bool Truncate(FileHandle f, uint64_t size) const override {
    return !Next(Call::Truncate) && inner_.Truncate(f, size);
  }
  bool Flush(FileHandle f) const override { return !Next(Call::Flush) && inner_.Flush(f); }
  bool FlushDirectory(const std::string& path) const override {
    return !Next(Call::Flush) && inner_.FlushDirectory(path);
  }

  // The rest only forwards.
  FileHandle Open(const std::string& path, platform::Access access, platform::Creation creation,
                  platform::Lock lock) const override {
    return inner_.Open(path, access, creation, lock);
  }
  void Close(FileHandle f) const override { inner_.Close(f); }
  std::optional<uint64_t> Size(FileHandle f) const override { return inner_.Size(f); }
  platform::Attributes GetAttributes(const std::string& p) const override {
    return inner_.GetAttributes(p);
  }
  std::optional<platform::FileTime> LastWriteTime(const std::string& p) const override {
    return inner_.LastWriteTime(p);
  }
  std::optional<std::vector<platform::DirEntry>> ListDirectory(
      const std::string& p) const override {
    return inner_.ListDirectory(p);
  }
  bool CreateDirectory(const std::string& p) const override { return inner_.CreateDirectory(p); }
  bool RemoveFile(const std::string& p) const override { return inner_.RemoveFile(p); }
  std::optional<std::string> CurrentDirectory() const override { return inner_.CurrentDirectory(); }
  bool SetCurrentDirectory(const std::string& p) const override {
    return inner_.SetCurrentDirectory(p);
  }
  uint32_t Milliseconds() const override { return inner_.Milliseconds(); }
  // An injected Fail is an I/O error, a short write a full disk; otherwise
  // what the inner file system says.
  platform::SystemError LastError() const override;
  std::string ErrorText(int code) const override { return inner_.ErrorText(code); }

 private:
  struct Slot {
    uint64_t count = 0, nth = 0;  // nth 0: no fault
    Fault fault = Fault::Fail;
    bool onward = false;
  };
  // Counts one call of the kind and returns the fault it must suffer, if any.
  std::optional<Fault> Next(Call call) const;

  const platform::FileSystem& inner_;
  mutable std::mutex mutex_;
  mutable std::array<Slot, 4> slots_{};
  // Per thread: the error of its latest counted call when that was injected.
  mutable std::map<std::thread::id, platform::SystemError> injected_;
};

}  // namespace testing_support
