// The korvat executable driven from the command line: usage, argument
// counts, unknown commands, exit codes, "-list", "-stats", "-remove",
// "-extract", "-compact", read-only archives and interrupts. Also the
// dispatcher's pure helpers (levels, the timing line).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "support/ToolRunner.h"
#include "tool/CommandLine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ReadWholeFile;
using testing_support::RunningTool;
using testing_support::RunTool;
using testing_support::ScratchDir;
using testing_support::ToolOptions;
using testing_support::ToolResult;
using testing_support::UsageText;
using testing_support::WriteWholeFile;

constexpr int kUsageExit = 255;

// The bytes of a new, empty archive: the bare header.
std::vector<unsigned char> EmptyArchiveBytes() { return RawArchive().Bytes(); }

std::string ReadText(const std::string& path) {
  const std::vector<unsigned char> bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string StatsText(unsigned entries, unsigned active, unsigned indexSize, unsigned longest,
                      unsigned table, unsigned depth, const char* average) {
  std::ostringstream s;
  s << "Archive statistics:\n"
    << "    " << entries << " file entries\n"
    << "    " << active << " active files\n"
    << "    index size: " << indexSize << " bytes\n"
    << "    longest filename: " << longest << "\n"
    << "    table size: " << table << "\n"
    << "    maximum table depth: " << depth << "\n"
    << "    average depth " << average << "\n";
  return s.str();
}

class Tool : public ::testing::Test {
 protected:
  ToolResult Run(const std::vector<std::string>& args, const ToolOptions& options = {}) {
    return RunTool(dir.Path().string(), args, options);
  }
  void Write(const RawArchive& archive) { WriteWholeFile(arc, archive.Bytes()); }

  ScratchDir dir;
  std::string arc = dir / "test.arc";
};

// --- Command line --------------------------------------------------------

TEST_F(Tool, FewerThanTwoArgumentsPrintUsageAndCreateNothing) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"test.arc"}}) {
    const ToolResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, UsageText());
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST_F(Tool, TooFewArgumentsCreateTheArchiveAndPrintUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"-add"},    {"-add", "dir"}, {"-replace", "dir"}, {"-update", "dir"},
      {"-remove"}, {"-extract"},    {"-removeMissing"},  {"-ADD", "dir"},
  };
  for (const auto& command : cases) {
    SCOPED_TRACE(command[0]);
    std::vector<std::string> args{"test.arc"};
    args.insert(args.end(), command.begin(), command.end());
    const ToolResult r = Run(args);
    EXPECT_EQ(r.exitCode, kUsageExit);
    EXPECT_EQ(r.out, UsageText());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadWholeFile(arc), EmptyArchiveBytes());
    fs::remove(arc);
  }
}

TEST_F(Tool, UnknownCommandsAreEchoedAsTypedBeforeTheUsage) {
  for (const char* word : {"-bogus", "list", "-Remov", "-removeMissingX", "-totalStats", ""}) {
    SCOPED_TRACE(word);
    const ToolResult r = Run({"test.arc", word, "x", "y"});
    EXPECT_EQ(r.exitCode, kUsageExit);
    EXPECT_EQ(r.err, std::string("Unknown command ") + word + ".\n\n");
    EXPECT_EQ(r.out, UsageText());
    EXPECT_EQ(ReadWholeFile(arc), EmptyArchiveBytes());
  }
}

TEST_F(Tool, CommandWordsIgnoreCase) {
  Write(RawArchiveBuilder().Stored("a", "1").Stored("b", "2").Build());
  for (const char* word : {"-LIST", "-List", "-lIsT"}) {
    const ToolResult r = Run({"test.arc", word});
    EXPECT_EQ(r.exitCode, 0) << word;
    EXPECT_EQ(r.out, "a\nb\n") << word;
  }
  EXPECT_EQ(Run({"test.arc", "-STATS"}).out, StatsText(2, 2, 100, 1, 31, 1, "1.00"));
}

TEST_F(Tool, TotalStatsInFirstPositionOpensNoArchive) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-totalStats", "report.txt", "*.arc"},
        {"-TOTALSTATS", "report.txt", "a*", "b*"},
        {"-totalStats", "report.txt"}}) {
    const ToolResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_FALSE(fs::exists(dir / "-totalStats"));
  EXPECT_FALSE(fs::exists(dir / "-TOTALSTATS"));
}

TEST_F(Tool, FilesThatAreNotArchivesAreRefusedAndLeftAlone) {
  const std::vector<unsigned char> text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c'};
  WriteWholeFile(arc, text);
  for (const char* command : {"-list", "-stats", "-compact", "-bogus"}) {
    const ToolResult r = Run({"test.arc", command});
    EXPECT_EQ(r.exitCode, kUsageExit) << command;
    EXPECT_EQ(r.err, "Failed to open archive file test.arc.\n") << command;
    EXPECT_EQ(r.out, "") << command;
  }
  EXPECT_EQ(ReadWholeFile(arc), text);
}

