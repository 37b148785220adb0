// "-verify": checks every stored file of an archive without extracting it.
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

// Checks every active entry, printing "damaged: NAME (REASON)" on standard
// error for each one that fails, then "N files checked, M damaged" on
// standard output, as one loop in index order would, while up to workers
// entries are checked at once. Stops between files on an interrupt. True
// when nothing was damaged.
bool VerifyArchive(const GAME::Archive& archive, unsigned workers);

}  // namespace tool
