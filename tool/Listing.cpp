// "-list" and "-stats": the names of the active entries, and the statistics
// of the index.
#include "tool/Listing.h"

#include <cstdint>
#include <cstdio>

#include "archive/Archive.h"
#include "tool/CommandLine.h"

namespace tool {

namespace {

constexpr uint32_t kActive = 1;  // FileEntry::flags bit 0

}  // namespace

void ListFiles(const GAME::Archive& archive) {
  const unsigned int count = archive.GetNumFiles();
  for (unsigned int i = 0; i < count && !OutputLost(); ++i) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    if ((entry.flags & kActive) != 0 && entry.name != nullptr) std::printf("%s\n", entry.name);
  }
}

void PrintStats(const GAME::Archive& archive) {
  GAME::Archive::Stats stats;
  archive.CalcStats(stats);
  std::printf("Archive statistics:\n");
  std::printf("    %u file entries\n", stats.fileEntries);
  std::printf("    %u active files\n", stats.activeFiles);
  std::printf("    index size: %u bytes\n", stats.indexSize);
  std::printf("    longest filename: %u\n", stats.longestFilename);
  std::printf("    table size: %u\n", stats.tableSize);
  std::printf("    maximum table depth: %u\n", stats.maxTableDepth);
  std::printf("    average depth %.2f\n", static_cast<double>(stats.averageDepth));
}

}  // namespace tool
