// "-remove", "-extract" and "-compact": thin layers over the archive's
// removal, extraction and compaction.
#include "tool/RemoveExtract.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "archive/Archive.h"
#include "platform/Process.h"
#include "tool/CommandLine.h"
#include "tool/InOrder.h"
#include "tool/Reason.h"
#include "tool/Refusals.h"

namespace tool {

namespace {

constexpr uint32_t kActive = 1;  // FileEntry::flags bit 0

// The progress line printed before each entry of a full extraction. A
// removed entry has no name; "(removed)" stands in for it.
void PrintProgress(const GAME::Archive::FileEntry& entry, unsigned int index, unsigned int count) {
  const bool active = (entry.flags & kActive) != 0 && entry.name != nullptr;
  if (OutputLost()) return;
  std::printf("(%i / %i) %s\n", static_cast<int>(index + 1), static_cast<int>(count),
              active ? entry.name : "(removed)");
}

// How far the workers of a full extraction may run ahead of the progress
// lines, per worker.
constexpr unsigned kAheadPerWorker = 16;

// The file an entry name lands on: '/' separators, no empty or "."
// components, ASCII lower case (destinations are found ignoring case).
std::string LandingPath(std::string_view name) {
  std::string path;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view component = name.substr(start, end - start);
    if (!component.empty() && component != ".") {
      if (!path.empty()) path += '/';
      for (const char c : component) path += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    start = end + 1;
  }
  return path;
}

// True when two active entries land on one file, or one lands on a directory
// that another needs: then the order of extraction decides what happens, and
// only the sequential order gives today's outcome.
bool LandingsCollide(const GAME::Archive& archive) {
  std::unordered_set<std::string> files;
  const unsigned int count = archive.GetNumFiles();
  for (unsigned int i = 0; i < count; ++i) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    if ((entry.flags & kActive) == 0 || entry.name == nullptr) continue;
    if (!files.insert(LandingPath({entry.name, entry.nameLength})).second) return true;
  }
  for (const std::string& file : files) {
    for (size_t slash = file.find('/'); slash != std::string::npos;
         slash = file.find('/', slash + 1)) {
      if (files.contains(file.substr(0, slash))) return true;
    }
  }
  return false;
}

// The failure of one extraction: the symbolic link that refused it when
// there is one, else the reason the library gave.
void ReportFailedExtraction(const GAME::Archive& archive, int index, const char* destination,
                            const char* name, const GAME::Error& error) {
  std::fprintf(stderr, "Failed to extract %s.\n", name);
  const std::string link = archive.ExtractionLink(index, destination);
  if (!link.empty()) {
    ReportLinkInDestination(link);
  } else {
    PrintReason(error);
  }
}

}  // namespace

void RemoveNamedFile(GAME::Archive& archive, const char* name) {
  const int index = archive.FindFile(name);
  if (index >= 0) archive.RemoveFile(index);
}

bool ExtractNamedFile(const GAME::Archive& archive, const char* destination, const char* name,
                      unsigned workers) {
  const int index = archive.FindFile(name);
  if (index < 0) {
    std::fprintf(stderr, "file: %s not found in archive.\n", name);
    return true;
  }
  if (archive.ExtractFileParallel(index, destination, workers)) return true;
  ReportFailedExtraction(archive, index, destination, name, archive.LastError());
  return false;
}

// The same output as ExtractAll with PrintProgress, but the loop is here so
// that an interrupt stops it between two files: every file announced by a
// progress line has been written whole. Several workers extract different
// entries at once and each entry's lines come out once it and every entry
// before it are done, so the output is the same as with one.
bool ExtractEverything(const GAME::Archive& archive, const char* destination, unsigned workers) {
  bool allExtracted = true;
  const unsigned int count = archive.GetNumFiles();
  // A large entry's parts are inflated by several threads too, so one big
  // file does not leave the other workers waiting at the end of the window.
  // An entry's failure, taken on the thread that met it: nothing when it
  // was extracted (or is removed).
  const auto extract = [&](unsigned int i) -> std::optional<GAME::Error> {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    if ((entry.flags & kActive) == 0 ||
        archive.ExtractFileParallel(static_cast<int>(i), destination, workers)) {
      return std::nullopt;
    }
    return archive.LastError();
  };
  // The lines of entry i once it is done, as the sequential loop prints them.
  const auto report = [&](unsigned int i, std::optional<GAME::Error>& failure) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    PrintProgress(entry, i, count);
    if (failure) {
      ReportFailedExtraction(archive, static_cast<int>(i), destination, entry.name, *failure);
      allExtracted = false;
    }
  };
  if (workers <= 1 || count <= 1 || LandingsCollide(archive)) {
    for (unsigned int i = 0; i < count && platform::PendingInterrupt() == 0; ++i) {
      const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
      PrintProgress(entry, i, count);
      if (const std::optional<GAME::Error> failure = extract(i)) {
        ReportFailedExtraction(archive, static_cast<int>(i), destination, entry.name, *failure);
        allExtracted = false;
      }
    }
    return allExtracted;
  }
  RunInOrder<std::optional<GAME::Error>>(
      count, workers, workers * kAheadPerWorker, [] { return platform::PendingInterrupt() != 0; },
      extract, report);
  return allExtracted;
}

bool CompactArchive(GAME::Archive& archive) { return archive.Compact(); }

}  // namespace tool
