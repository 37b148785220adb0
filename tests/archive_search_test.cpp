// The name suffix search: plain, ASCII case-insensitive suffixes, in index
// order, appended to what the vector already holds.
#include "support/WritableArchive.h"

namespace {

using namespace testing_support;
using ArchiveSearch = ArchiveFileTest;

TEST_F(ArchiveSearch, AppendsTheIndicesOfEveryNameEndingWithThePattern) {
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
