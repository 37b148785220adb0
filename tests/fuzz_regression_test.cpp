// Replays the inputs kept in tests/fuzz_inputs/<target>/ (those on which a
// fuzz target once failed, and hostile names worth keeping) through the same
// checks the targets run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/ArchiveChecks.h"
#include "support/RawArchive.h"

namespace {

TEST(FuzzRegression, InputsThatOnceFailed) {
  using Check = std::string (*)(const uint8_t*, size_t);
  const std::pair<std::string, Check> targets[] = {{"archive", fuzzing::CheckArchiveBytes},
                                                   {"names", fuzzing::CheckName},
                                                   {"journal", fuzzing::CheckJournalBytes}};
  for (const auto& [target, check] : targets) {
    const std::filesystem::path dir = std::filesystem::path(KORVAT_SOURCE_DIR) / "tests" /
                                      "fuzz_inputs" / target;
    size_t replayed = 0;
    for (const auto& input : std::filesystem::directory_iterator(dir)) {
      const std::vector<unsigned char> bytes = testing_support::ReadWholeFile(input.path().string());
      EXPECT_EQ(check(bytes.data(), bytes.size()), "") << input.path();
      ++replayed;
    }
    EXPECT_GT(replayed, 0u) << target;
  }
}

}  // namespace
