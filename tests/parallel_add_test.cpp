// Parallel packing: adding with several workers writes byte for byte the
// archive of a single worker, prints the same lines and fails the same way;
// an interrupt of "-add" or "-extract" keeps only whole, reported files.
#include <filesystem>
#include <sstream>

#include "support/TestSystem.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"
#include "tool/Import.h"

namespace {

using namespace testing_support;
namespace stdfs = std::filesystem;

// The archive follows the format (every active file intact); its entry count.
size_t ExpectSound(const std::vector<unsigned char>& bytes) {
  RawArchive raw;
  EXPECT_TRUE(RawArchive::Parse(bytes, raw));
  EXPECT_EQ(FormatProblem(raw), "");
  return raw.entries.size();
}

// More than the 4 MiB of parts kept in memory: staged at the end of the data area.
std::string Big(unsigned seed) { return Noise(4300000, seed); }

// A file put below the case's base directory with a fixed last-write time
// (path and content), or the tool run on the case's archive (args).
struct Step {
  std::string path, content;
  Args args = {};
  time_t time = 1600000000;
};
struct Case {
  std::vector<Step> steps;
  size_t entries;  // left in the archive: fewer than added when slots are reused
};

std::vector<Case> Cases() {
  const auto path = [](int i) {
    return "t/d" + std::to_string(i % 7) + "/e" + std::to_string(i % 3) + "/f" + std::to_string(i);
  };
  std::vector<Step> small;
  for (int i = 0; i < 60; ++i) {
    small.push_back({path(i), Noise(200 + i * 13, i, 20), {}, 1600000000 + i});
  }
  small.insert(small.end(), {{"t/empty", ""}, {"t/d1/empty", ""}, {"", "", {"-add", "t"}},
                             {"", "", {"-add", "t"}}, {"", "", {"-add", "t/gone/*"}}});
  // Newer and shorter: update and replace reuse the slots (and entries) they free.
  for (int i = 0; i < 60; i += 3) small.push_back({path(i), Text(i * 3), {}, 1700000000});
  small.insert(small.end(), {{"", "", {"-update", "t"}}, {"", "", {"-replace", "t/*1", "9"}}});
  return {
      {small, 62},  // and a FIFO that cannot be read
      // A large file is staged at the end of the data area and left there
      // (one moved into a removed slot is tried with the failing writes).
      // At level 9 twenty letters: three would take zlib a second.
      {{{"t/text", Text(700000)}, {"t/edge", Text(kBlock + 1)}, {"t/noise", Noise(600000, 3)},
        {"t/empty", ""}, {"t/big", Big(1)}, {"", "", {"-add", "t", "1"}},
        {"u/text", Noise(700000, 6, 20)}, {"", "", {"-add", "u", "9"}},
        {"one", Noise(300000, 4)}, {"", "", {"-add", "one"}}},
       7},
  };
}

class ParallelAdd : public ToolTest {};

TEST_F(ParallelAdd, ArchiveAndOutputAreThoseOfOneWorker) {
  stdfs::create_directories(dir / "c0/t");
  ASSERT_TRUE(testing_support::kWindows || testing_support::MakeFifo(dir / "c0/t/fifo"));
  const std::vector<Case> cases = Cases();
  for (size_t c = 0; c < cases.size(); ++c) {
    const std::string base = {'c', char('0' + c)};
    std::string outputs[2];
    for (int w = 0; w < 2; ++w) {
      SetEnvironment("KORVAT_THREADS", w ? "3" : "1");
      const std::string archive = base + (w ? "w1.arc" : "w0.arc");
      for (const Step& s : cases[c].steps) {
        if (s.args.empty()) Put(base + "/" + s.path, s.content, s.time);
        if (s.args.empty()) continue;
        Args args = {archive, s.args[0], s.args[1], base};
        args.insert(args.end(), s.args.begin() + 2, s.args.end());
        const ToolResult r = Run(args);
        outputs[w] += std::to_string(r.exitCode) + r.out.substr(0, r.out.find("Command")) + r.err;
      }
      outputs[w] += Text(archive);
    }
    SetEnvironment("KORVAT_THREADS", nullptr);
    EXPECT_TRUE(outputs[1] == outputs[0]) << c;
    EXPECT_EQ(ExpectSound(ReadWholeFile(dir / (base + "w0.arc"))), cases[c].entries);
  }
}

// Adds the directory t below dir at level 1 over fs to the archive run.arc,
// which first holds initial: what was returned and printed, and the bytes left.
std::string AddOver(const ScratchDir& dir, const platform::FileSystem& fs,
                    const RawArchive& initial, unsigned workers) {
  const std::string path = dir / "run.arc";
  stdfs::remove(path + "-journal");
  WriteWholeFile(path, initial.Bytes());
  Archive archive(fs);
  EXPECT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool added =
      tool::ImportPath(fs, archive, "t", dir.Path().string().c_str(), 1, tool::ImportAdd, workers);
  const std::string closed = archive.Close(false) ? "closed " : "open ";
  std::vector<unsigned char> bytes = ReadWholeFile(path);
  // A change left marked carries its random token.
  if (bytes.size() >= 44) std::fill(bytes.begin() + 36, bytes.begin() + 44, 0);
  return closed + std::to_string(added) + std::to_string(stdfs::exists(path + "-journal")) +
         testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr() +
         std::string(bytes.begin(), bytes.end());
}

// Every write of an add fails in turn, wholly or halfway (by turns): the file
// it was for is withdrawn and reported, exactly as with a single worker. The
// large file is staged at the end of the data area and then copied into a
// removed slot; the small ones are appended. A fault at the last write leaves
// every byte before it to compare.
TEST(ParallelAddFaults, FailedWriteWithdrawsTheEntryAsWithOneWorker) {
  ScratchDir dir;
  const std::pair<const char*, std::string> tree[] = {
      {"t/x", Text(3000)}, {"t/b", Big(3)}, {"t/c", Text(300000)}};
  stdfs::create_directories(dir / "t");
  for (const auto& [name, content] : tree)
    WriteWholeFile(dir / name, {content.begin(), content.end()});
  const RawArchive initial = RawArchiveBuilder().Stored("kept", "x").Removed(4400000).Build();
  FaultyFileSystem counting;
  ASSERT_TRUE(AddOver(dir, counting, initial, 1).starts_with("closed 10"));
  int failedAdds = 0;
  for (uint64_t nth = 1; nth <= counting.Count(Call::WriteAt); ++nth) {
    const Fault fault = nth % 2 ? Fault::Short : Fault::Fail;
    SCOPED_TRACE(testing::Message() << "write " << nth << " fault " << int(fault));
    std::string outcomes[2];
    for (unsigned workers : {1u, 3u}) {
      FaultyFileSystem fs;
      fs.Inject(Call::WriteAt, nth, fault);
      outcomes[workers > 1] = AddOver(dir, fs, initial, workers);
    }
    EXPECT_TRUE(outcomes[1] == outcomes[0]);
    failedAdds += outcomes[0].find("Failed to add") != std::string::npos;
    if (outcomes[0].starts_with("closed")) ExpectSound(ReadWholeFile(dir / "run.arc"));
  }
  EXPECT_GT(failedAdds, 2);
}

// SIGINT during a long "-extract" or "-add", with one worker or several: the
// files in hand are finished, the archive closed normally, exit 130. The lines
// come in order; every file reported is whole and on disk or in the archive,
// and no other is. The files share one directory, so an import must check
// between files, not directories.
TEST_F(ParallelAdd, InterruptKeepsExactlyTheReportedFilesWhole) {
  if (testing_support::kWindows) GTEST_SKIP() << "Linux only: SIGINT (Wine cannot send Ctrl-C)";
  RawArchiveBuilder builder;
  for (size_t i = 0; i < 2000; ++i) {
    const std::string name = std::string("f").append(std::to_string(i)),
                      content = Noise(3000 + i, unsigned(i), i % 3 ? 256 : 4);
    i % 2 ? builder.Compressed(name, content) : builder.Stored(name, content);
    Put("tree/" + name, content);
  }
  Put("full.arc", builder.Build());
  for (const char* workers : {"1", "3"}) {
    SetEnvironment("KORVAT_THREADS", workers);
    for (const Args& args :
         {Args{"full.arc", "-extract", "out"}, Args{"new.arc", "-add", "tree", "."}}) {
      SCOPED_TRACE(args[1] + " with " + workers);
      const bool add = args[1] == "-add";
      stdfs::remove_all(dir / "out");
      stdfs::remove(dir / "new.arc");
      const ToolResult r = Run(args, {.signalOnOutput = SIGINT});
      EXPECT_EQ(std::tie(r.exitCode, r.err), std::make_tuple(128 + SIGINT, std::string()));
      EXPECT_TRUE(!add || Run({"new.arc", "-extract", "out"}).exitCode == 0);  // checksums verified
      std::istringstream lines(r.out);
      size_t count = 0;
      for (std::string line; std::getline(lines, line) && line.rfind("Command", 0) != 0; ++count) {
        const std::string number = std::to_string(count + 1),
                          prefix = add ? "added: " : "(" + number + " / 2000) ";
        const std::string file = line.substr(prefix.size());
        ASSERT_TRUE(line.starts_with(prefix) &&
                    (add || (file[0] == 'f' && file.substr(1) == std::to_string(count))))
            << line;
        ASSERT_TRUE(Text("out/" + file) == Text(add ? file : "tree/" + file)) << file;
      }
      EXPECT_TRUE(count > 0 && count < 2000) << count;
      EXPECT_EQ(std::count_if(stdfs::recursive_directory_iterator(dir / "out"), {},
                              [](const auto& e) { return e.is_regular_file(); }),
                long(count));
    }
  }
  SetEnvironment("KORVAT_THREADS", nullptr);
}

}  // namespace
