// "-totalStats": a text report over many archives, by file type and by
// archive.
#pragma once

namespace platform {
class FileSystem;
}

namespace tool {

// Writes the report to reportPath for the archives matched by the patterns.
// False only when writing the report failed (reported on standard error); a
// report that cannot be created, or a pattern without '*', is no failure.
bool TotalStats(const platform::FileSystem& fs, const char* reportPath, int patternCount,
                char** patterns);

}  // namespace tool
