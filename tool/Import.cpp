// Directory import: the "-add", "-replace" and "-update" commands. The base
// directory is current while the import runs; every file is stored under the
// path text as typed, extended by "/" and each name found on the walk.
#include "tool/Import.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "archive/Archive.h"
#include "archive/Packer.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "tool/CommandLine.h"
#include "tool/Reason.h"

namespace tool {
namespace {

// Makes a directory current and goes back to the previous one when it ends.
class CurrentDirectoryGuard {
 public:
  explicit CurrentDirectoryGuard(const platform::FileSystem& fs)
      : fs_(fs), saved_(fs.CurrentDirectory()) {}
  ~CurrentDirectoryGuard() {
    if (entered_ && !fs_.SetCurrentDirectory(*saved_)) {
      std::fprintf(stderr, "Cannot return to directory %s\n", saved_->c_str());
    }
  }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

  // False when the current directory cannot be saved or directory entered.
  bool Enter(const char* directory) {
    entered_ = saved_.has_value() && fs_.SetCurrentDirectory(directory);
    return entered_;
  }

 private:
  const platform::FileSystem& fs_;
  std::optional<std::string> saved_;
  bool entered_ = false;
};

// What the walk works with: the file system, and the archive being
// written, which it skips with its journal (matched by name first, then by
// identity).
struct WalkContext {
  const platform::FileSystem& fs;
  std::string archiveName;  // its last path component
  std::optional<platform::FileId> archiveId;
  std::string archiveJournal;  // absolute path of its journal
};

// What the walk meets, in walk order: a file to import, or a directory that
// cannot be read.
struct Met {
  std::string path;
  bool unreadable = false;
  platform::SystemError cause{};  // why the directory cannot be read
};

// What one ImportPath call works with and has done so far.
struct ImportRun {
  const platform::FileSystem& fs;
  GAME::Archive& archive;
  int level;
  int mode;
  // Entries a file of this run was matched to: added, replaced or kept. A
  // later file that meets one of them has a name that normalises alike.
  std::unordered_set<int> claimed{};
  bool failed = false;  // a file was reported on standard error
  // With several workers: what the walk met and was not handled yet,
  // oldest first, each file marked when it was submitted to the packer.
  GAME::Packer* packer = nullptr;
  struct Walked {
    Met met;
    bool submitted;
  };
  std::deque<Walked> window{};
  size_t windowLimit = 0;
  size_t unflushed = 0;  // "added:" lines printed since standard output was flushed
};

bool Interrupted() { return platform::PendingInterrupt() != 0; }

// Standard output is flushed every kLinesPerFlush "added:" lines rather than
// after each, and before anything goes to standard error, so that the two
// keep their order where they go to one place.
constexpr size_t kLinesPerFlush = 64;

void ReportFailure(ImportRun& run, const char* format, const std::string& name) {
  std::fflush(stdout);
  std::fprintf(stderr, format, name.c_str());
  run.failed = true;
}

// Update rule: true when the disk file is strictly newer than the stored
// entry; nullopt when the disk file's time cannot be read.
std::optional<bool> IsNewerOnDisk(const ImportRun& run, int existing, const std::string& name) {
  std::optional<platform::FileTime> onDisk = run.fs.LastWriteTime(name);
  if (!onDisk) return std::nullopt;
  const GAME::Archive::FileTime& time = run.archive.GetFileEntry(existing).fileTime;
  platform::FileTime stored{time.lowDateTime, time.highDateTime};
  return platform::CompareFileTime(*onDisk, stored) > 0;
}

// Imports one file under name, as the mode says for a name already stored;
// from prepared when the packer made it ready (the decisions stay the same).
void ImportFile(ImportRun& run, const std::string& name, GAME::PackedFile* prepared = nullptr) {
  int existing = run.archive.FindFile(name.c_str());
  if (existing >= 0 && !run.claimed.insert(existing).second) {
    // Another file of this walk already has the name (A.txt beside a.txt).
    ReportFailure(run, "Skipped %s: its name is taken by a file imported before\n", name);
    return;
  }
  int index;
  const auto replace = [&] {
    return prepared != nullptr ? run.archive.ReplacePackedFile(existing, *prepared)
                               : run.archive.ReplaceFileFromDisk(existing, name.c_str(), run.level);
  };
  if (existing < 0) {
    index = prepared != nullptr ? run.archive.AddPackedFile(*prepared)
                                : run.archive.AddFileFromDisk(name.c_str(), run.level);
  } else if (run.mode == ImportReplace) {
    index = replace();
  } else if (run.mode == ImportUpdate) {
    std::optional<bool> newer = IsNewerOnDisk(run, existing, name);
    if (!newer) {
      ReportFailure(run, "Cannot read the last-write time of %s\n", name);
      PrintReason(run.fs);
      return;
    }
    if (!*newer) return;
    index = replace();
  } else {
    return;  // add mode keeps what is stored, silently
  }
  if (index < 0) {
    ReportFailure(run, "Failed to add %s\n", name);
    PrintReason(run.archive.LastError());
    return;
  }
  run.claimed.insert(index);
  if (OutputLost()) return;
  std::printf("added: %s\n", name.c_str());
  if (++run.unflushed == kLinesPerFlush) {
    std::fflush(stdout);
    run.unflushed = 0;
  }
}

// Whether ImportFile will probably store the file, judged as the walk meets
// it; the judgement at placement is the one that counts.
bool LikelyStored(const ImportRun& run, const std::string& name) {
  const int existing = run.archive.FindFile(name.c_str());
  if (existing < 0) return true;
  if (run.claimed.count(existing) != 0) return false;
  if (run.mode == ImportReplace) return true;
  return run.mode == ImportUpdate && IsNewerOnDisk(run, existing, name).value_or(false);
}

void ReportUnreadable(ImportRun& run, const Met& met) {
  ReportFailure(run, "Cannot read directory %s\n", met.path);
  PrintReason(run.fs, met.cause);
}

// Handles the oldest of the window: a file imported with what the packer
// prepared, or an unreadable directory reported.
void PlaceOldest(ImportRun& run) {
  const ImportRun::Walked walked = std::move(run.window.front());
  run.window.pop_front();
  if (walked.met.unreadable) {
    ReportUnreadable(run, walked.met);
    return;
  }
  const std::unique_ptr<GAME::PackedFile> prepared =
      walked.submitted ? run.packer->Next() : nullptr;
  ImportFile(run, walked.met.path, prepared.get());
}

// What the walk met: handled at once, or with a packer queued in the window
// (a file submitted when it will probably be stored).
void Visit(ImportRun& run, Met met) {
  if (run.packer == nullptr) {
    if (met.unreadable) {
      ReportUnreadable(run, met);
    } else {
      ImportFile(run, met.path);
    }
    return;
  }
  const bool submit = !met.unreadable && LikelyStored(run, met.path);
  if (submit) run.packer->Submit(met.path);
  run.window.push_back({std::move(met), submit});
  if (run.window.size() >= run.windowLimit) PlaceOldest(run);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A path from a root ("/x", "\\x") or a drive ("c:").
bool IsAbsolute(const char* path) {
  return path[0] == '/' || path[0] == '\\' || (path[0] != '\0' && path[1] == ':');
}

// Whether the file at path (named name) is the archive being written or
// its journal; only files whose name could be theirs are looked at closer.
bool IsArchiveOrJournal(const WalkContext& walk, const std::string& name,
                        const std::string& path) {
  if (walk.archiveName.empty()) return false;
  const bool asArchive = EqualIgnoringCase(name, walk.archiveName);
  if (!asArchive && !EqualIgnoringCase(name, walk.archiveName + "-journal")) return false;
  const std::optional<platform::FileId> id = walk.fs.Identify(path);
  if (!id) return false;
  if (asArchive) return walk.archiveId && *id == *walk.archiveId;
  return !walk.archiveJournal.empty() && id == walk.fs.Identify(walk.archiveJournal);
}

// Walks the files of directory matching pattern (every file when null),
// after its subdirectories the same way, and hands each to found(Met), with
// each directory that cannot be read (which is skipped). Directories whose
// name begins with '.' and links to directories are skipped. False once an
// interrupt or found (by returning false) stopped the walk.
template <class Found>
bool WalkDirectory(const WalkContext& walk, const std::string& directory, const char* pattern,
                   Found& found) {
  const std::optional<std::vector<platform::DirEntry>> entries =
      walk.fs.ListDirectory(directory + "/*");
  if (!entries) return found(Met{directory, true, walk.fs.LastError()});
  for (const platform::DirEntry& entry : *entries) {
    if (Interrupted()) return false;
    if (entry.isDirectory && entry.name[0] != '.' &&
        !WalkDirectory(walk, directory + "/" + entry.name, pattern, found)) {
      return false;
    }
  }
  // Without a pattern the files are those of the listing already made.
  const std::vector<platform::DirEntry> matching =
      pattern != nullptr ? walk.fs.Enumerate(directory + "/" + pattern)
                         : std::vector<platform::DirEntry>();
  for (const platform::DirEntry& entry : pattern != nullptr ? matching : *entries) {
    if (Interrupted()) return false;
    if (entry.isDirectory) continue;
    std::string path = directory + "/" + entry.name;
    if (entry.isLink && walk.fs.GetAttributes(path).isDirectory) continue;
    if (IsArchiveOrJournal(walk, entry.name, path)) continue;
    if (!found(Met{std::move(path)})) return false;
  }
  return true;
}

// Runs a walk on a thread of its own, ahead of the placing thread, and hands
// what it meets over in order, in batches (one wake-up serves many files). At
// most kQueued batches wait, so the walk runs a bounded way ahead.
class WalkAhead {
 public:
  // walk(found) walks, handing what it meets to found(Met), which returns
  // false once the walk should stop. It must outlive this object.
  template <class Walk>
  explicit WalkAhead(Walk& walk) : thread_([this, &walk] { Run(walk); }) {}
  ~WalkAhead() {
    stopping_ = true;
    {
      const std::lock_guard lock(mutex_);  // a walk waiting for room sees it
    }
    changed_.notify_all();
    thread_.join();
  }
  WalkAhead(const WalkAhead&) = delete;
  WalkAhead& operator=(const WalkAhead&) = delete;

  // The next thing the walk met; false once the walk is over. Rethrows
  // what the walk threw (std::bad_alloc).
  bool Next(Met& met) {
    if (at_ == taken_.size()) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return !batches_.empty() || finished_; });
      if (batches_.empty()) {
        if (error_) std::rethrow_exception(error_);
        return false;
      }
      const bool wasFull = batches_.size() == kQueued;
      taken_ = std::move(batches_.front());
      batches_.pop_front();
      at_ = 0;
      lock.unlock();
      if (wasFull) changed_.notify_all();
    }
    met = std::move(taken_[at_++]);
    return true;
  }

