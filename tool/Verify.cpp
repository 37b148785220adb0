// "-verify": each active entry is read whole and checked by the archive,
// several at once; damaged files are named on standard error in index
// order, the count on standard output.
#include "tool/Verify.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "archive/Archive.h"
#include "platform/Process.h"
#include "tool/InOrder.h"

namespace tool {

namespace {

constexpr uint32_t kActive = 1;  // FileEntry::flags bit 0
// How far the workers may run ahead of the reports, per worker.
constexpr unsigned kAheadPerWorker = 16;

}  // namespace

bool VerifyArchive(const GAME::Archive& archive, unsigned workers) {
  unsigned int checked = 0;
  unsigned int damaged = 0;
  const unsigned int count = archive.GetNumFiles();
  const auto active = [&](unsigned int i) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    return (entry.flags & kActive) != 0 && entry.name != nullptr;
  };
  // Whether entry i is damaged, and why.
  using Finding = std::pair<bool, std::string>;
  const auto check = [&](unsigned int i) {
    Finding finding{false, {}};
    finding.first = active(i) && !archive.VerifyFile(static_cast<int>(i), &finding.second);
    return finding;
  };
  const auto report = [&](unsigned int i, Finding& finding) {
    if (!active(i)) return;
    ++checked;
    if (!finding.first) return;
    ++damaged;
    std::fprintf(stderr, "damaged: %s (%s)\n", archive.GetFileEntry(static_cast<int>(i)).name,
                 finding.second.c_str());
  };
  if (workers <= 1 || count <= 1) {
    for (unsigned int i = 0; i < count && platform::PendingInterrupt() == 0; ++i) {
      Finding finding = check(i);
      report(i, finding);
    }
  } else {
    RunInOrder<Finding>(
        count, workers, workers * kAheadPerWorker,
        [] { return platform::PendingInterrupt() != 0; }, check, report);
  }
  std::printf("%u files checked, %u damaged\n", checked, damaged);
  return damaged == 0;
}

}  // namespace tool
