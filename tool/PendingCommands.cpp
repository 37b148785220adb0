// TEMPORARY stand-ins for the commands built on other branches (directory
// import, missing-file removal, the multi-archive report), so the tool links
// before they are merged. Delete this file when the real ones arrive.
#include "tool/Import.h"
#include "tool/MissingFiles.h"
#include "tool/Report.h"

namespace tool {

bool ImportPath(const platform::FileSystem&, GAME::Archive&, const char*, const char*, int, int) {
  return true;
}

bool RemoveMissingFiles(const platform::FileSystem&, GAME::Archive&, const char*) { return true; }

void TotalStats(const platform::FileSystem&, const char*, int, char**) {}

}  // namespace tool
