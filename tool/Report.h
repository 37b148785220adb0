// "-totalStats": a text report over many archives, by file type and by
// archive.
#pragma once

namespace platform {
class FileSystem;
}

namespace tool {

// Writes the report to reportPath for the archives matched by the patterns.
void TotalStats(const platform::FileSystem& fs, const char* reportPath, int patternCount,
                char** patterns);

}  // namespace tool
