// Finding entries by name and the index statistics.
#include <gtest/gtest.h>

#include <string>

#include "archive/Archive.h"
#include "archive/Names.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

using GAME::Archive;
using GAME::names::HashValue;
using testing_support::RawArchiveBuilder;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

class ArchiveLookup : public ::testing::Test {
 protected:
  void OpenBuilt(const RawArchiveBuilder& builder, Archive::FileMode mode = Archive::ModeRead) {
    WriteWholeFile(path, builder.Build().Bytes());
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
  }
  Archive::Stats Stats() {
    Archive::Stats stats;
    archive.CalcStats(stats);
    return stats;
  }

  ScratchDir dir;
  std::string path = dir / "test.arc";
  Archive archive;
};

TEST_F(ArchiveLookup, FindsAnEntryByAnySpellingOfItsName) {
  OpenBuilt(RawArchiveBuilder().Stored("other", "o").Stored("data/a.txt", "a").Removed(3));
  for (const char* spelling : {"Data\\A.TXT", "data/a.txt", "./data/a.txt", "/DATA/a.txt"}) {
    EXPECT_EQ(archive.FindFile(spelling), 1) << spelling;
  }
  for (const char* miss : {"../data/a.txt", "data/a.tx", "data//a.txt", ".", "/", ""}) {
    EXPECT_EQ(archive.FindFile(miss), -1) << miss;
  }
  EXPECT_EQ(archive.FindFile(nullptr), -1);
}

TEST_F(ArchiveLookup, FindsEveryEntryOfAChainLongerThanAThousand) {
  // The hash samples six byte positions; names that differ only elsewhere
  // all share one bucket.
  RawArchiveBuilder builder;
  char name[40];
  for (int i = 0; i < 1500; ++i) {
    std::snprintf(name, sizeof name, "x%05dyyyyyyyyyyyyyyyy.tex", i);
    builder.Stored(name, "");
  }
  OpenBuilt(builder);
  EXPECT_EQ(Stats().maxTableDepth, 1500u);
  for (int i = 0; i < 1500; i += 7) {
    std::snprintf(name, sizeof name, "x%05dyyyyyyyyyyyyyyyy.tex", i);
    EXPECT_EQ(archive.FindFile(name), i) << name;
  }
}

TEST_F(ArchiveLookup, BucketCountFollowsTheEntryCountAtOpen) {
  for (auto [count, buckets] : {std::pair{127, 31u}, std::pair{128, 73u}}) {
    RawArchiveBuilder builder;
    for (int i = 0; i < count; ++i) builder.Stored("f" + std::to_string(i), "");
    Archive fresh;
    WriteWholeFile(path, builder.Build().Bytes());
    ASSERT_TRUE(fresh.Open(path.c_str(), Archive::ModeRead));
    Archive::Stats stats;
    fresh.CalcStats(stats);
    EXPECT_EQ(stats.tableSize, buckets) << count;
  }
}

TEST_F(ArchiveLookup, StatsOfOneFileAndOneRemovedEntry) {
  OpenBuilt(RawArchiveBuilder().Stored("a", "content").Removed(10));
  const Archive::Stats s = Stats();
  EXPECT_EQ(s.fileEntries, 2u);
  EXPECT_EQ(s.activeFiles, 1u);
  EXPECT_EQ(s.longestFilename, 1u);
  EXPECT_EQ(s.indexSize, 99u);
  EXPECT_EQ(s.tableSize, 31u);
  EXPECT_EQ(s.maxTableDepth, 1u);
  EXPECT_FLOAT_EQ(s.averageDepth, 1.0f);
}

TEST_F(ArchiveLookup, StatsOfTwoNamesInOneBucketAndOfNoFiles) {
  // Find a second name in the bucket of "a" under 31 buckets.
  std::string second;
  const uint32_t bucketOfA = HashValue("a", 1) % 31;
  for (char c = 'b'; second.empty() && c <= 'z'; ++c) {
    const std::string candidate = std::string("a") + c;
    if (HashValue(candidate.data(), 2) % 31 == bucketOfA) second = candidate;
  }
  OpenBuilt(RawArchiveBuilder().Stored("a", "1").Stored(second, "2").Compressed("x/y", "zz"));
  Archive::Stats s = Stats();
  EXPECT_EQ(s.maxTableDepth, 2u);
  EXPECT_FLOAT_EQ(s.averageDepth, 1.5f);
  EXPECT_EQ(s.indexSize, (1 + 49) + (2 + 49) + (3 + 12 + 49));

  Archive empty;
  WriteWholeFile(dir / "empty.arc", {});
  ASSERT_TRUE(empty.Open((dir / "empty.arc").c_str(), Archive::ModeRead));
  Archive::Stats none;
  empty.CalcStats(none);
  EXPECT_EQ(none.fileEntries, 0u);
  EXPECT_EQ(none.maxTableDepth, 0u);
  EXPECT_EQ(none.averageDepth, 0.0f);
}

}  // namespace