TEST_F(Tool, AZeroLengthFileIsAnEmptyArchive) {
  WriteWholeFile(arc, {});
  const ToolResult r = Run({"test.arc", "-list"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(ReadWholeFile(arc), EmptyArchiveBytes());
}

TEST(ToolLevel, LevelArgumentIsReadLikeAtoiAndClampedToZeroToNine) {
  const std::pair<const char*, int> cases[] = {
      {nullptr, 0},
      {"0", 0},
      {"5", 5},
      {"9", 9},
      {"12", 9},
      {"-3", 0},
      {"abc", 0},
      {"7x", 7},
      {" 4", 4},
      {"", 0},
      {"99999999999999999999999", 9},
      {"-99999999999999999999999", 0},
  };
  for (const auto& [text, level] : cases) {
    EXPECT_EQ(tool::ParseLevel(text), level) << (text ? text : "(absent)");
  }
}

TEST(ToolTiming, TimingLineShowsWholeMinutesAndSeconds) {
  EXPECT_EQ(tool::ElapsedLine(0, 999), "");
  EXPECT_EQ(tool::ElapsedLine(5000, 5000), "");
  EXPECT_EQ(tool::ElapsedLine(0, 1000), "Command completed in 00:01\n");
  EXPECT_EQ(tool::ElapsedLine(0, 61500), "Command completed in 01:01\n");
  EXPECT_EQ(tool::ElapsedLine(0, 100u * 60 * 1000 + 59999), "Command completed in 100:59\n");
  // The millisecond counter wraps: 1500 ms across the wrap.
  EXPECT_EQ(tool::ElapsedLine(0xFFFFFFFFu - 999, 500), "Command completed in 00:01\n");
}

// --- Listing and statistics ----------------------------------------------

TEST_F(Tool, ListAndStatsOnANewArchive) {
  ToolResult r = Run({"test.arc", "-list"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(ReadWholeFile(arc), EmptyArchiveBytes());
  r = Run({"test.arc", "-stats"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, StatsText(0, 0, 0, 0, 31, 0, "0.00"));
  EXPECT_EQ(r.err, "");
}

TEST_F(Tool, StatsCountARemovedEntryButListSkipsIt) {
  Write(RawArchiveBuilder().Stored("a", "content").Removed(16).Build());
  ToolResult r = Run({"test.arc", "-stats"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, StatsText(2, 1, 99, 1, 31, 1, "1.00"));
  r = Run({"test.arc", "-list"});
  EXPECT_EQ(r.out, "a\n");
}

// A read-only archive file is still listed, read and extracted, and left as
// it was (here with bytes after its index that a writer would cut off); a
// command that changes it cannot open it.
TEST_F(Tool, ReadOnlyArchiveIsOpenedForReading) {
  std::vector<unsigned char> bytes =
      RawArchiveBuilder().Stored("dir/a.txt", "alpha").Build().Bytes();
  bytes.push_back('!');
  WriteWholeFile(arc, bytes);
  fs::permissions(dir.Path(), fs::perms::all);
  fs::permissions(arc, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  ToolResult r = Run({"test.arc", "-list"}, ToolOptions{.unprivileged = true});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "dir/a.txt\n");
  EXPECT_EQ(Run({"test.arc", "-stats"}, ToolOptions{.unprivileged = true}).exitCode, 0);
  r = Run({"test.arc", "-remove", "dir/a.txt"}, ToolOptions{.unprivileged = true});
  EXPECT_EQ(r.exitCode, kUsageExit);
  EXPECT_EQ(r.err, "Failed to open archive file test.arc.\n");
  EXPECT_EQ(ReadWholeFile(arc), bytes);
}

// The index cannot be written back (writes beyond 64 KiB fail): the command
// still runs, the failure is reported naming the archive, and the exit code
// is 1.
TEST_F(Tool, FailedIndexWriteExitsWithOne) {
  Write(RawArchiveBuilder().Stored("big", std::string(100000, 'b')).Build());
  const ToolResult r = Run({"test.arc", "-list"}, ToolOptions{.fileSizeLimit = 65536});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "big\n");
  EXPECT_EQ(r.err, "Failed to write the index of archive file test.arc.\n");
  EXPECT_EQ(Run({"test.arc", "-list"}).out, "big\n");
}

// --- Removal, extraction, compaction -------------------------------------

TEST_F(Tool, RemoveTakesAnySpellingOfTheNameAndListDropsIt) {
  Write(RawArchiveBuilder().Stored("a", "1").Stored("b/c.txt", "22").Stored("d", "333").Build());
  ToolResult r = Run({"test.arc", "-remove", "B\\C.TXT"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");
  r = Run({"test.arc", "-remove", "not/stored"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(Run({"test.arc", "-list"}).out, "a\nd\n");
  EXPECT_EQ(Run({"test.arc", "-stats"}).out.substr(0, 58),
            "Archive statistics:\n    3 file entries\n    2 active files\n");
}

TEST_F(Tool, ExtractAllNumbersProgressOverEveryEntry) {
  const std::string big(300000, 'z');
  Write(
      RawArchiveBuilder().Stored("a.txt", "alpha").Removed(8).Compressed("sub/b.bin", big).Build());
  const ToolResult r = Run({"test.arc", "-extract", "out"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "(1 / 3) a.txt\n(2 / 3) (removed)\n(3 / 3) sub/b.bin\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadText(dir / "out/a.txt"), "alpha");
  EXPECT_EQ(ReadText(dir / "out/sub/b.bin"), big);
}

TEST_F(Tool, ExtractOneFileOrReportAMissingName) {
  Write(RawArchiveBuilder().Stored("a.txt", "alpha").Stored("b/c.txt", "gamma").Build());
  ToolResult r = Run({"test.arc", "-extract", "out", "B\\C.TXT", "ignored"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(ReadText(dir / "out/b/c.txt"), "gamma");
  EXPECT_FALSE(fs::exists(dir / "out/a.txt"));

  r = Run({"test.arc", "-extract", "out", "No/Such.TXT"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "file: No/Such.TXT not found in archive.\n");
}

TEST_F(Tool, ExtractReportsEachDamagedFileAndExitsWithOne) {
  RawArchive raw = RawArchiveBuilder().Stored("good", "fine").Stored("bad", "spoilt").Build();
  raw.entries[1].checksum ^= 1;
  Write(raw);
  ToolResult r = Run({"test.arc", "-extract", "out"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "(1 / 2) good\n(2 / 2) bad\n");
  EXPECT_EQ(r.err, "Failed to extract bad.\n");
  EXPECT_EQ(ReadText(dir / "out/good"), "fine");

  r = Run({"test.arc", "-extract", "out2", "BAD"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "Failed to extract BAD.\n");
}

TEST_F(Tool, CompactDropsRemovedEntriesAndKeepsTheFiles) {
  Write(RawArchiveBuilder().Stored("a", "first").Removed(100).Stored("b", "second").Build());
  const auto before = fs::file_size(arc);
  ToolResult r = Run({"test.arc", "-compact"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(fs::file_size(arc), before - 100 - 44);
  EXPECT_EQ(Run({"test.arc", "-list"}).out, "a\nb\n");
  r = Run({"test.arc", "-extract", "out"});
  EXPECT_EQ(r.out, "(1 / 2) a\n(2 / 2) b\n");
  EXPECT_EQ(ReadText(dir / "out/a") + ReadText(dir / "out/b"), "firstsecond");
}

// --- Interrupts ----------------------------------------------------------

// Content of file i of the large archive: distinct per file.
std::string LargeFileContent(int i) {
  std::string content(8192, '\0');
  for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<char>((i * 31 + k) % 251);
  return content;
}

std::string LargeFileName(int i) { return "d" + std::to_string(i % 10) + "/f" + std::to_string(i); }

TEST_F(Tool, InterruptedExtractFinishesTheFileInHandAndKeepsTheArchive) {
  constexpr int kFiles = 4000;
  RawArchiveBuilder builder;
  for (int i = 0; i < kFiles; ++i) builder.Stored(LargeFileName(i), LargeFileContent(i));
  const std::vector<unsigned char> original = builder.Build().Bytes();
  WriteWholeFile(arc, original);

  RunningTool running(dir.Path().string(), {"test.arc", "-extract", "out"});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(dir / ("out/" + LargeFileName(0))) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  running.Signal(SIGINT);
  const ToolResult r = running.Wait();
  EXPECT_EQ(r.exitCode, 128 + SIGINT);
  EXPECT_EQ(r.err, "");

  // Every announced file is whole; the run stopped before the end.
  std::istringstream lines(r.out);
  std::string line;
  int reported = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("Command completed in ", 0) == 0) continue;
    const std::string expected = "(" + std::to_string(reported + 1) + " / " +
                                 std::to_string(kFiles) + ") " + LargeFileName(reported);
    ASSERT_EQ(line, expected);
    ASSERT_TRUE(ReadText(dir / ("out/" + LargeFileName(reported))) == LargeFileContent(reported))
        << line;
    ++reported;
  }
  EXPECT_GT(reported, 0);
  EXPECT_LT(reported, kFiles);
  // The index was written back unchanged, and the archive opens.
  EXPECT_EQ(ReadWholeFile(arc), original);
  GAME::Archive archive;
  ASSERT_TRUE(archive.Open(arc.c_str(), GAME::Archive::ModeRead));
  EXPECT_EQ(archive.GetNumFiles(), static_cast<unsigned>(kFiles));
}

}  // namespace
