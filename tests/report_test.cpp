// The multi-archive report ("-totalStats"), compared byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "archive/Archive.h"
#include "support/TestSystem.h"
#include "support/ToolRunner.h"

namespace {

using namespace testing_support;
using TotalStats = ToolTest;
using Claim = std::tuple<std::string, uint32_t, uint32_t>;  // name, real size, stored size

// Writes an index claiming entries over a hole: compressed in one part when
// the sizes differ, removed without a name.
void WriteClaims(const std::string& path, const std::vector<Claim>& claims) {
  RawArchive a;
  for (const auto& [name, real, stored] : claims) {
    const uint32_t flags = name.empty() ? 0 : real == stored ? 1 : 3, parts = flags == 3;
    a.entries.push_back({flags, a.header.indexOffset, stored, real, 0, 0, 0, parts,
                         uint32_t(a.parts.size()), uint32_t(name.size()),
                         uint32_t(a.nameTable.size())});
    if (parts != 0) a.parts.push_back({a.header.indexOffset, stored, real});
    if (!name.empty()) a.nameTable += name + '\0';
    a.header.indexOffset += stored;
  }
  a.Recount();
  WriteSparse(path, a);
}

// A whole report from its rows, given without line ends.
std::string Report(const std::vector<std::string>& typeRows, const std::string& total,
                   const std::vector<std::string>& archiveRows) {
  const std::string rule = std::string(78, '=') + "\r\n";
  std::string text =
      "\r\n" + rule +
      " Type      Count       Size    Compressed Size    Compression   Avg. Size\r\n" + rule;
  for (const std::string& row : typeRows) text += row + "\r\n";
  text += rule + total + "\r\n\r\n\r\n" + rule +
          " Archive File       Num Files       File Size      Fragmentation\r\n" + rule;
  for (const std::string& row : archiveRows) text += row + "\r\n";
  return text;
}

// Types by size, then key; a type runs from the last "." (also in a directory);
// sums pass 4 GiB. A removed entry counts only in its archive. An empty file is
// an empty archive; what does not open is named, left out, and makes the exit
// code 1. Matches lie in the pattern's directory whatever precedes its "*". A
// pattern without "*" empties the report.
TEST_F(TotalStats, ReportsEveryMatchedArchiveByTypeAndByArchive) {
  std::filesystem::create_directory(dir / "sub");
  WriteClaims(dir / "sub/a1.arc", {{"movie.big", 3000000000u, 3000000000u},
                                   {"sky.tex", 50000, 25000}, {"readme", 1024, 1024},
                                   {"maps.old/readme", 2048, 2048}, {"", 4096, 4096}});
  WriteClaims(dir / "sub/a2.arc", {{"other.big", 3000000000u, 3000000000u},
                                   {"level.mapdata", 2048, 2048}, {"empty.nul", 0, 0}});
  Put("sub/a3.arc", "");
  Put("sub/a4.arc", "not an archive");
  std::filesystem::create_directory(dir / "sub/a5.arc");
  const std::string all =
      Report({" .big          2    5722.05 MB      5722.05 MB         0.0   2929687.5 KB",
              " .tex          1       0.05 MB         0.02 MB        50.0        48.8 KB",
              ".mapdata          1       0.00 MB         0.00 MB         0.0         2.0 KB",
              ".old/readme          1       0.00 MB         0.00 MB         0.0         2.0 KB",
              "               1       0.00 MB         0.00 MB         0.0         1.0 KB",
              " .nul          1       0.00 MB         0.00 MB         0.0         0.0 KB"},
             "Total          7    5722.10 MB      5722.07 MB         0.0    837061.1 KB",
             {"a1.arc                      5         2861.06 MB,     20.0%",
              "a2.arc                      3         2861.03 MB,      0.0%",
              "a3.arc                      0            0.00 MB,      0.0%"});
  const std::string notArchive = " (it is not an archive or is damaged).\n";
  const std::tuple<std::string, std::string, std::string, int> cases[] = {
      // pattern, report, error, exit code
      {"none*.arc",
       Report({}, "Total          0       0.00 MB         0.00 MB         0.0         0.0 KB", {}),
       "", 0},
      {"sub/a*.arc", all, "Left out of the report: sub/a4.arc" + notArchive, 1},
      {"sub\\a*.arc", all, "Left out of the report: sub\\a4.arc" + notArchive, 1},
      {"a.arc", "", "Invalid path: a.arc\n", 0}};  // the report truncated, left empty
  for (const auto& [pattern, report, err, code] : cases) {
    Expect({"-totalStats", "report.txt", pattern}, code, "", err);
    EXPECT_EQ(Text("report.txt"), report) << pattern;
  }
  if (kWindows) GTEST_SKIP() << "Linux only: a file size limit";
  Expect({"-totalStats", "report.txt", "*.arc"}, 1, "",
         "Failed to write report file report.txt.\nReason: File too large\n",
         {.fileSizeLimit = 100});
  // A report file that cannot be created (a directory).
  Expect({"-totalStats", "sub", "*.arc"}, 1, "",
         "Failed to create report file sub.\nReason: Is a directory\n");
}

// Attack: the report path names an archive another process is writing (or a
// matched archive is held so): the report must not truncate it. The report
// file is refused and left byte for byte; a locked match is named and left
// out while the others are still reported.
TEST_F(TotalStats, NeverTruncatesAFileHeldAsAnArchiveAndReportsEachLeftOut) {
  WriteClaims(dir / "a1.arc", {{"x.tex", 10, 10}});
  WriteClaims(dir / "held.arc", {{"y.tex", 20, 20}});
  const std::vector<unsigned char> held = ReadWholeFile(dir / "held.arc");
  GAME::Archive writer;
  ASSERT_TRUE(writer.Open((dir / "held.arc").c_str(), GAME::Archive::ModeWrite));
  Expect({"-totalStats", "held.arc", "*.txt"}, 1, "",
         "Report file held.arc is locked by another process; it is left as it is.\n");
  EXPECT_EQ(ReadWholeFile(dir / "held.arc"), held);
  Expect({"-totalStats", "report.txt", "*.arc"}, 1, "",
         "Left out of the report: held.arc (it is locked by another process).\n");
  EXPECT_NE(Text("report.txt").find("a1.arc "), std::string::npos);
  EXPECT_EQ(Text("report.txt").find("held.arc"), std::string::npos);
  writer.Close(false);
  EXPECT_EQ(ReadWholeFile(dir / "held.arc"), held);
}

}  // namespace
