// A FileSystem for tests that forwards every call to another one, counts the
// I/O calls on open files and makes chosen ones fail or come up short.
#pragma once

#include <array>
#include <cstdint>

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
  void Inject(Call call, uint64_t nth, Fault fault = Fault::Fail, bool onward = false);
  void Clear();
  // How many calls of the kind have been made.
  uint64_t Count(Call call) const { return SlotFor(call).count; }

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
  // Counted as a Flush.
  bool FlushDirectory(const std::string& path) const override;
  platform::Attributes GetAttributes(const std::string& path) const override;
  std::optional<platform::FileTime> LastWriteTime(const std::string& path) const override;
  std::vector<platform::DirEntry> Enumerate(const std::string& pattern) const override;
  bool CreateDirectory(const std::string& path) const override;
  bool RemoveFile(const std::string& path) const override;
  std::optional<std::string> CurrentDirectory() const override;
  bool SetCurrentDirectory(const std::string& path) const override;
  uint32_t Milliseconds() const override;

 private:
  struct Slot {
    uint64_t count = 0;
    uint64_t nth = 0;  // 0: no fault
    Fault fault = Fault::Fail;
    bool onward = false;
  };
  Slot& SlotFor(Call call) const { return slots_[size_t(call)]; }
  // Counts one call of the kind and returns the fault it must suffer, if any.
  std::optional<Fault> Next(Call call) const;

  const platform::FileSystem& inner_;
  mutable std::array<Slot, 4> slots_{};
};

}  // namespace testing_support
