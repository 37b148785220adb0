// The read-only views of one archive: "-list" and "-stats".
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

// Prints the name of every active entry, in index order.
void ListFiles(const GAME::Archive& archive);
// Prints the eight lines of index statistics.
void PrintStats(const GAME::Archive& archive);

}  // namespace tool
