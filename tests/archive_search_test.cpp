// The name suffix search: plain, ASCII case-insensitive suffixes, in index
// order, appended to what the vector already holds.
#include "support/WritableArchive.h"

namespace {

using GAME::Archive;
using namespace testing_support;
using ArchiveSearch = ArchiveFileTest;

TEST_F(ArchiveSearch, FindsEveryNameEndingWithThePatternAfterWhatTheVectorHolds) {
  const auto builder = RawArchiveBuilder()
                           .Stored("maps/a.tex", "0")
                           .Stored("a.text", "1")
                           .Compressed("tex", "2")
                           .Removed(3)
                           .Stored("readme.txt", "4")
                           .Stored("ex", "5");
  const std::vector<std::pair<std::string, mem::vector<int>>> cases = {
      {"maps/a.tex", {0}}, {"xmaps/a.tex", {}},     // longer than the name
      {"ex", {0, 2, 5}},                            // not tied to an extension
      {".tex", {0}},       {"A.TeX", {0}},          // case does not matter
      {"/a.tex", {0}},     {"\\a.tex", {}},         // separators are not normalised
      {"*.tex", {}},       {"", {0, 1, 2, 4, 5}}};  // no wildcards; every name matches ""
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    OpenBuilt(builder, mode);
    for (const auto& [pattern, matches] : cases) {
      mem::vector<int> result = {7}, expected = {7};
      expected.insert(expected.end(), matches.begin(), matches.end());
      EXPECT_EQ(archive.FindMatchingFilesEnd(result, pattern), matches.size()) << pattern;
      EXPECT_EQ(result, expected) << pattern;
    }
  }
}

}  // namespace
