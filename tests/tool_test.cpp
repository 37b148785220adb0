// The korvat executable driven from the command line: usage, argument
// counts, unknown commands, exit codes, "-list", "-stats", "-remove",
// "-extract", "-compact", read-only archives and interrupts. Also the
// dispatcher's pure helpers (levels, the timing line).
#include <gtest/gtest.h>
#include <signal.h>

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
using namespace testing_support;
using Args = std::vector<std::string>;

std::string ReadText(const std::string& path) {
  const std::vector<unsigned char> bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

// The "-stats" output for the figures in print order.
std::string StatsText(unsigned entries, unsigned active, unsigned indexSize, unsigned longest,
                      unsigned depth, const char* average) {
  std::ostringstream s;
  s << "Archive statistics:\n    " << entries << " file entries\n    " << active
    << " active files\n    index size: " << indexSize << " bytes\n    longest filename: " << longest
    << "\n    table size: 31\n    maximum table depth: " << depth << "\n    average depth "
    << average << "\n";
  return s.str();
}

class Tool : public ::testing::Test {
 protected:
  ToolResult Run(const Args& args, const ToolOptions& options = {}) {
    return RunTool(dir.Path().string(), args, options);
  }
  void Write(const RawArchive& archive) { WriteWholeFile(arc, archive.Bytes()); }
  void ExpectResult(const ToolResult& r, int exitCode, const std::string& out,
                    const std::string& err) {
    EXPECT_EQ(r.exitCode, exitCode);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
  }

  ScratchDir dir;
  std::string arc = dir / "test.arc";
};

// Usage on standard output in every case. Fewer than two arguments exit 0
// and create nothing; past that the archive is created (and written back
// empty) before the command is rejected with 255.
TEST_F(Tool, UsageErrorsAndUnknownCommands) {
  struct Case {
    Args args;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{}, 0, ""},
      {{"test.arc"}, 0, ""},
      {{"test.arc", "-add"}, 255, ""},
      {{"test.arc", "-ADD", "dir"}, 255, ""},
      {{"test.arc", "-replace", "dir"}, 255, ""},
      {{"test.arc", "-update", "dir"}, 255, ""},
      {{"test.arc", "-remove"}, 255, ""},
      {{"test.arc", "-Extract"}, 255, ""},
      {{"test.arc", "-removeMissing"}, 255, ""},
      {{"test.arc", "-bogus", "x", "y"}, 255, "Unknown command -bogus.\n\n"},
      {{"test.arc", "list"}, 255, "Unknown command list.\n\n"},
      {{"test.arc", "-Remov", "x"}, 255, "Unknown command -Remov.\n\n"},
      {{"test.arc", "-removeMissingX", "x"}, 255, "Unknown command -removeMissingX.\n\n"},
      {{"test.arc", "-totalStats", "r", "*.arc"}, 255, "Unknown command -totalStats.\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "(no command)");
    ExpectResult(Run(c.args), c.exitCode, UsageText(), c.err);
    if (c.args.size() < 2) {
      EXPECT_TRUE(fs::is_empty(dir.Path()));
    } else {
      EXPECT_EQ(ReadWholeFile(arc), RawArchive().Bytes());
    }
  }
}

TEST_F(Tool, TotalStatsInFirstPositionOpensNoArchive) {
  ExpectResult(Run({"-totalStats", "none.txt"}), 0, "", "");
  EXPECT_FALSE(fs::exists(dir / "none.txt"));
  for (const Args& args : {Args{"-totalStats", "report.txt", "*.arc"},
                           Args{"-TOTALSTATS", "report2.txt", "a*", "b*"}}) {
    ExpectResult(Run(args), 0, "", "");
    EXPECT_TRUE(fs::exists(dir / args[1]));
  }
  EXPECT_FALSE(fs::exists(dir / "-totalStats"));
  EXPECT_FALSE(fs::exists(dir / "-TOTALSTATS"));
}

TEST_F(Tool, NonArchiveIsRefusedUnchangedAndAnEmptyFileIsANewArchive) {
  const std::vector<unsigned char> text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c'};
  WriteWholeFile(arc, text);
  for (const char* command : {"-list", "-stats", "-compact", "-bogus"}) {
    SCOPED_TRACE(command);
    ExpectResult(Run({"test.arc", command}), 255, "", "Failed to open archive file test.arc.\n");
  }
  EXPECT_EQ(ReadWholeFile(arc), text);
  WriteWholeFile(arc, {});
  ExpectResult(Run({"test.arc", "-list"}), 0, "", "");
  EXPECT_EQ(ReadWholeFile(arc), RawArchive().Bytes());
}

TEST(ToolHelpers, LevelIsReadLikeAtoiAndClamped) {
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

TEST(ToolHelpers, TimingLineShowsWholeMinutesAndSeconds) {
  EXPECT_EQ(tool::ElapsedLine(0, 999), "");
  EXPECT_EQ(tool::ElapsedLine(0, 1000), "Command completed in 00:01\n");
  EXPECT_EQ(tool::ElapsedLine(0, 61500), "Command completed in 01:01\n");
  EXPECT_EQ(tool::ElapsedLine(0, 100u * 60 * 1000 + 59999), "Command completed in 100:59\n");
  // 1500 ms across the wrap of the counter.
  EXPECT_EQ(tool::ElapsedLine(0xFFFFFFFFu - 999, 500), "Command completed in 00:01\n");
}

TEST_F(Tool, ListAndStatsInAnyCaseCountRemovedEntriesOnlyAsEntries) {
  ExpectResult(Run({"test.arc", "-list"}), 0, "", "");
  ExpectResult(Run({"test.arc", "-stats"}), 0, StatsText(0, 0, 0, 0, 0, "0.00"), "");
  Write(RawArchiveBuilder().Stored("a", "content").Removed(16).Build());
  ExpectResult(Run({"test.arc", "-STATS"}), 0, StatsText(2, 1, 99, 1, 1, "1.00"), "");
  for (const char* word : {"-list", "-LIST", "-lIsT"}) {
    ExpectResult(Run({"test.arc", word}), 0, "a\n", "");
  }
}

// A read-only archive file is listed and extracted without being changed
// (not even the byte after its index that a writer would cut off); a command
// that changes it cannot open it.
TEST_F(Tool, ReadOnlyArchiveIsOpenedForReading) {
  std::vector<unsigned char> bytes = RawArchiveBuilder().Stored("d/a.txt", "alpha").Build().Bytes();
  bytes.push_back('!');
  WriteWholeFile(arc, bytes);
  fs::permissions(dir.Path(), fs::perms::all);
  fs::permissions(arc, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const ToolOptions asUser{.unprivileged = true};
  ExpectResult(Run({"test.arc", "-list"}, asUser), 0, "d/a.txt\n", "");
  ExpectResult(Run({"test.arc", "-extract", "."}, asUser), 0, "(1 / 1) d/a.txt\n", "");
  EXPECT_EQ(ReadText(dir / "d/a.txt"), "alpha");
  ExpectResult(Run({"test.arc", "-remove", "d/a.txt"}, asUser), 255, "",
               "Failed to open archive file test.arc.\n");
  EXPECT_EQ(ReadWholeFile(arc), bytes);
}

// Writes beyond 64 KiB fail, so the index cannot be written back: the
// failure is reported naming the archive, exit 1, and nothing is lost.
TEST_F(Tool, FailedIndexWriteExitsWithOne) {
  Write(RawArchiveBuilder().Stored("big", std::string(100000, 'b')).Build());
  ExpectResult(Run({"test.arc", "-list"}, ToolOptions{.fileSizeLimit = 65536}), 1, "big\n",
               "Failed to write the index of archive file test.arc.\n");
  ExpectResult(Run({"test.arc", "-list"}), 0, "big\n", "");
}

TEST_F(Tool, RemoveTakesAnySpellingAndCompactDropsTheEntry) {
  Write(RawArchiveBuilder().Stored("a", "1").Stored("b/c.txt", "22").Stored("d", "333").Build());
  ExpectResult(Run({"test.arc", "-remove", "B\\C.TXT"}), 0, "", "");
  ExpectResult(Run({"test.arc", "-remove", "not/stored"}), 0, "", "");
  ExpectResult(Run({"test.arc", "-list"}), 0, "a\nd\n", "");
  EXPECT_EQ(Run({"test.arc", "-stats"}).out.substr(0, 58),
            "Archive statistics:\n    3 file entries\n    2 active files\n");
  const auto before = fs::file_size(arc);
  ExpectResult(Run({"test.arc", "-compact"}), 0, "", "");
  EXPECT_EQ(fs::file_size(arc), before - 2 - 44);
  ExpectResult(Run({"test.arc", "-extract", "out"}), 0, "(1 / 2) a\n(2 / 2) d\n", "");
  EXPECT_EQ(ReadText(dir / "out/a") + ReadText(dir / "out/d"), "1333");
}

TEST_F(Tool, ExtractAllOneOrAMissingName) {
  const std::string big(300000, 'z');
  Write(RawArchiveBuilder().Stored("a.txt", "alpha").Removed(8).Compressed("s/b.bin", big).Build());
  ExpectResult(Run({"test.arc", "-extract", "out"}), 0,
               "(1 / 3) a.txt\n(2 / 3) (removed)\n(3 / 3) s/b.bin\n", "");
  EXPECT_EQ(ReadText(dir / "out/a.txt"), "alpha");
  EXPECT_TRUE(ReadText(dir / "out/s/b.bin") == big);
  ExpectResult(Run({"test.arc", "-extract", "one", "S\\B.BIN", "ignored"}), 0, "", "");
  EXPECT_TRUE(ReadText(dir / "one/s/b.bin") == big);
  EXPECT_FALSE(fs::exists(dir / "one/a.txt"));
  ExpectResult(Run({"test.arc", "-extract", "one", "No/Such.TXT"}), 0, "",
               "file: No/Such.TXT not found in archive.\n");
}

TEST_F(Tool, ExtractNamesEachDamagedFileAndExitsWithOne) {
  RawArchive raw = RawArchiveBuilder().Stored("good", "fine").Stored("bad", "spoilt").Build();
  raw.entries[1].checksum ^= 1;
  Write(raw);
  ExpectResult(Run({"test.arc", "-extract", "out"}), 1, "(1 / 2) good\n(2 / 2) bad\n",
               "Failed to extract bad.\n");
  EXPECT_EQ(ReadText(dir / "out/good"), "fine");
  ExpectResult(Run({"test.arc", "-extract", "out", "BAD"}), 1, "", "Failed to extract BAD.\n");
}

std::string LargeFileName(int i) { return "d" + std::to_string(i % 10) + "/f" + std::to_string(i); }
std::string LargeFileContent(int i) {
  std::string content(8192, '\0');
  for (size_t k = 0; k < content.size(); ++k) content[k] = static_cast<char>((i * 31 + k) % 251);
  return content;
}

// SIGINT during a long extraction: the file in hand is finished, every file
// announced is whole, the index is written back unchanged, exit 130.
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

  std::istringstream lines(r.out);
  std::string line;
  int reported = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("Command completed in ", 0) == 0) continue;
    ASSERT_EQ(line, "(" + std::to_string(reported + 1) + " / " + std::to_string(kFiles) + ") " +
                        LargeFileName(reported));
    ASSERT_TRUE(ReadText(dir / ("out/" + LargeFileName(reported))) == LargeFileContent(reported))
        << line;
    ++reported;
  }
  EXPECT_GT(reported, 0);
  EXPECT_LT(reported, kFiles);
  EXPECT_EQ(ReadWholeFile(arc), original);
  GAME::Archive archive;
  ASSERT_TRUE(archive.Open(arc.c_str(), GAME::Archive::ModeRead));
  EXPECT_EQ(archive.GetNumFiles(), static_cast<unsigned>(kFiles));
}

}  // namespace
