// The name suffix search: plain, ASCII case-insensitive suffixes, in index
// order, appended to what the vector already holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

using GAME::Archive;
using testing_support::RawArchiveBuilder;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

class ArchiveSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteWholeFile(path, RawArchiveBuilder()
                             .Stored("maps/a.tex", "0")
                             .Stored("a.text", "1")
                             .Compressed("tex", "2")
                             .Removed(3)
                             .Stored("readme.txt", "4")
                             .Stored("ex", "5")
                             .Build()
                             .Bytes());
  }

  ScratchDir dir;
  std::string path = dir / "test.arc";
};

TEST_F(ArchiveSearch, FindsEveryNameEndingWithThePattern) {
  const struct {
    std::string pattern;
    std::vector<int> matches;
  } cases[] = {
      {"maps/a.tex", {0}},                     // the whole name
      {"xmaps/a.tex", {}},                     // longer than the name
      {"ex", {0, 2, 5}},                       // not tied to an extension
      {".tex", {0}},                           // a.text does not end so
      {".TEX", {0}},                           // case does not matter
      {"A.TeX", {0}},        {"/a.tex", {0}},  // a separator in the pattern is kept
      {"\\a.tex", {}},                         // and not normalised
      {"*.tex", {}},                           // no wildcards
      {"", {0, 1, 2, 4, 5}},                   // every entry with a name
      {"readme.txt", {4}},
  };
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    for (const auto& c : cases) {
      mem::vector<int> result;
      EXPECT_EQ(archive.FindMatchingFilesEnd(result, c.pattern), c.matches.size()) << c.pattern;
      EXPECT_EQ(result, c.matches) << c.pattern;
    }
  }
}

TEST_F(ArchiveSearch, AppendsAfterWhatTheVectorHolds) {
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  mem::vector<int> result = {7, 8, 9};
  EXPECT_EQ(archive.FindMatchingFilesEnd(result, "ex"), 3u);
  EXPECT_EQ(result, (mem::vector<int>{7, 8, 9, 0, 2, 5}));
  EXPECT_EQ(archive.FindMatchingFilesEnd(result, "nothing"), 0u);
  EXPECT_EQ(result.size(), 6u);
}

}  // namespace
