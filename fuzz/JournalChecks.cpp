// The journal fuzz check: arbitrary bytes lying at an archive's journal path,
// beside a committed archive and beside one marked as changed, opened for
// reading and for writing over an in-memory file system.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "fuzz/ArchiveChecks.h"
#include "fuzz/MemoryFileSystem.h"

namespace fuzzing {

namespace {

using GAME::Archive;
using Bytes = std::vector<unsigned char>;

constexpr char kArchivePath[] = "/j.arc";
constexpr char kJournalPath[] = "/j.arc-journal";
// Where a journal keeps its token.
constexpr size_t kTokenAt = 16;

bool Add(Archive& archive, const char* name, std::string content, int level) {
  return archive.AddFileFromMemory(name, reinterpret_cast<unsigned char*>(content.data()),
                                   static_cast<unsigned>(content.size()), level) >= 0;
}

bool AddBase(Archive& archive) {
  return Add(archive, "a.txt", "alpha", 0) && Add(archive, "b/c.txt", std::string(3000, 'c'), 9) &&
         Add(archive, "d.bin", std::string(70, 'd'), 0);
}

}  // namespace

Bytes JournalBaseArchive() {
  MemoryFileSystem fs;
  {
    Archive archive(fs);
    if (!archive.Open(kArchivePath, Archive::ModeWrite) || !AddBase(archive) ||
        !archive.Close(false)) {
      return {};
    }
  }
  return *fs.FileBytes(kArchivePath);
}

Bytes CrashedJournal() {
  MemoryFileSystem fs;
  fs.SetFile(kArchivePath, JournalBaseArchive());
  Archive archive(fs);
  if (!archive.Open(kArchivePath, Archive::ModeWrite) || !archive.RemoveFile(0) ||
      !Add(archive, "e.txt", std::string(5000, 'e'), 0)) {
    return {};
  }
  const Bytes* journal = fs.FileBytes(kJournalPath);
  return journal != nullptr ? *journal : Bytes();
}

std::string CheckJournalBytes(const uint8_t* data, size_t size) {
  const Bytes base = JournalBaseArchive();
  if (base.empty()) return "the base archive could not be built";
  const Bytes journal(data, data + size);
  for (bool marked : {false, true}) {
    // Marked: the archive says a change is in progress under the journal's
    // own token, so the journal is taken as its own and checked whole.
    Bytes archiveBytes = base;
    if (marked) {
      namespace format = GAME::format;
      std::memcpy(archiveBytes.data() + format::kHeaderChangeTag, format::kChangeBusy,
                  sizeof format::kChangeBusy);
      for (size_t i = 0; i < format::kChangeMarkEnd - format::kHeaderChangeToken; ++i) {
        archiveBytes[format::kHeaderChangeToken + i] =
            kTokenAt + i < size ? data[kTokenAt + i] : 0;
      }
    }
    for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
      MemoryFileSystem fs;
      fs.SetFile(kArchivePath, archiveBytes);
      fs.SetFile(kJournalPath, journal);
      {
        Archive archive(fs);
        if (archive.Open(kArchivePath, mode)) {
          for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
            if ((archive.GetFileEntry(static_cast<int>(i)).flags & 1) != 0) {
              static_cast<void>(archive.VerifyFile(static_cast<int>(i), nullptr));
            }
          }
          archive.Close(false);
        }
      }
      const Bytes* after = fs.FileBytes(kArchivePath);
      const Bytes* journalAfter = fs.FileBytes(kJournalPath);
      if (after == nullptr) return "the archive is gone";
      if (journalAfter != nullptr && *journalAfter != journal) return "the journal was written";
      if (mode == Archive::ModeRead && *after != archiveBytes) return "a reader wrote the archive";
      if (*after == archiveBytes) continue;
      // Changed: only a writer rolling back its own marked change may do so,
      // and only the journal's bounds; a committed archive stays as it was.
      if (!marked) return "a journal was applied to a committed archive";
      if (journalAfter != nullptr) return "a rollback kept the journal";
      if (after->size() > (uint64_t(2) << 32)) return "a rollback passed the bounds";
    }
  }
  return "";
}

}  // namespace fuzzing
