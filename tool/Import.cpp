// Directory import: the "-add", "-replace" and "-update" commands. The base
// directory is current while the import runs; every file is stored under the
// path text as typed, extended by "/" and each name found on the walk.
#include "tool/Import.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

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

// What one ImportPath call works with and has done so far.
struct ImportRun {
  const platform::FileSystem& fs;
  GAME::Archive& archive;
  int level;
  int mode;
  // Entries a file of this run was matched to: added, replaced or kept. A
  // later file that meets one of them has a name that normalises alike.
  std::unordered_set<int> claimed;
  bool failed = false;  // a file was reported on standard error
  // With several workers: the files walked but not placed yet, oldest
  // first, each marked when it was submitted to the packer.
  GAME::Packer* packer = nullptr;
  struct Walked {
    std::string path;
    bool submitted;
  };
  std::deque<Walked> window;
  size_t windowLimit = 0;
  // The archive being written: the walk skips it and its journal (matched
  // by name first, then by identity).
  std::string archiveName;           // its last path component
  std::optional<platform::FileId> archiveId;
  std::string archiveJournal;        // absolute path of its journal
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

// Imports the oldest file of the window, with what the packer prepared.
void PlaceOldest(ImportRun& run) {
  const ImportRun::Walked walked = std::move(run.window.front());
  run.window.pop_front();
  const std::unique_ptr<GAME::PackedFile> prepared =
      walked.submitted ? run.packer->Next() : nullptr;
  ImportFile(run, walked.path, prepared.get());
}

// A file met on the walk: imported at once, or with a packer queued in the
// window and submitted when it will probably be stored.
void VisitFile(ImportRun& run, std::string path) {
  if (run.packer == nullptr) {
    ImportFile(run, path);
    return;
  }
  const bool submit = LikelyStored(run, path);
  if (submit) run.packer->Submit(path);
  run.window.push_back({std::move(path), submit});
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
bool IsArchiveOrJournal(const ImportRun& run, const std::string& name, const std::string& path) {
  if (run.archiveName.empty()) return false;
  const bool asArchive = EqualIgnoringCase(name, run.archiveName);
  if (!asArchive && !EqualIgnoringCase(name, run.archiveName + "-journal")) return false;
  const std::optional<platform::FileId> id = run.fs.Identify(path);
  if (!id) return false;
  if (asArchive) return run.archiveId && *id == *run.archiveId;
  return !run.archiveJournal.empty() && id == run.fs.Identify(run.archiveJournal);
}

// Imports the files of directory matching pattern (every file when null),
// after walking its subdirectories the same way. Directories whose name
// begins with '.' and links to directories are skipped.
// A directory that cannot be read is reported and skipped.
void ImportDirectory(ImportRun& run, const std::string& directory, const char* pattern) {
  const std::optional<std::vector<platform::DirEntry>> entries =
      run.fs.ListDirectory(directory + "/*");
  if (!entries) {
    ReportFailure(run, "Cannot read directory %s\n", directory);
    PrintReason(run.fs);
    return;
  }
  for (const platform::DirEntry& entry : *entries) {
    if (Interrupted()) return;
    if (entry.isDirectory && entry.name[0] != '.') {
      ImportDirectory(run, directory + "/" + entry.name, pattern);
    }
  }
  // Without a pattern the files are those of the listing already made.
  const std::vector<platform::DirEntry> matching =
      pattern != nullptr ? run.fs.Enumerate(directory + "/" + pattern)
                         : std::vector<platform::DirEntry>();
  for (const platform::DirEntry& entry : pattern != nullptr ? matching : *entries) {
    if (Interrupted()) return;
    if (entry.isDirectory) continue;
    std::string path = directory + "/" + entry.name;
    if (entry.isLink && run.fs.GetAttributes(path).isDirectory) continue;
    if (IsArchiveOrJournal(run, entry.name, path)) continue;
    VisitFile(run, std::move(path));
  }
}

// Runs walk, which meets files through VisitFile. With several workers and
// compression, files are read and compressed ahead of their placement while
// the walk goes on; placement keeps the walk's order, and after an interrupt
// nothing more is placed. Stored files (level 0) are copied as they come.
template <class Walk>
void Import(ImportRun& run, unsigned workers, Walk&& walk) {
  if (workers <= 1 || run.level == 0) {
    walk();
    return;
  }
  GAME::Packer packer(run.fs, run.level, workers);
  run.packer = &packer;
  run.windowLimit = 16 * size_t(workers) + 16;
  walk();
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
  ImportRun run{fs, archive, level, mode, {}, false, nullptr, {}, 0,
                archiveName, archiveId, archiveJournal};
  platform::Attributes attributes = fs.GetAttributes(path);
  if (attributes.isDirectory) {
    Import(run, workers, [&] { ImportDirectory(run, path, nullptr); });
  } else if (attributes.exists) {
    Import(run, workers, [&] { VisitFile(run, path); });
  } else {
    // Not a file or directory: a directory followed by a file-name pattern.
    const char* separator = LastSeparator(path);
    if (separator == nullptr || separator[1] == '\0') {
      std::fprintf(stderr, "Invalid path %s\n", path);
      return true;
    }
    Import(run, workers,
           [&] { ImportDirectory(run, std::string(path, separator), separator + 1); });
  }
  std::fflush(stdout);
  return !run.failed;
}

}  // namespace tool
