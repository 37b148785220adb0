// Removal of the stored files missing from a directory ("-removeMissing").
#include <gtest/gtest.h>

#include <filesystem>

#include "support/ToolRunner.h"

namespace {

using namespace testing_support;
using MissingFiles = ToolTest;

// Stored names find the disk files in any case. Compaction when more than a
// quarter of the entries are inactive, removed now or before. A directory that
// is not there (a typo) or a compaction that cannot write loses nothing.
TEST_F(MissingFiles, RemovesWhatIsNotOnDiskAndCompactsAboveAQuarterInactive) {
  RawArchiveBuilder builder;
  builder.Removed(16).Removed(16).Removed(16);
  for (char i = '0'; i < '8'; ++i) {
    builder.Stored(std::string("textures/f") + i, "x");
    Put(std::string("data/Textures/F") + i, "");
  }
  Put("test.arc", builder.Build());  // 3 of 11 inactive
  Expect({"test.arc", "-removeMissing", "nowhere"}, 1, "", "Cannot find directory nowhere\n");
  Expect({"test.arc", "-removeMissing", "test.arc"}, 1, "", "test.arc is not a directory\n");
  Expect({"test.arc", "-removeMissing", "data"}, 1, "",
         "Failed to compact the archive\nFailed to write the index of archive file test.arc.\n",
         {.fileSizeLimit = 2048});
  // Deleted before each run: 1, then 2 of 8 inactive are kept, 4 of 8 are not.
  const std::pair<std::string, size_t> steps[] = {{"", 8}, {"0", 8}, {"1", 8}, {"24", 4}};
  for (const auto& [deleted, entriesAfter] : steps) {
    std::string out;
    for (const char i : deleted) {
      std::filesystem::remove(dir / (std::string("data/Textures/F") + i));
      out += std::string("removing file: data/textures/f") + i + "\n";
    }
    Expect({"test.arc", "-removeMissing", "data"}, 0, out);
    RawArchive after;
    ASSERT_TRUE(RawArchive::Parse(ReadWholeFile(dir / "test.arc"), after));
    EXPECT_EQ(after.entries.size(), entriesAfter) << deleted;
  }
  Expect({"test.arc", "-list"}, 0, "textures/f3\ntextures/f5\ntextures/f6\ntextures/f7\n");
}

}  // namespace
