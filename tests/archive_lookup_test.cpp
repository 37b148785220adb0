// Finding entries by name and the index statistics.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "archive/Archive.h"
#include "archive/Names.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

using GAME::Archive;
using testing_support::RawArchiveBuilder;

class ArchiveLookup : public ::testing::Test {
 protected:
  void OpenBuilt(const RawArchiveBuilder& builder) {
    testing_support::WriteWholeFile(path, builder.Build().Bytes());
    ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  }

  testing_support::ScratchDir dir;
  std::string path = dir / "test.arc";
  Archive archive;
};

TEST_F(ArchiveLookup, FindsAnEntryByAnySpellingOfItsName) {
  OpenBuilt(RawArchiveBuilder().Stored("other", "o").Stored("data/a.txt", "a").Removed(3));
  for (const char* spelling : {"Data\\A.TXT", "data/a.txt", "./data/a.txt", "/DATA/a.txt"}) {
    EXPECT_EQ(archive.FindFile(spelling), 1) << spelling;
  }
  for (const char* miss : {"../data/a.txt", "data/a.tx", "data//a.txt", ".", ""}) {
    EXPECT_EQ(archive.FindFile(miss), -1) << miss;
  }
  EXPECT_EQ(archive.FindFile(nullptr), -1);
}

// The hash samples six byte positions; names that differ only elsewhere all
// share one bucket, and a chain of any length must be walked to its end.
TEST_F(ArchiveLookup, FindsEveryEntryOfAChainLongerThanAThousand) {
  auto name = [](int i) { return "x" + std::to_string(10000 + i) + "yyyyyyyyyyyyyyyy.tex"; };
  RawArchiveBuilder builder;
  for (int i = 0; i < 1500; ++i) builder.Stored(name(i), "");
  OpenBuilt(builder);
  Archive::Stats stats;
  archive.CalcStats(stats);
  EXPECT_EQ(stats.maxTableDepth, 1500u);
  EXPECT_EQ(stats.tableSize, 419u);  // chosen for the entry count at open
  for (int i = 0; i < 1500; i += 7) EXPECT_EQ(archive.FindFile(name(i).c_str()), i) << i;
}

TEST_F(ArchiveLookup, StatsCountEntriesIndexBytesAndChains) {
  std::string second = "ab";  // a name in the bucket of "a" under 31 buckets
  while (second[1] < 'z' &&
         GAME::names::HashValue(second.data(), 2) % 31 != GAME::names::HashValue("a", 1) % 31) {
    ++second[1];
  }
  const struct {
    RawArchiveBuilder archive;
    uint32_t entries, active, longest, indexSize, maxDepth;
    float averageDepth;
  } cases[] = {
      {RawArchiveBuilder().Stored("a", "content").Removed(10), 2, 1, 1, 99, 1, 1.0f},
      {RawArchiveBuilder().Stored("a", "1").Stored(second, "2").Compressed("x/y", "zz"), 3, 3, 3,
       (1 + 49) + (2 + 49) + (3 + 12 + 49), 2, 1.5f},
      {RawArchiveBuilder().Removed(10), 1, 0, 0, 49, 0, 0.0f},  // no occupied bucket
  };
  for (const auto& c : cases) {
    Archive fresh;
    testing_support::WriteWholeFile(path, c.archive.Build().Bytes());
    ASSERT_TRUE(fresh.Open(path.c_str(), Archive::ModeRead));
    Archive::Stats s;
    fresh.CalcStats(s);
    EXPECT_EQ(
        std::tuple(s.fileEntries, s.activeFiles, s.longestFilename, s.indexSize, s.tableSize,
                   s.maxTableDepth, s.averageDepth),
        std::tuple(c.entries, c.active, c.longest, c.indexSize, 31u, c.maxDepth, c.averageDepth));
  }
}

}  // namespace
