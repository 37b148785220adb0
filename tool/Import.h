// Directory import: the "-add", "-replace" and "-update" commands.
#pragma once

namespace GAME {
class Archive;
}
namespace platform {
class FileSystem;
}

namespace tool {

enum ImportMode { ImportAdd = 1, ImportReplace = 2, ImportUpdate = 3 };

// Imports path (a file, a directory, or a directory followed by a file-name
// pattern) relative to base. Prints "added: %s\n" per file. False when the
// command met a failure that the exit code must show (a base directory that
// cannot be entered, a file that could not be read or stored). With more
// than one worker, files are read and compressed ahead on that many threads;
// the archive and the output are those of a single-threaded run. A
// subdirectory that cannot be read is reported and fails the command. The
// archive at archivePath (the one being written, as named on the command
// line) and its journal are skipped when the walk meets them.
bool ImportPath(const platform::FileSystem& fs, GAME::Archive& archive, const char* path,
                const char* base, int level, int mode, unsigned workers = 1,
                const char* archivePath = nullptr);

}  // namespace tool
