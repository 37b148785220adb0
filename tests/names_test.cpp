// Name normalisation, the bucket hash and the bucket counts.
#include <gtest/gtest.h>

#include <string>

#include "archive/Names.h"

namespace {

using namespace GAME::names;

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

}  // namespace
