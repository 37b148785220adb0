// A FileSystem for tests that forwards every call to another one, counts the
// I/O calls and makes chosen ones fail, come up short or crash. It may be
// used from several threads. Flushes reach no disk (a test never loses
// power): they only count, and mark what a simulated crash keeps.
//
// A crash is simulated in the process: at the injected Exit the files are
// left as the power-loss mode says, and from then on every call (Close aside)
// fails and changes nothing, as if the process had ended there; the code
// under test unwinds with errors and the test reads the files left. With a
// mode set, it keeps what a crash could lose: the bytes of each file as last
// flushed, the writes and truncations since, and the files created or
// removed since their directory was last flushed.
#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"

namespace testing_support {

using platform::FileHandle;

class FaultyFileSystem : public platform::FileSystem {
  using FS = platform::FileSystem;
  using Path = const std::string&;

 public:
  // FlushDirectory counts as Flush; Open, for writing or not, and RemoveFile
  // have their own counts.
  enum class Call { ReadAt, WriteAt, Truncate, Flush, Open, Remove };
  // Fail: nothing is transferred, an error is reported. Short: half the bytes
  // move; a read reports success (an early end of file), a write an error (a
  // full disk); the other calls fail. Exit: a crash at the call, which fails.
  // OutOfMemory: std::bad_alloc is thrown.
  enum class Fault { Fail, Short, Exit, OutOfMemory };
  // What an Exit keeps of the changes not flushed. Keep: all of them (the
  // process died, the system did not). Drop: none; files created come off
  // their directory, files removed come back. Tear: the writes are kept in
  // order but each only in its first half; created and removed stay so.
  // Reorder: of each file's writes only the last is kept, as by a disk that
  // wrote them out of order; truncations, created and removed stay so.
  // Sectors: as Keep, but every write longer than kSector keeps only its
  // first kSector bytes and every other kSector after them, the rest holding
  // what was there before (zeros past the old end): a disk that recorded the
  // new length but not every sector.
  enum class PowerLoss { Keep, Drop, Tear, Reorder, Sectors };
  static constexpr size_t kSector = 512;

  explicit FaultyFileSystem(const FS& inner = platform::NativeFileSystem()) : inner_(inner) {}

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
  // Set before the first call; Keep (the default) tracks nothing.
  void SetPowerLoss(PowerLoss loss) { loss_ = loss; }
  // Whether an injected Exit struck; Settled: it found nothing unflushed
  // under a power-loss mode, so that every mode leaves the same files.
  bool Crashed() const { return life_ != Life::Running; }
  bool Settled() const { return life_ == Life::Settled; }

  platform::IoResult ReadAt(FileHandle f, uint64_t at, void* data, size_t size) const override;
  platform::IoResult WriteAt(FileHandle f, uint64_t at, const void* data,
                             size_t size) const override;
  bool Truncate(FileHandle f, uint64_t size) const override;
  bool Flush(FileHandle f) const override;
  bool FlushDirectory(Path path) const override;
  FileHandle Open(Path path, platform::Access access, platform::Creation creation,
                  platform::Lock lock) const override;
  void Close(FileHandle f) const override;
  bool RemoveFile(Path p) const override;

  // The rest only forwards (a failure there is the inner file system's).
  std::optional<uint64_t> Size(FileHandle f) const override { return Forward(&FS::Size, f); }
  platform::Attributes GetAttributes(Path p) const override {
    return Forward(&FS::GetAttributes, p);
  }
  std::optional<platform::FileTime> LastWriteTime(Path p) const override {
    return Forward(&FS::LastWriteTime, p);
  }
  std::optional<platform::FileId> Identify(Path p) const override {
    return Forward(&FS::Identify, p);
  }
  std::optional<std::vector<platform::DirEntry>> ListDirectory(Path p) const override {
    return Forward(&FS::ListDirectory, p);
  }
  bool CreateDirectory(Path p) const override { return Forward(&FS::CreateDirectory, p); }
  bool Rename(Path f, Path t) const override { return Forward(&FS::Rename, f, t); }
  bool CopyPermissions(FileHandle f, FileHandle t) const override {
    return Forward(&FS::CopyPermissions, f, t);
  }
  bool CanCreateIn(Path p) const override { return Forward(&FS::CanCreateIn, p); }
  std::optional<std::string> OnDiskPath(Path p) const override {
    return Forward(&FS::OnDiskPath, p);
  }
  std::optional<std::string> CurrentDirectory() const override {
    return Forward(&FS::CurrentDirectory);
  }
  bool SetCurrentDirectory(Path p) const override { return Forward(&FS::SetCurrentDirectory, p); }
  uint32_t Milliseconds() const override { return inner_.Milliseconds(); }
  // An injected Fail (or any call after a crash) is an I/O error, a short
  // write a full disk; otherwise what the inner file system says.
  platform::SystemError LastError() const override;
  std::string ErrorText(int code) const override { return inner_.ErrorText(code); }

 private:
  struct Slot {
    uint64_t count = 0, nth = 0;  // nth 0: no fault
    Fault fault = Fault::Fail;
    bool onward = false;
  };
  // What a crash would undo of one file, by its canonical path.
  struct Unflushed {
    bool changed = false;  // since the last flush; durable holds the bytes then
    bool created = false;  // since its directory was last flushed
    bool removed = false;  // likewise; durable holds its bytes
    std::string durable;
    struct Change { uint64_t at; std::string bytes; bool truncation; };
    std::vector<Change> changes;  // in order; a truncation's size is at
  };
  enum class Life { Running, Crashed, Settled };
  // A call under way: it holds the gate shared, so that a crash waits for
  // it, and suffers the fault, if any (Fail for every call after a crash).
  struct Turn {
    std::shared_lock<std::shared_mutex> gate;
    std::optional<Fault> fault;
  };
  // Counts a call of the kind (none for a forwarded one) and crashes at an
  // injected Exit.
  Turn Next(std::optional<Call> call) const;
  // Keeps error as the calling thread's latest (taken before the lock: on
  // Windows the lock clears the last error).
  void Remember(platform::SystemError error) const;
  template <class Result, class... Params, class... Args>
  Result Forward(Result (FS::*call)(Params...) const, const Args&... args) const {
    const Turn turn = Next(std::nullopt);
    if (turn.fault) return Result{};
    Result result = (inner_.*call)(args...);
    if (!Ok(result)) Remember(inner_.LastError());
    return result;
  }
  static bool Ok(const platform::Attributes& a) { return a.exists; }
  template <class Result>
  static bool Ok(const Result& result) { return bool(result); }
  // Notes a change of an open file, and its bytes before its first change
  // since the last flush.
  void Track(FileHandle f, Unflushed::Change change) const;
  // Leaves the files as the mode says and takes the machine down, once no
  // call is under way: nothing reaches the disk after it.
  void Crash() const;

  const FS& inner_;
  PowerLoss loss_ = PowerLoss::Keep;
  mutable std::shared_mutex gate_;  // held shared by every call, alone by a crash
  mutable std::mutex mutex_;
  mutable std::atomic<Life> life_ = Life::Running;
  mutable std::array<Slot, 6> slots_{};
  mutable std::map<std::string, Unflushed> files_;
  mutable std::map<FileHandle, std::string> paths_;  // of open files, canonical, with a mode set
  // Per thread: the error of its latest call that failed, injected or not.
  // As with errno, calls that succeed leave it, so a cleanup after a
  // failure does not hide its cause.
  mutable std::map<std::thread::id, platform::SystemError> injected_;
};

}  // namespace testing_support
