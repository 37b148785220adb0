// Directory import ("-add", "-replace", "-update"): the walk, path arguments
// and stored names, the modes, and the files that cannot be added; and the
// removal of stored files missing from a directory ("-removeMissing").
#include <cctype>
#include <filesystem>
#include <tuple>

#include "support/TestSystem.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

using Import = ToolTest;

// Subdirectories first, ".svn" skipped, ".hidden" imported; update for a later
// time only; a replacement takes the slot it frees when it fits best.
TEST_F(Import, TheModesOverTheTexturesTree) {
  for (const char* name : {"a/1.tex", ".svn/entries", "b/2.tex", "x.tex", ".hidden"}) {
    Put(std::string("base/t/") + name, name, 1'600'000'000);
  }
  const std::string tree = "added: t/a/1.tex\nadded: t/b/2.tex\nadded: t/.hidden\nadded: t/x.tex\n";
  // The command, a file written with a later time before it, and its output.
  const std::tuple<const char*, const char*, std::string> steps[] = {
      {"-add", nullptr, tree},          {"-add", "x.tex", ""}, {"-replace", nullptr, tree},
      {"-update", "b/2.tex", "added: t/b/2.tex\n"}, {"-update", nullptr, ""}};
  for (const auto& [command, changed, out] : steps) {
    if (changed) Put(std::string("base/t/") + changed, "new", 1'600'000'010);
    Expect({"test.arc", command, "t", "base"}, 0, out);
  }
  // Replacements took the slots (and entries) of the files they replaced.
  Expect({"test.arc", "-list"}, 0, "t/a/1.tex\nt/b/2.tex\nt/.hidden\nt/x.tex\n");
}

// A replacement of an unchanged tree (a file staged beyond 4 MiB of parts
// included), compressed or stored, leaves the archive byte for byte as it
// was; a grown file leaves one free slot, its old one.
TEST_F(Import, ReplacingAnUnchangedTreeLeavesTheArchiveAsItWas) {
  Put("base/t/big", Noise(4300000, 1) + "end");
  Put("base/t/a/small", "small");
  Put("base/t/b", Noise(300000, 2));
  for (const char* level : {"6", "0"}) {
    const std::string arc = std::string("l") + level + ".arc";
    ASSERT_EQ(Run({arc, "-add", "t", "base", level}).exitCode, 0);
    const std::vector<unsigned char> before = ReadWholeFile(dir / arc);
    EXPECT_EQ(Run({arc, "-replace", "t", "base", level}).exitCode, 0);
    EXPECT_TRUE(ReadWholeFile(dir / arc) == before) << level;
  }
  Put("base/t/a/small", "small, and grown");
  ASSERT_EQ(Run({"l6.arc", "-replace", "t/a", "base"}).exitCode, 0);
  EXPECT_NE(Run({"l6.arc", "-stats"}).out.find("4 file entries\n    3 active"), std::string::npos);
}

// What the tool cannot see it neither imports nor removes: a directory it may
// not read fails the import, and keeps its stored files on -removeMissing
// (both name it, exit 1), while a missing one loses them. The walk skips the
// archive inside the tree and its journal; a closed stdout loses no work.
TEST_F(Import, WhatCannotBeSeenIsReportedAndKept) {
  if (kWindows) GTEST_SKIP() << "Linux only: a directory nobody may read";
  for (const char* name : {"open/a", "shut/b", "gone/c"}) Put(std::string("base/t/") + name, "x");
  const std::string added = "added: t/gone/c\nadded: t/open/a\nadded: t/shut/b\n";
  Expect({"base/t/self.arc", "-add", "t", "base"}, 0, added);
  Expect({"base/t/self.arc", "-add", "t", "base"}, 0, "");  // neither self.arc nor its journal
  Expect({"p.arc", "-add", "t", "base"}, 3, "",
         "Standard output failed; the command went on without printing.\n", {.closedOutput = true});
  Expect({"p.arc", "-list"}, 0, "t/gone/c\nt/open/a\nt/shut/b\nt/self.arc\n");

  for (const auto& item : fs::recursive_directory_iterator(dir.Path())) {
    fs::permissions(item.path(), fs::perms::all);
  }
  fs::permissions(dir.Path(), fs::perms::all);
  fs::permissions(dir / "base/t/shut", fs::perms::none);
  fs::remove_all(dir / "base/t/gone");
  const ToolOptions asUser{.unprivileged = true};
  Expect({"base/t/self.arc", "-add", "t", "base"}, 1, "",
         "Cannot read directory t/shut\nReason: Permission denied\n", asUser);
  Expect({"base/t/self.arc", "-removeMissing", "base"}, 1, "removing file: base/t/gone/c\n",
         "Cannot tell whether base/t/shut/b exists; kept in the archive\n"
         "Reason: Permission denied\n",
         asUser);
  Expect({"base/t/self.arc", "-list"}, 0, "t/open/a\nt/shut/b\n");
}

TEST_F(Import, PathArgumentsGiveThePrintedAndStoredNames) {
  for (const char* name : {"base/t/a/1.tex", "base/t/a/1.txt", "base/t/x.tex", "base/top.tex"}) {
    Put(name, "");
  }
  const std::string absolute = dir / "base/t/a";
  // One leading '/' dropped; a Windows path keeps its drive.
  std::string stored = absolute.substr(kWindows ? 0 : 1) + "/1.tex\n";
  for (char& c : stored) c = c == '\\' ? '/' : char(std::tolower(static_cast<unsigned char>(c)));
  const struct {
    std::string path, out, err, list, base = "base";
    int exitCode = 0;
  } cases[] = {{"t/*.tex", "added: t/a/1.tex\nadded: t/x.tex\n", "", "t/a/1.tex\nt/x.tex\n"},
               {"./*.TEX", "added: ./t/a/1.tex\nadded: ./t/x.tex\nadded: ./top.tex\n", "",
                "t/a/1.tex\nt/x.tex\ntop.tex\n"},
               {"t\\a\\*.tex", "added: t\\a/1.tex\n", "", "t/a/1.tex\n"},
               {"t/a/", "added: t/a//1.tex\nadded: t/a//1.txt\n", "", "t/a//1.tex\nt/a//1.txt\n"},
               {"t/x.tex", "added: t/x.tex\n", "", "t/x.tex\n"},
               {absolute + "/*.tex", "added: " + absolute + "/1.tex\n", "", stored},
               {"*.tex", "", "Invalid path *.tex\n", ""},
               {"t", "", "Cannot enter base directory nowhere\n", "", "nowhere", 1}};
  for (const auto& c : cases) {
    const std::string arc = std::to_string(&c - cases) + ".arc";
    Expect({arc, "-add", c.path, c.base}, c.exitCode, c.out, c.err);
    Expect({arc, "-list"}, 0, c.list);
  }
}

// Reported and skipped, while the walk goes on and the stored file stays: a
// file whose name another one of the import has taken (in every mode), a
// pipe, a file beyond 4 GiB, and a dangling link (unreadable, and without a
// time to update by).
TEST_F(Import, FilesThatCannotBeAddedAreReportedAndCostNoStoredFile) {
  if (kWindows) GTEST_SKIP() << "Linux only: links, FIFOs and names differing in case";
  Put("base/t/gone.tex", "gone", 1'000'000'000);
  Put("base/t/huge.bin", "huge", 1'000'000'000);
  Put("base/t/A.txt", "upper", 1'000'000'000);
  Put("base/t/a.txt", "lower", 2'000'000'000);  // newer, yet must not update A.txt's entry
  const std::string skipped = "Skipped t/a.txt: its name is taken by a file imported before\n";
  Expect({"test.arc", "-add", "t", "base"}, 1,
         "added: t/A.txt\nadded: t/gone.tex\nadded: t/huge.bin\n", skipped);
  fs::remove(dir / "base/t/gone.tex");
  fs::create_symlink("nowhere", dir / "base/t/gone.tex");
  fs::resize_file(dir / "base/t/huge.bin", (uint64_t(1) << 32) + 1);  // sparse
  ASSERT_TRUE(testing_support::MakeFifo(dir / "base/t/new pipe"));
  Put("base/t/z.tex", "z");
  const std::string pipeFailed = "Failed to add t/new pipe\n"
                           "Reason: not a regular file (t/new pipe)\n";
  Expect({"test.arc", "-add", "t", "base"}, 1, "added: t/z.tex\n", skipped + pipeFailed);
  const std::string failed =
      "Failed to add t/huge.bin\nReason: over 4 GiB (t/huge.bin)\n" + pipeFailed;
  Expect({"test.arc", "-update", "t", "base"}, 1, "",
         skipped + "Cannot read the last-write time of t/gone.tex\n"
                   "Reason: No such file or directory\n" + failed);
  Expect({"test.arc", "-replace", "t", "base"}, 1, "added: t/A.txt\nadded: t/z.tex\n",
         skipped + "Failed to add t/gone.tex\n"
                   "Reason: not found (t/gone.tex: No such file or directory)\n" + failed);
  EXPECT_EQ(Run({"test.arc", "-extract", "out"}).err, "");
  EXPECT_EQ(Text("out/t/a.txt") + Text("out/t/gone.tex") + Text("out/t/huge.bin"), "uppergonehuge");
}

// Stored names find the disk files in any case. Compaction when more than a
// quarter of the entries are inactive, removed now or before. A directory that
// is not there (a typo) or a compaction that cannot write loses nothing.
TEST_F(Import, RemovesWhatIsNotOnDiskAndCompactsAboveAQuarterInactive) {
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
         "Failed to compact the archive\nReason: I/O error (the journal: File too large)\n"
         "Failed to write the index of archive file test.arc.\nReason: I/O error (the journal: File too large)\n",
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
    const std::string entries = "    " + std::to_string(entriesAfter) + " file entries\n";
    EXPECT_NE(Run({"test.arc", "-stats"}).out.find(entries), std::string::npos) << deleted;
  }
  Expect({"test.arc", "-list"}, 0, "textures/f3\ntextures/f5\ntextures/f6\ntextures/f7\n");
}

}  // namespace
