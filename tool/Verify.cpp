// "-verify": each active entry is read whole and checked by the archive;
// damaged files are named on standard error, the count on standard output.
#include "tool/Verify.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "archive/Archive.h"
#include "platform/Process.h"

namespace tool {

namespace {

constexpr uint32_t kActive = 1;  // FileEntry::flags bit 0

}  // namespace

bool VerifyArchive(const GAME::Archive& archive) {
  unsigned int checked = 0;
  unsigned int damaged = 0;
  const unsigned int count = archive.GetNumFiles();
  for (unsigned int i = 0; i < count && platform::PendingInterrupt() == 0; ++i) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    if ((entry.flags & kActive) == 0 || entry.name == nullptr) continue;
    ++checked;
    std::string reason;
    if (!archive.VerifyFile(static_cast<int>(i), &reason)) {
      ++damaged;
      std::fprintf(stderr, "damaged: %s (%s)\n", entry.name, reason.c_str());
    }
  }
  std::printf("%u files checked, %u damaged\n", checked, damaged);
  return damaged == 0;
}

}  // namespace tool
