// Names and lookup: normalisation, the bucket hash and counts, finding
// entries by name, the suffix search, and the index statistics.
#include "archive/Names.h"
#include "support/WritableArchive.h"

namespace {

using namespace GAME::names;
using namespace testing_support;
using ArchiveLookup = ArchiveFileTest;

TEST(NormalizeName, FoldsCaseAndSeparatorsAndOneLeadingDotAndSlash) {
  const char* cases[][2] = {
      {"Textures\\Rock.TEX", "textures/rock.tex"}, {".\\data\\a.txt", "data/a.txt"},
      {"/data/a.txt", "data/a.txt"}, {"//data/a.txt", "/data/a.txt"},
      {"../data/a.txt", "./data/a.txt"}, {".profile", "profile"},
      {"a\\\\b", "a//b"}, {".", ""}, {".\\", ""},
      {"\xC9t\xC9.TXT", "\xC9t\xC9.txt"}};  // bytes from 0x80 up stay as they are
  for (const auto& [path, expected] : cases) {
    std::string out;
    NormalizeName(path, out);
    EXPECT_EQ(out, expected) << path;
  }
  std::string out = "kept";  // a null or empty path leaves the output alone
  NormalizeName(nullptr, out);
  NormalizeName("", out);
  EXPECT_EQ(out, "kept");
}

TEST(HashName, MatchesTheWorkedValues) {
  const std::pair<std::string, uint32_t> cases[] = {
      {"a", 6381825}, {"abc", 6512899}, {"readme.txt", 1942744106},
      {"textures/a.tex", 898550350}, {"levels/world01/map.dat", 1752869590},
      {"\xE9t\xE9.txt", 1930128535}};
  for (const auto& [name, value] : cases) {
    EXPECT_EQ(HashValue(name.data(), uint32_t(name.size())), value) << name;
  }
}

TEST(TableSize, FollowsTheEntryCountRanges) {
  // The first entry count of each range and its bucket count.
  const uint32_t ranges[][2] = {
      {0, 31},       {128, 73},     {296, 127},    {512, 283},    {1136, 419},   {1680, 739},
      {2960, 1019},  {4080, 1453},  {5816, 2063},  {8256, 3001},  {12008, 4001}, {16008, 5009},
      {20040, 6067}, {24272, 7001}, {28008, 8009}, {32040, 9011}, {36048, 10007}};
  for (size_t i = 0; i < std::size(ranges); ++i) {
    const uint32_t last = i + 1 < std::size(ranges) ? ranges[i + 1][0] - 1 : 4000000000u;
    EXPECT_EQ(TableSizeFor(ranges[i][0]), ranges[i][1]) << ranges[i][0];
    EXPECT_EQ(TableSizeFor(last), ranges[i][1]) << last;
  }
}

// The hash samples six byte positions; names that differ only elsewhere all
// share one bucket, and a chain of any length must be walked to its end, for
// any spelling of a name (the statistics of a plain index are checked with
// the tool's "-stats").
TEST_F(ArchiveLookup, FindsEveryEntryOfAChainLongerThanAThousand) {
  auto name = [](int i) { return "x" + std::to_string(10000 + i) + "yyyyyyyyyyyyyyyy.tex"; };
  RawArchiveBuilder builder;
  for (int i = 0; i < 1500; ++i) builder.Stored(name(i), "");
  OpenBuilt(builder, Archive::ModeRead);
  Archive::Stats stats;
  archive.CalcStats(stats);
  EXPECT_EQ(stats.maxTableDepth, 1500u);
  EXPECT_EQ(stats.averageDepth, 1500.0f);
  EXPECT_EQ(stats.tableSize, 419u);  // chosen for the entry count at open
  for (int i = 0; i < 1500; i += 7) {
    EXPECT_EQ(archive.FindFile((".\\X" + name(i).substr(1)).c_str()), i) << i;
  }
  for (const char* miss : {"../x10000yyyyyyyyyyyyyyyy.tex", "x10000yyyyyyyyyyyyyyyy.te", ".", ""})
    EXPECT_EQ(archive.FindFile(miss), -1) << miss;
  EXPECT_EQ(archive.FindFile(nullptr), -1);
}

TEST_F(ArchiveLookup, AppendsTheIndicesOfEveryNameEndingWithThePattern) {
  RawArchiveBuilder built;
  built.Stored("maps/a.tex", "0").Stored("a.text", "1").Compressed("tex", "2").Removed(3);
  built.Stored("readme.txt", "4").Stored("ex", "5");
  // Not tied to an extension, in any case, separators and '*' taken as they
  // are; "" matches every name. 7 was in the vector before.
  const std::vector<std::pair<std::string, mem::vector<int>>> cases = {
      {"maps/a.tex", {7, 0}}, {"xmaps/a.tex", {7}}, {"ex", {7, 0, 2, 5}},
      {".tex", {7, 0}},       {"A.TeX", {7, 0}},    {"/a.tex", {7, 0}},
      {"\\a.tex", {7}},       {"*.tex", {7}},       {"", {7, 0, 1, 2, 4, 5}}};
  OpenBuilt(built, Archive::ModeRead);
  for (const auto& [pattern, matches] : cases) {
    mem::vector<int> result = {7};
    EXPECT_EQ(archive.FindMatchingFilesEnd(result, pattern), matches.size() - 1) << pattern;
    EXPECT_EQ(result, matches) << pattern;
  }
}

}  // namespace
