// Name normalisation, the bucket hash and the bucket counts.
#include <gtest/gtest.h>

#include <string>

#include "archive/Names.h"

namespace {

using GAME::names::HashValue;
using GAME::names::NormalizeName;
using GAME::names::TableSizeFor;

std::string Normalized(const char* path) {
  std::string out;
  NormalizeName(path, out);
  return out;
}

TEST(NormalizeName, FoldsCaseAndSeparatorsAndOneLeadingDotAndSlash) {
  const struct {
    const char* input;
    const char* expected;
  } cases[] = {
      {"Textures\\Rock.TEX", "textures/rock.tex"},
      {".\\data\\a.txt", "data/a.txt"},
      {"/data/a.txt", "data/a.txt"},
      {"//data/a.txt", "/data/a.txt"},
      {"../data/a.txt", "./data/a.txt"},
      {".profile", "profile"},
      {"C:\\Data\\x", "c:/data/x"},
      {"a\\\\b", "a//b"},
      {".", ""},
      {"/", ""},
      {".\\", ""},
      {"\xC9t\xC9.TXT", "\xC9t\xC9.txt"},  // bytes from 0x80 up stay as they are
  };
  for (const auto& c : cases) EXPECT_EQ(Normalized(c.input), c.expected) << c.input;
}

TEST(NormalizeName, NullOrEmptyPathLeavesOutputAlone) {
  std::string out = "kept";
  NormalizeName(nullptr, out);
  NormalizeName("", out);
  EXPECT_EQ(out, "kept");
}

TEST(HashName, MatchesTheWorkedValues) {
  const struct {
    std::string name;
    uint32_t value, mod31, mod73;
  } cases[] = {
      {"a", 6381825, 10, 19},
      {"abc", 6512899, 16, 58},
      {"readme.txt", 1942744106, 22, 70},
      {"textures/a.tex", 898550350, 5, 66},
      {"levels/world01/map.dat", 1752869590, 10, 14},
      {"\xE9t\xE9.txt", 1930128535, 25, 67},
  };
  for (const auto& c : cases) {
    const uint32_t v = HashValue(c.name.data(), static_cast<uint32_t>(c.name.size()));
    EXPECT_EQ(v, c.value) << c.name;
    EXPECT_EQ(v % 31, c.mod31) << c.name;
    EXPECT_EQ(v % 73, c.mod73) << c.name;
  }
}

TEST(TableSize, FollowsTheEntryCountRanges) {
  const struct {
    uint32_t first, last, buckets;
  } ranges[] = {{0, 127, 31},          {128, 295, 73},       {296, 511, 127},
                {512, 1135, 283},      {1136, 1679, 419},    {1680, 2959, 739},
                {2960, 4079, 1019},    {4080, 5815, 1453},   {5816, 8255, 2063},
                {8256, 12007, 3001},   {12008, 16007, 4001}, {16008, 20039, 5009},
                {20040, 24271, 6067},  {24272, 28007, 7001}, {28008, 32039, 8009},
                {32040, 36047, 9011},  {36048, 4000000000u, 10007}};
  for (const auto& r : ranges) {
    EXPECT_EQ(TableSizeFor(r.first), r.buckets) << r.first;
    EXPECT_EQ(TableSizeFor(r.last), r.buckets) << r.last;
  }
}

}  // namespace