 private:
  static constexpr size_t kBatch = 64;
  static constexpr size_t kQueued = 8;

  template <class Walk>
  void Run(Walk& walk) {
    try {
      const auto found = [this](Met&& met) {
        filling_.push_back(std::move(met));
        return !stopping_ && (filling_.size() < kBatch || Hand());
      };
      walk(found);
      if (!filling_.empty()) Hand();
    } catch (...) {
      const std::lock_guard lock(mutex_);
      error_ = std::current_exception();
    }
    {
      const std::lock_guard lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
  }

  // Hands the batch filled over, once there is room; false when stopping.
  bool Hand() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || batches_.size() < kQueued; });
    if (stopping_) return false;
    batches_.push_back(std::move(filling_));
    filling_.clear();
    const bool wasEmpty = batches_.size() == 1;
    lock.unlock();
    if (wasEmpty) changed_.notify_all();
    return true;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<Met>> batches_;
  bool finished_ = false;
  std::exception_ptr error_;
  std::atomic<bool> stopping_ = false;
  std::vector<Met> filling_;  // the walk's
  std::vector<Met> taken_;    // the placing thread's
  size_t at_ = 0;
  std::thread thread_;  // last: it starts once the rest is made
};

// Runs walk(found), which hands what it meets to found(Met). With several
// workers and compression, the walk runs ahead on a thread of its own and
// files are opened, read and compressed ahead of their placement; placement
// and the reports keep the walk's order, and after an interrupt nothing more
// is placed. Stored files (level 0) are copied as they come.
template <class Walk>
void Import(ImportRun& run, unsigned workers, Walk&& walk) {
  if (workers <= 1 || run.level == 0) {
    auto found = [&run](Met&& met) {
      Visit(run, std::move(met));
      return true;
    };
    walk(found);
    return;
  }
  GAME::Packer packer(run.fs, run.level, workers);
  run.packer = &packer;
  run.windowLimit = 16 * size_t(workers) + 16;
  {
    WalkAhead ahead(walk);
    for (Met met; !Interrupted() && ahead.Next(met);) Visit(run, std::move(met));
  }
  while (!run.window.empty() && !Interrupted()) PlaceOldest(run);
  run.window.clear();
  run.packer = nullptr;
}

