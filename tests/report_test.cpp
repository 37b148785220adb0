// The multi-archive report: whole report files compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "tool/Report.h"

namespace {

using testing_support::RawArchive;
using testing_support::RawEntry;
using testing_support::ReadWholeFile;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

// An entry as its index record claims it: stored when both sizes agree,
// compressed when they differ, removed when it has no name.
struct Claim {
  std::string name;
  uint32_t realSize;
  uint32_t storedSize;
};

// Writes an archive whose index claims the entries without their data: the
// data region is left a hole, so entries of gigabytes cost no disk space.
void WriteClaims(const std::string& path, const std::vector<Claim>& claims) {
  RawArchive a;
  for (const Claim& c : claims) {
    RawEntry e;
    e.flags = c.name.empty() ? 0 : c.realSize == c.storedSize ? 1 : 3;
    e.offset = a.header.indexOffset;
    e.storedSize = c.storedSize;
    e.realSize = c.realSize;
    e.firstPart = static_cast<uint32_t>(a.parts.size());
    e.nameOffset = static_cast<uint32_t>(a.nameTable.size());
    e.nameLength = static_cast<uint32_t>(c.name.size());
    if (e.flags == 3) e.numParts = (c.realSize + 262143) / 262144;
    for (uint32_t k = 0; k < e.numParts; ++k) {
      const uint32_t stored = c.storedSize / e.numParts + (k < c.storedSize % e.numParts);
      const uint32_t offset = k == 0 ? e.offset : a.parts.back().offset + a.parts.back().storedSize;
      a.parts.push_back({offset, stored, std::min(262144u, c.realSize - k * 262144)});
    }
    if (!c.name.empty()) a.nameTable += c.name + '\0';
    a.entries.push_back(e);
    a.header.indexOffset += c.storedSize;
  }
  a.header.numEntries = static_cast<uint32_t>(a.entries.size());
  a.header.numParts = static_cast<uint32_t>(a.parts.size());
  a.header.partTableSize = 12 * a.header.numParts;
  a.header.nameTableSize = static_cast<uint32_t>(a.nameTable.size());
  const std::vector<unsigned char> bytes = a.Bytes();  // header, then the index
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), 2048, 0), 2048);
  const auto indexSize = static_cast<ssize_t>(bytes.size() - 2048);
  ASSERT_EQ(pwrite(fd, bytes.data() + 2048, bytes.size() - 2048, a.header.indexOffset), indexSize);
  ASSERT_EQ(close(fd), 0);
}

const std::string kRule = std::string(78, '=') + "\r\n";

// A whole report from its rows, given without their line ends.
std::string Report(const std::vector<std::string>& typeRows, const std::string& total,
                   const std::vector<std::string>& archiveRows) {
  std::string text = "\r\n" + kRule +
                     " Type      Count       Size    Compressed Size    Compression   Avg. Size\r\n" +
                     kRule;
  for (const std::string& row : typeRows) text += row + "\r\n";
  text += kRule + total + "\r\n\r\n\r\n" + kRule +
          " Archive File       Num Files       File Size      Fragmentation\r\n" + kRule;
  for (const std::string& row : archiveRows) text += row + "\r\n";
  return text;
}

class TotalStats : public ::testing::Test {
 protected:
  // Runs the report over the patterns and returns what it wrote.
  std::string Run(std::vector<std::string> patterns,
                  const platform::FileSystem& fs = platform::NativeFileSystem()) {
    std::vector<char*> pointers;
    for (std::string& p : patterns) pointers.push_back(p.data());
    tool::TotalStats(fs, reportPath.c_str(),
                     static_cast<int>(pointers.size()), pointers.data());
    const std::vector<unsigned char> bytes = ReadWholeFile(reportPath);
    return std::string(bytes.begin(), bytes.end());
  }

  ScratchDir dir;
  std::string reportPath = dir / "report.txt";
};

TEST_F(TotalStats, NoArchiveMatchedGivesBothHeadsAndAZeroTotal) {
  EXPECT_EQ(Run({dir / "*.arc"}),
            Report({}, "Total          0       0.00 MB         0.00 MB         0.0         0.0 KB",
                   {}));
}

