// Names and lookup: normalisation, finding entries by name, the suffix search
// and the listing of one directory.
#include "archive/Names.h"
#include "support/WritableArchive.h"

namespace {

using namespace GAME::names;
using namespace testing_support;
using ArchiveLookup = ArchiveFileTest;

// Every ASCII character between two letters: capitals fold to lower case,
// a backslash to '/', the rest stay. Bytes from 0x80 up stay too; one
// leading '.' and then one '/' go.
TEST(NormalizeName, FoldsCaseAndSeparatorsAndOneLeadingDotAndSlash) {
  std::string out;
  for (int c = 1; c < 256; ++c) {
    const char expected = c == '\\' ? '/' : c >= 'A' && c <= 'Z' ? char(c + 32) : char(c);
    NormalizeName((std::string("x") + char(c) + "Y").c_str(), out);
    EXPECT_EQ(out, std::string("x") + expected + "y") << c;
  }
  const char* cases[][2] = {
      {".\\data\\a.txt", "data/a.txt"}, {"/data/a.txt", "data/a.txt"},
      {"//data/a.txt", "/data/a.txt"}, {"../data/a.txt", "./data/a.txt"},
      {".profile", "profile"}, {".", ""}, {".\\", ""}};
  for (const auto& [path, expected] : cases) {
    NormalizeName(path, out);
    EXPECT_EQ(out, expected) << path;
  }
  out = "kept";  // a null or empty path leaves the output alone
  NormalizeName(nullptr, out);
  NormalizeName("", out);
  EXPECT_EQ(out, "kept");
}

// A foreign file may hold a name twice: the later entry wins while lookups
// walk the chains and once they have built the name index, and after its
// removal the earlier one is found. Any spelling of a stored name finds it;
// nothing else does (a spelling's own cases are normalisation's).
TEST_F(ArchiveLookup, FindsTheLaterOfTwoEntriesOfOneNameBeforeAndAfterIndexing) {
  RawArchiveBuilder builder;
  builder.Stored("twice", "0");
  for (int i = 0; i < 50; ++i) builder.Stored("other" + std::to_string(i), "");
  OpenBuilt(builder.Stored("twice", "1"));
  const char* const misses[] = {"twic", "twice2", "../twice", ".", "", nullptr};
  for (int round = 0; round < 2; ++round) {  // over the chains, then the index they lead to
    for (const char* miss : misses) EXPECT_EQ(archive.FindFile(miss), -1) << (miss ? miss : "null");
    for (int lookup = 0; lookup < 100; ++lookup) ASSERT_EQ(archive.FindFile(".\\TWICE"), 51);
  }
  ASSERT_TRUE(archive.RemoveFile(51));
  EXPECT_EQ(archive.FindFile("twice"), 0);
}

// The table is rebuilt as entries are appended, removed and compacted away:
// every name stays findable, and no other.
TEST_F(ArchiveLookup, NamesStayFindableAsTheTableGrowsAndShrinks) {
  Open();
  int added = 0;
  const auto addUpTo = [&](int count) {
    for (; added < count; ++added) ASSERT_GE(Add("f" + std::to_string(added), "x"), 0);
  };
  addUpTo(2049);
  ASSERT_TRUE(archive.Close(false));
  Open();
  for (int i = 0; i < 1500; ++i) ASSERT_TRUE(archive.RemoveFile(i));
  ASSERT_TRUE(archive.Compact());
  addUpTo(added + 1501);
  for (int i = 0; i < added; ++i) {
    EXPECT_EQ(archive.FindFile(("F" + std::to_string(i)).c_str()) >= 0, i >= 1500) << i;
  }
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
  // One directory's active entries, the directory in any spelling; a bad index has no entry.
  const std::pair<std::pair<const char*, bool>, std::vector<int>> listings[] = {
      {{nullptr, true}, {0, 1, 2, 4, 5}}, {{"", false}, {1, 2, 4, 5}}, {{"MAPS\\", false}, {0}},
      {{"./maps", true}, {0}}, {{"maps/a.tex", true}, {}}, {{"map", true}, {}}};
  for (const auto& [directory, indices] : listings) {
    EXPECT_EQ(archive.ActiveFiles(directory.first, directory.second), indices) << directory.first;
  }
  EXPECT_TRUE(!archive.Entry(-1) && !archive.Entry(6) && archive.Entry(5));
}

}  // namespace
