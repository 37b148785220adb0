// "-totalStats": a text report over many archives, by file type and by
// archive.
#pragma once

namespace platform {
class FileSystem;
}

namespace tool {

// Writes the report to reportPath for the archives matched by the patterns.
// A match that cannot be opened as an archive (locked, damaged, not an
// archive, out of memory) is named on standard error and left out. False
// when writing the report failed, when the report file is held locked by
// another process (it is then left as it is), or when a match was left out
// (all reported on standard error); a report that cannot be created, or a
// pattern without '*', is no failure.
bool TotalStats(const platform::FileSystem& fs, const char* reportPath, int patternCount,
                char** patterns);

}  // namespace tool
