// The korvat executable from the command line: usage, the single-archive
// commands (-verify among them), exit codes, read-only archives and failed writes (interrupts are
// tried with the parallel tests).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "fuzz/ArchiveChecks.h"
#include "support/ToolRunner.h"
#include "support/TestSystem.h"
#include "tool/CommandLine.h"

namespace {

using namespace testing_support;
using Tool = ToolTest;

// The usage text, as the README's "Usage" section shows it.
std::string Usage() {
  const std::vector<unsigned char> readme = ReadWholeFile(KORVAT_SOURCE_DIR "/README.md");
  const std::string text(readme.begin(), readme.end()), start = "## Usage\n\n```\n";
  const size_t from = text.find(start) + start.size();
  return text.substr(from, text.find("```", from) - from);
}

// Fewer than two arguments exit 0; past that an empty archive is made first.
TEST_F(Tool, UsageErrorsAndUnknownCommands) {
  Put("empty.arc", RawArchive());
  const std::string usage = Usage();
  ASSERT_TRUE(usage.starts_with("Usage: korvat "));
  const std::pair<Args, std::string> cases[] = {
      {{}, ""}, {{"test.arc"}, ""}, {{"test.arc", "-ADD", "dir"}, ""},
      {{"test.arc", "-Extract"}, ""}, {{"test.arc", "-Remov", "x"}, "Unknown command -Remov.\n\n"},
      {{"test.arc", "-totalStats", "r", "*.arc"}, "Unknown command -totalStats.\n\n"}};
  for (const auto& [args, err] : cases) {
    Expect(args, args.size() < 2 ? 0 : 255, usage, err);
    EXPECT_EQ(Text("test.arc"), args.size() < 2 ? "" : Text("empty.arc"));
  }
}

TEST(ToolHelpers, LevelIsReadLikeAtoiAndClampedAndTimingShowsWholeSeconds) {
  const char* const texts[] = {nullptr, "5", "12", "-3", "abc", "7x", "999999999999999999999"};
  const int levels[] = {0, 5, 9, 0, 0, 7, 9};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(tool::ParseLevel(texts[i]), levels[i]) << texts[i];
  EXPECT_EQ(tool::ElapsedLine(0, 999), "");
  EXPECT_EQ(tool::ElapsedLine(0, 1999), "Command completed in 00:01\n");
  EXPECT_EQ(tool::ElapsedLine(~0u - 999, 6000500), "Command completed in 100:01\n");  // wraps
}

// Each command's whole output, in order. A damaged file, a compaction or an
// index that cannot be written (past 2 KiB), also after a command that
// succeeded, is named, exit 1; nothing is lost. A read-only archive is read,
// listed and verified without a change (not even to the byte after its index
// that a writer cuts off); "-remove" cannot open it.
TEST_F(Tool, CommandsPrintWhatTheyDidAndExitWithOneOnAFailure) {
  const std::string big(300000, 'z');
  Put("test.arc",
      RawArchiveBuilder().Stored("a", "alpha").Removed(8).Compressed("s/b", big).Build());
  RawArchive bad = RawArchiveBuilder().Stored("bad", "spoilt").Compressed("tail", big).Build();
  bad.entries[0].checksum ^= 1;
  bad.data.push_back(0);  // a byte after the last part's zlib stream
  ++bad.parts[1].storedSize, ++bad.entries[1].storedSize, ++bad.header.indexOffset;
  Put("b.arc", bad);
  Put("n.arc", "ARC!" + std::string(2044, '\0'));
  Put("ro.arc", RawArchiveBuilder().Stored("a", "content").Removed(16).Build());
  const std::string readOnly = Text("ro.arc") + "!";
  Put("ro.arc", readOnly);
  ASSERT_EQ(ChangeMode(dir.Path(), 0777) | ChangeMode((dir / "ro.arc"), 0444), 0);
  const ToolOptions asUser{.unprivileged = true};
  const std::string stats =
      "Archive statistics:\n    2 file entries\n    1 active files\n    index size: 99 bytes\n"
      "    longest filename: 1\n    table size: 31\n    maximum table depth: 1\n"
      "    average depth 1.00\n";
  const std::string journalFailed = "Reason: I/O error (the journal: File too large)\n",
                    compactFailed = "Failed to compact archive file test.arc.\n" + journalFailed,
                    indexFailed =
                        "Failed to write the index of archive file test.arc.\n" + journalFailed;
  const struct {
    Args args;
    std::string out, err = "";
    int exitCode = 0;
    ToolOptions options = {};
  } steps[] = {
      {{"test.arc", "-lIsT"}, "a\ns/b\n"},
      {{"test.arc", "-extract", "out"}, "(1 / 3) a\n(2 / 3) (removed)\n(3 / 3) s/b\n"},
      {{"test.arc", "-extract", "one", "S\\B", "ignored"}, ""},
      {{"test.arc", "-extract", "one", "a/b"}, "", "file: a/b not found in archive.\n"},
      {{"test.arc", "-remove", "A"}, "", indexFailed, 1, {.fileSizeLimit = 2048}},  // at Close
      {{"test.arc", "-remove", "A"}, ""},
      {{"test.arc", "-list"}, "s/b\n", "", 0, {.fileSizeLimit = 2048}},  // nothing to rewrite
      {{"test.arc", "-compact"}, "", compactFailed + indexFailed, 1, {.fileSizeLimit = 2048}},
      {{"test.arc", "-compact"}, ""},
      {{"b.arc", "-extract", "b", "BAD"}, "",
       "Failed to extract BAD.\nReason: damaged data (checksum mismatch)\n", 1},
      {{"b.arc", "-VERIFY"}, "2 files checked, 2 damaged\n",
       "damaged: bad (checksum mismatch)\ndamaged: tail (part 2 of 2 does not inflate)\n", 1},
      {{"n.arc", "-verify"}, "", "Failed to open archive file n.arc.\n"
       "Reason: not an archive (bad magic)\n", 255},
      {{"ro.arc", "-verify"}, "1 files checked, 0 damaged\n", "", 0, asUser},
      {{"ro.arc", "-STATS"}, stats, "", 0, asUser},
      {{"ro.arc", "-extract", "ro"}, "(1 / 2) a\n(2 / 2) (removed)\n", "", 0, asUser},
      {{"ro.arc", "-remove", "a"}, "", "Failed to open archive file ro.arc.\n"
       "Reason: permission denied (ro.arc: Permission denied)\n", 255, asUser}};
  for (const auto& s : steps) Expect(s.args, s.exitCode, s.out, s.err, s.options);
  // ro/a comes from a step as another user, which Windows skips.
  EXPECT_EQ(Text("out/a") + Text("ro/a"), kWindows ? "alpha" : "alphacontent");
  EXPECT_EQ(Text("ro.arc"), readOnly);
  EXPECT_TRUE(Text("out/s/b") == big && Text("one/s/b") == big && Text("one/a") == "");
  Put("compacted.arc", RawArchiveBuilder().Compressed("s/b", big).Build());
  EXPECT_TRUE(Text("test.arc") == Text("compacted.arc"));
}

// The journal path holds only this archive's journal. Each attack plants
// something at data.arc-journal: it is never deleted, written or applied,
// changes are refused (exit 1, the file named by the archive's name on disk,
// whatever case is typed), reading still works, and the archive stays byte
// for byte. A name differing in case is another file. (A journal beside an
// archive that never began its change is the journal fuzz input's case.)
TEST_F(Tool, JournalPathHoldsOnlyThisArchivesJournal) {
  if (kWindows) GTEST_SKIP() << "Linux only: links planted (Wine makes none)";
  namespace stdfs = std::filesystem;
  RawArchiveBuilder built;
  for (int i = 0; i < 4; ++i) built.Stored("f" + std::to_string(i), std::string(16384, 'a'));
  Put("data.arc", built.Build());
  Expect({"data.arc", "-remove", "f0"}, 0, "");
  const std::string changed = Text("data.arc"), journal = dir / "data.arc-journal";
  const std::vector<unsigned char> crashed = fuzzing::CrashedJournal();  // of another archive
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { Put("data.arc-journal", "notes"); }, "not a journal"},
      {[&] { stdfs::create_directory(journal); }, "a directory"},
      {[&] { stdfs::create_symlink(dir / "victim", journal); }, "a symbolic link"},  // dangling
      {[&] { Put("data.arc-journal", {crashed.begin(), crashed.end()}); },
       "the journal of another archive or of another change"}};
  for (const auto& [plant, what] : cases) {
    SCOPED_TRACE(what);
    plant();
    const std::string planted = Text("data.arc-journal");
    Expect({"data.arc", "-list"}, 0, "f1\nf2\nf3\n");
    Expect({"DATA.arc", "-remove", "f1"}, 1, "",
           "Failed to open archive file DATA.arc.\n" + journal +
               " is in the way of the archive's journal: it is " + what +
               ". The archive is not changed; move that file away to change it.\n");
    EXPECT_TRUE(Text("data.arc") == changed && Text("data.arc-journal") == planted);
    EXPECT_TRUE(stdfs::is_symlink(journal) || stdfs::exists(journal));
    EXPECT_FALSE(stdfs::exists(dir / "victim"));
    stdfs::remove(journal);
  }
  Put("DATA.ARC-JOURNAL", "notes");
  Expect({"data.arc", "-remove", "f1"}, 0, "");
  EXPECT_TRUE(Text("DATA.ARC-JOURNAL") == "notes" && !stdfs::exists(journal));
}

// A directory that is not writable can hold no journal: the change goes
// ahead without one, after one warning line; a stale journal there (empty:
// its writer died creating it) cannot be removed and is passed over.
TEST_F(Tool, ChangesWithoutAJournalWhereTheDirectoryIsNotWritable) {
  if (kWindows) GTEST_SKIP() << "Linux only: a read-only directory takes files on Windows";
  Put("ro/x.arc", RawArchiveBuilder().Stored("a", "alpha").Stored("b", "beta").Build());
  Put("ro/x.arc-journal", "");
  ASSERT_EQ(ChangeMode(dir.Path(), 0777) | ChangeMode(dir / "ro/x.arc", 0666) |
                ChangeMode(dir / "ro", 0555), 0);
  Expect({"ro/x.arc", "-remove", "a"}, 0, "",
         "Warning: the directory of archive file ro/x.arc is not writable, so the change is made "
         "without a journal; an interruption may damage the archive.\n",
         {.unprivileged = true});
  Expect({"ro/x.arc", "-list"}, 0, "b\n", "", {.unprivileged = true});
  EXPECT_TRUE(std::filesystem::exists(dir / "ro/x.arc-journal"));
  ChangeMode((dir / "ro"), 0755);
}

}  // namespace