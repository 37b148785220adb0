// The single-archive commands that change an archive or write files out of
// it: "-remove", "-extract" and "-compact".
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

// Removes the named file when it is stored; silent either way.
void RemoveNamedFile(GAME::Archive& archive, const char* name);
// Extracts one file under destination, a large one on up to workers
// threads. False when it was stored but could not be extracted (reported on
// standard error).
bool ExtractNamedFile(const GAME::Archive& archive, const char* destination, const char* name,
                      unsigned workers);
// Extracts every file under destination with a progress line per entry, in
// index order, stopping between files on an interrupt; up to workers entries
// at once. False when any file failed.
bool ExtractEverything(const GAME::Archive& archive, const char* destination, unsigned workers);
// Compacts the archive; false when it failed (the caller reports it, naming
// the archive).
bool CompactArchive(GAME::Archive& archive);

}  // namespace tool
