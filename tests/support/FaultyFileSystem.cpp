// The injected faults of the test file system, and the power-loss model.
#include "support/FaultyFileSystem.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <new>

#include "support/RawArchive.h"

namespace testing_support {

namespace {

namespace stdfs = std::filesystem;

// The fault loops read and copy files of megabytes for every injected fault:
// keeping freed memory, rather than mapping it afresh each time, saves much of
// the suite's time.
#if defined(__GLIBC__)
[[maybe_unused]] const bool kFreedMemoryKept =
    mallopt(M_MMAP_THRESHOLD, 64 << 20) && mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif

std::string Canonical(const std::string& path) { return stdfs::weakly_canonical(path).string(); }

std::string Contents(const std::string& path) {
  const std::vector<unsigned char> bytes = ReadWholeFile(path);
  return {bytes.begin(), bytes.end()};
}

}  // namespace

FaultyFileSystem::Turn FaultyFileSystem::Next(std::optional<Call> call) const {
  std::optional<Fault> fault;
  if (call) {
    const std::lock_guard lock(mutex_);
    Slot& s = slots_[size_t(*call)];
    ++s.count;
    if (s.nth != 0 && (s.count == s.nth || (s.onward && s.count > s.nth))) fault = s.fault;
  }
  if (fault == Fault::OutOfMemory) throw std::bad_alloc();
  if (fault == Fault::Exit) Crash();
  Turn turn{std::shared_lock(gate_), Crashed() ? Fault::Fail : fault};
  if (turn.fault) {
    const bool full = turn.fault == Fault::Short && call == Call::WriteAt;
    Remember(full ? platform::SystemError{platform::Failure::DiskFull, ENOSPC}
                  : platform::SystemError{platform::Failure::Other, EIO});
  }
  return turn;
}

void FaultyFileSystem::Remember(platform::SystemError error) const {
  const std::lock_guard lock(mutex_);
  injected_[std::this_thread::get_id()] = error;
}

platform::SystemError FaultyFileSystem::LastError() const {
  // Taken first: on Windows the lock and the thread id clear the last error.
  const platform::SystemError inner = inner_.LastError();
  const std::lock_guard lock(mutex_);
  const auto found = injected_.find(std::this_thread::get_id());
  return found != injected_.end() ? found->second : inner;
}

void FaultyFileSystem::Track(FileHandle f, Unflushed::Change change) const {
  const std::lock_guard lock(mutex_);
  Unflushed& u = files_[paths_.at(f)];
  if (!u.changed) {
    u.durable.assign(inner_.Size(f).value_or(0), '\0');
    u.durable.resize(inner_.ReadAt(f, 0, u.durable.data(), u.durable.size()).count);
    u.changed = true;
  }
  u.changes.push_back(std::move(change));
}

void FaultyFileSystem::Crash() const {
  const std::unique_lock gate(gate_);
  const std::lock_guard lock(mutex_);
  if (life_ != Life::Running) return;  // another thread's call crashed first
  bool unflushed = false;
  for (const auto& [path, u] : files_) {
    unflushed |= u.changed || u.created || u.removed;
    if (loss_ == PowerLoss::Drop && u.created) {
      stdfs::remove(path);
      continue;
    }
    std::string bytes = u.durable;
    if (loss_ == PowerLoss::Drop ? !u.changed && !u.removed : !u.changed || u.removed) continue;
    size_t last = u.changes.size();  // the last write
    while (last != 0 && u.changes[last - 1].truncation) --last;
    for (size_t i = 0; loss_ != PowerLoss::Drop && i < u.changes.size(); ++i) {
      const auto& [at, written, truncation] = u.changes[i];
      if (truncation) {
        bytes.resize(at);
        continue;
      }
      if (loss_ == PowerLoss::Reorder && i + 1 != last) continue;
      const size_t kept = loss_ == PowerLoss::Tear ? written.size() / 2 : written.size();
      if (bytes.size() < at + kept) bytes.resize(at + kept);
      const size_t run = loss_ == PowerLoss::Sectors ? kSector : kept;
      for (size_t s = 0; s < kept; s += 2 * run) {
        bytes.replace(at + s, std::min(run, kept - s), written, s, std::min(run, kept - s));
      }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  life_ = unflushed || loss_ == PowerLoss::Keep ? Life::Crashed : Life::Settled;
}

platform::IoResult FaultyFileSystem::ReadAt(FileHandle f, uint64_t at, void* data,
                                            size_t size) const {
  const auto [gate, fault] = Next(Call::ReadAt);
  if (fault == Fault::Fail) return {false, 0};
  const platform::IoResult read = inner_.ReadAt(f, at, data, fault ? size / 2 : size);
  if (!fault && !read.ok) Remember(inner_.LastError());
  return read;
}

platform::IoResult FaultyFileSystem::WriteAt(FileHandle f, uint64_t at, const void* data,
                                             size_t size) const {
  const auto [gate, fault] = Next(Call::WriteAt);
  if (fault == Fault::Fail) return {false, 0};
  const size_t moving = fault ? size / 2 : size;
  if (loss_ != PowerLoss::Keep) Track(f, {at, {static_cast<const char*>(data), moving}, false});
  const platform::IoResult wrote = inner_.WriteAt(f, at, data, moving);
  if (!fault && !wrote.ok) Remember(inner_.LastError());
  return fault ? platform::IoResult{false, wrote.count} : wrote;
}

bool FaultyFileSystem::Truncate(FileHandle f, uint64_t size) const {
  const auto [gate, fault] = Next(Call::Truncate);
  if (fault) return false;
  if (loss_ != PowerLoss::Keep) Track(f, {size, {}, true});
  const bool cut = inner_.Truncate(f, size);
  if (!cut) Remember(inner_.LastError());
  return cut;
}

bool FaultyFileSystem::Flush(FileHandle f) const {
  const auto [gate, fault] = Next(Call::Flush);
  if (fault) return false;
  const std::lock_guard lock(mutex_);
  const auto it = loss_ == PowerLoss::Keep ? files_.end() : files_.find(paths_.at(f));
  if (it != files_.end() && it->second.created) {
    it->second = Unflushed{};
    it->second.created = true;
  } else if (it != files_.end()) {
    files_.erase(it);
  }
  return true;
}

bool FaultyFileSystem::FlushDirectory(const std::string& path) const {
  const auto [gate, fault] = Next(Call::Flush);
  if (fault) return false;
  if (!inner_.GetAttributes(path).isDirectory) {
    Remember(inner_.LastError());
    return false;
  }
  const std::lock_guard lock(mutex_);
  const stdfs::path directory = loss_ == PowerLoss::Keep ? "" : Canonical(path);
  for (auto it = files_.begin(); it != files_.end();) {
    const bool in = stdfs::path(it->first).parent_path() == directory;
    it->second.created &= !in;
    it = in && (it->second.removed || !it->second.changed) ? files_.erase(it) : std::next(it);
  }
  return true;
}

FileHandle FaultyFileSystem::Open(const std::string& path, platform::Access access,
                                  platform::Creation creation, platform::Lock lock) const {
  const auto [gate, fault] = Next(Call::Open);
  if (fault) return platform::InvalidHandle();
  const bool creating = loss_ != PowerLoss::Keep && access == platform::Access::ReadWrite &&
                        creation != platform::Creation::OpenExisting;
  const bool existed = creating && inner_.GetAttributes(path).exists;
  if (creating && existed && creation == platform::Creation::CreateAlways) {
    // Note the bytes the truncation at open takes.
    const std::lock_guard guard(mutex_);
    Unflushed& u = files_[Canonical(path)];
    if (!u.changed) u.durable = Contents(path);
    u.changed = true;
    u.changes.push_back({0, {}, true});
  }
  const FileHandle f = inner_.Open(path, access, creation, lock);
  if (f == platform::InvalidHandle()) {
    Remember(inner_.LastError());
    return f;
  }
  const std::lock_guard guard(mutex_);
  if (loss_ != PowerLoss::Keep) paths_[f] = Canonical(path);
  if (creating && !existed) {
    Unflushed& u = files_[paths_[f]];
    if (u.removed) {  // made anew where one was removed: its old bytes are what a crash leaves
      u.removed = false;
      u.changed = true;
      u.changes.push_back({0, {}, true});
    } else {
      u.created = u.changed = true;
    }
  }
  return f;
}

void FaultyFileSystem::Close(FileHandle f) const {
  inner_.Close(f);
  const std::lock_guard lock(mutex_);
  paths_.erase(f);
}

bool FaultyFileSystem::RemoveFile(const std::string& path) const {
  const auto [gate, fault] = Next(Call::Remove);
  if (fault) return false;
  if (loss_ != PowerLoss::Keep && inner_.GetAttributes(path).exists) {
    const std::lock_guard lock(mutex_);
    const std::string canonical = Canonical(path);
    Unflushed& u = files_[canonical];
    if (u.created) {
      files_.erase(canonical);  // it never was there for good
    } else {
      if (!u.changed) u.durable = Contents(canonical);
      u.changed = false;
      u.removed = true;
      u.changes.clear();
    }
  }
  const bool removed = inner_.RemoveFile(path);
  if (!removed) Remember(inner_.LastError());
  return removed;
}

}  // namespace testing_support
