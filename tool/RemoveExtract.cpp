// "-remove", "-extract" and "-compact": thin layers over the archive's
// removal, extraction and compaction.
#include "tool/RemoveExtract.h"

#include <cstdint>
#include <cstdio>

#include "archive/Archive.h"
#include "platform/Process.h"

namespace tool {

namespace {

constexpr uint32_t kActive = 1;  // FileEntry::flags bit 0

// The progress line printed before each entry of a full extraction. A
// removed entry has no name; "(removed)" stands in for it.
void PrintProgress(const GAME::Archive::FileEntry& entry, unsigned int index, unsigned int count) {
  const bool active = (entry.flags & kActive) != 0 && entry.name != nullptr;
  std::printf("(%i / %i) %s\n", static_cast<int>(index + 1), static_cast<int>(count),
              active ? entry.name : "(removed)");
}

}  // namespace

void RemoveNamedFile(GAME::Archive& archive, const char* name) {
  const int index = archive.FindFile(name);
  if (index >= 0) archive.RemoveFile(index);
}

bool ExtractNamedFile(const GAME::Archive& archive, const char* destination, const char* name) {
  const int index = archive.FindFile(name);
  if (index < 0) {
    std::fprintf(stderr, "file: %s not found in archive.\n", name);
    return true;
  }
  if (archive.ExtractFileToDisk(index, destination)) return true;
  std::fprintf(stderr, "Failed to extract %s.\n", name);
  return false;
}

// The same output as ExtractAll with PrintProgress, but the loop is here so
// that an interrupt stops it between two files: every file announced by a
// progress line has been written whole.
bool ExtractEverything(const GAME::Archive& archive, const char* destination) {
  bool allExtracted = true;
  const unsigned int count = archive.GetNumFiles();
  for (unsigned int i = 0; i < count && platform::PendingInterrupt() == 0; ++i) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    PrintProgress(entry, i, count);
    if ((entry.flags & kActive) == 0) continue;
    if (!archive.ExtractFileToDisk(static_cast<int>(i), destination)) {
      std::fprintf(stderr, "Failed to extract %s.\n", entry.name);
      allExtracted = false;
    }
  }
  return allExtracted;
}

bool CompactArchive(GAME::Archive& archive) { return archive.Compact(); }

}  // namespace tool