// The last separator of path ('/' or '\\'), or null.
const char* LastSeparator(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* backslash = std::strrchr(path, '\\');
  if (slash == nullptr) return backslash;
  if (backslash == nullptr) return slash;
  return slash > backslash ? slash : backslash;
}

}  // namespace

bool ImportPath(const platform::FileSystem& fs, GAME::Archive& archive, const char* path,
                const char* base, int level, int mode, unsigned workers,
                const char* archivePath) {
  if (path == nullptr || base == nullptr) return false;
  // Known before the base directory becomes current: how to tell the
  // archive and its journal when the walk meets them.
  std::string archiveName, archiveJournal;
  std::optional<platform::FileId> archiveId;
  if (archivePath != nullptr && archivePath[0] != '\0') {
    const char* separator = LastSeparator(archivePath);
    archiveName = separator != nullptr ? separator + 1 : archivePath;
    archiveId = fs.Identify(archivePath);
    archiveJournal = std::string(archivePath) + "-journal";
    if (!IsAbsolute(archivePath)) {
      const std::optional<std::string> current = fs.CurrentDirectory();
      archiveJournal = current ? *current + "/" + archiveJournal : std::string();
    }
  }
  CurrentDirectoryGuard guard(fs);
  if (!guard.Enter(base)) {
    std::fprintf(stderr, "Cannot enter base directory %s\n", base);
    return false;
  }
  const WalkContext walk{fs, archiveName, archiveId, archiveJournal};
  ImportRun run{fs, archive, level, mode};
  platform::Attributes attributes = fs.GetAttributes(path);
  if (attributes.isDirectory) {
    Import(run, workers, [&](auto& found) { WalkDirectory(walk, path, nullptr, found); });
  } else if (attributes.exists) {
    Import(run, workers, [&](auto& found) { found(Met{path}); });
  } else {
    // Not a file or directory: a directory followed by a file-name pattern.
    const char* separator = LastSeparator(path);
    if (separator == nullptr || separator[1] == '\0') {
      std::fprintf(stderr, "Invalid path %s\n", path);
      return true;
    }
    Import(run, workers, [&](auto& found) {
      WalkDirectory(walk, std::string(path, separator), separator + 1, found);
    });
  }
  std::fflush(stdout);
  return !run.failed;
}

}  // namespace tool