TEST_F(TotalStats, SumsTypesOverArchivesLargestFirstThenByKey) {
  WriteClaims(dir / "a1.arc", {{"textures.hd/grass.tex", 300000, 120000},
                               {"textures/rock.tex", 100000, 100000},
                               {"readme", 1000, 1000},
                               {"maps.old/readme", 2048, 2048},
                               {"levels/level01.mapdata", 5000, 5000}});
  WriteClaims(dir / "a2.arc", {{"sounds/rain.wav", 2048, 2048},
                               {"", 4096, 4096},
                               {"sounds/wind.snd", 2048, 2048},
                               {"more/sky.tex", 50000, 25000},
                               {"empty.nul", 0, 0}});
  EXPECT_EQ(Run({dir / "*.arc"}),
            Report({" .tex          3       0.43 MB         0.23 MB        45.6       146.5 KB",
                    ".mapdata          1       0.00 MB         0.00 MB         0.0         4.9 KB",
                    ".old/readme          1       0.00 MB         0.00 MB         0.0         2.0 KB",
                    " .snd          1       0.00 MB         0.00 MB         0.0         2.0 KB",
                    " .wav          1       0.00 MB         0.00 MB         0.0         2.0 KB",
                    "               1       0.00 MB         0.00 MB         0.0         1.0 KB",
                    " .nul          1       0.00 MB         0.00 MB         0.0         0.0 KB"},
                   "Total          9       0.44 MB         0.24 MB        44.5        49.9 KB",
                   {"a1.arc                      5            0.22 MB,      0.0%",
                    "a2.arc                      5            0.03 MB,     20.0%"}));
}

TEST_F(TotalStats, ListsAnEmptyFileAsAnEmptyArchiveAndSkipsWhatDoesNotOpen) {
  WriteClaims(dir / "b.arc", {{"x.dat", 3072, 3072}});
  WriteWholeFile(dir / "empty.arc", {});
  WriteWholeFile(dir / "junk.arc", {'n', 'o', 't', ' ', 'a', 'n', ' ', 'a', 'r', 'c'});
  std::filesystem::create_directory(dir / "folder.arc");
  EXPECT_EQ(Run({dir / "*.arc"}),
            Report({" .dat          1       0.00 MB         0.00 MB         0.0         3.0 KB"},
                   "Total          1       0.00 MB         0.00 MB         0.0         3.0 KB",
                   {"b.arc                       1            0.00 MB,      0.0%",
                    "empty.arc                   0            0.00 MB,      0.0%"}));
}

TEST_F(TotalStats, PatternWithoutStarLeavesTheReportEmpty) {
  WriteClaims(dir / "a.arc", {{"x.dat", 10, 10}});
  for (const std::string& bad : {dir / "a.arc", dir / "?.arc"}) {
    WriteWholeFile(reportPath, {'o', 'l', 'd'});
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run({dir / "*.arc", bad}), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid path: " + bad + "\n");
  }
}

TEST_F(TotalStats, MatchesLieInThePatternsDirectoryWhateverPrecedesTheStar) {
  std::filesystem::create_directory(dir / "sub");
  WriteClaims(dir / "sub/ab.arc", {{"x.dat", 2048, 2048}});
  WriteClaims(dir / "sub/b.arc", {{"y.dat", 2048, 2048}});
  for (const char* pattern : {"/sub/a*.arc", "/sub\\a*.arc"}) {
    EXPECT_EQ(Run({dir.Path().string() + pattern}),
              Report({" .dat          1       0.00 MB         0.00 MB         0.0         2.0 KB"},
                     "Total          1       0.00 MB         0.00 MB         0.0         2.0 KB",
                     {"ab.arc                      1            0.00 MB,      0.0%"}))
        << pattern;
  }
}

TEST_F(TotalStats, ReportThatCannotBeCreatedIsSkippedSilently) {
  reportPath = dir / "missing/report.txt";
  testing::internal::CaptureStderr();
  Run({dir / "*.arc"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(std::filesystem::exists(reportPath));
}

TEST_F(TotalStats, FailedWriteIsReportedWithTheReportsName) {
  testing_support::FaultyFileSystem fs;
  fs.Inject(testing_support::FaultyFileSystem::Call::WriteAt, 1);
  testing::internal::CaptureStderr();
  Run({dir / "*.arc"}, fs);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Failed to write report file " + reportPath + ".\n");
}

TEST_F(TotalStats, SumsBeyond4GiBDoNotWrap) {
  WriteClaims(dir / "a1.arc", {{"movie.big", 3000000000u, 3000000000u},
                               {"x.pak", 2500000000u, 1000000000u}});
  WriteClaims(dir / "a2.arc", {{"other.big", 3000000000u, 3000000000u},
                               {"y.pak", 2500000000u, 1000000000u}});
  EXPECT_EQ(Run({dir / "*.arc"}),
            Report({" .big          2    5722.05 MB      5722.05 MB         0.0   2929687.5 KB",
                    " .pak          2    4768.37 MB      1907.35 MB        60.0   2441406.2 KB"},
                   "Total          4   10490.42 MB      7629.39 MB        27.3   2685546.8 KB",
                   {"a1.arc                      2         3814.81 MB,      0.0%",
                    "a2.arc                      2         3814.81 MB,      0.0%"}));
}

}  // namespace
