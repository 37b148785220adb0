// "-removeMissing": removes every stored file whose name no longer exists
// under a directory, then compacts the archive when more than a quarter of
// its entries are inactive. A file is removed only when its absence is
// certain: the name, or a directory on its way, does not exist. When it
// cannot be looked at (no permission, an I/O error) it is kept and reported.
#include "tool/MissingFiles.h"

#include <cstdio>
#include <string>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "tool/CommandLine.h"
#include "tool/Reason.h"

namespace tool {
namespace {

// Compaction pays off once removed entries make up more than this share.
constexpr double kCompactThreshold = 0.25;

bool NeedsCompaction(const GAME::Archive& archive) {
  GAME::Archive::Stats stats;
  archive.CalcStats(stats);
  if (stats.fileEntries == 0) return false;
  double inactive = double(stats.fileEntries - stats.activeFiles) / double(stats.fileEntries);
  return inactive > kCompactThreshold;
}

}  // namespace

bool RemoveMissingFiles(const platform::FileSystem& fs, GAME::Archive& archive,
                        const char* directory) {
  if (directory == nullptr) return false;
  platform::Attributes attributes = fs.GetAttributes(directory);
  if (!attributes.isDirectory) {
    // A mistyped directory would otherwise empty the whole archive.
    if (attributes.exists) {
      std::fprintf(stderr, "%s is not a directory\n", directory);
    } else {
      std::fprintf(stderr, "Cannot find directory %s\n", directory);
    }
    return false;
  }
  // Removal only marks entries inactive, so the indices stay valid.
  bool ok = true;
  unsigned int count = archive.GetNumFiles();
  for (unsigned int i = 0; i < count; ++i) {
    if (platform::PendingInterrupt() != 0) return ok;
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(int(i));
    if ((entry.flags & GAME::format::kFlagActive) == 0) continue;
    std::string path = std::string(directory) + "/" + entry.name;
    if (fs.GetAttributes(path).exists) continue;
    if (fs.LastError().failure != platform::Failure::NotFound) {
      std::fprintf(stderr, "Cannot tell whether %s exists; kept in the archive\n", path.c_str());
      PrintReason(fs);
      ok = false;
      continue;
    }
    if (!OutputLost()) std::printf("removing file: %s\n", path.c_str());
    archive.RemoveFile(int(i));
  }
  if (NeedsCompaction(archive) && !archive.Compact()) {
    std::fprintf(stderr, "Failed to compact the archive\n");
    PrintReason(archive.LastError());
    return false;
  }
  return ok;
}

}  // namespace tool
