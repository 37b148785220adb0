// "-removeMissing": removes every stored file that no longer exists under a
// directory, then compacts when more than a quarter of the entries are
// inactive.
#pragma once

namespace GAME {
class Archive;
}
namespace platform {
class FileSystem;
}

namespace tool {

// False when the directory is missing or not a directory (nothing removed),
// or when the compaction failed.
bool RemoveMissingFiles(const platform::FileSystem& fs, GAME::Archive& archive,
                        const char* directory);

}  // namespace tool
