// Parallel packing: an import with several workers writes byte for byte the
// archive of a single worker, prints the same lines and fails the same way;
// an interrupted parallel "-add" keeps every file it reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/Packer.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"
#include "tool/Import.h"

namespace {

using namespace testing_support;
namespace stdfs = std::filesystem;

// One thing a scenario does, in a run directory of its own.
struct Step {
  enum Kind { Put, Fifo, Remove, Import } kind;
  std::string path;  // relative to the run directory; Remove: the stored name
  std::string content;
  int mode = tool::ImportAdd;
  int level = 6;
  long seconds = 0;  // Put: the file's last-write time, after a fixed date
};

Step PutStep(const std::string& path, std::string content, long seconds = 0) {
  return {Step::Put, path, std::move(content), 0, 0, seconds};
}
Step OtherStep(Step::Kind kind, const std::string& path) { return {kind, path, ""}; }
Step ImportStep(const std::string& path, int mode = tool::ImportAdd, int level = 6) {
  return {Step::Import, path, "", mode, level};
}

void WriteFile(const std::string& path, const std::string& content, long seconds) {
  stdfs::create_directories(stdfs::path(path).parent_path());
  std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
  const timespec times[2] = {{1600000000 + seconds, 0}, {1600000000 + seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::vector<unsigned char> BytesIfAny(const std::string& path) {
  return stdfs::exists(path) ? ReadWholeFile(path) : std::vector<unsigned char>{};
}

struct Outcome {
  std::vector<bool> results;  // of each import
  bool closed = false;
  std::string out, err;
  std::vector<unsigned char> archive, journal;
};

// Performs the steps in dir/name over fs, on the archive dir/name.arc (first
// holding initial's bytes when given).
Outcome Perform(const ScratchDir& dir, const std::string& name, const std::vector<Step>& steps,
                unsigned workers, const platform::FileSystem& fs = platform::NativeFileSystem(),
                const RawArchive* initial = nullptr) {
  const std::string root = dir / name, path = root + ".arc";
  stdfs::create_directories(root);
  stdfs::remove(path);
  stdfs::remove(path + "-journal");
  if (initial != nullptr) WriteWholeFile(path, initial->Bytes());
  Outcome o;
  Archive archive(fs);
  EXPECT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const Step& s : steps) {
    const std::string file = root + "/" + s.path;
    if (s.kind == Step::Put) WriteFile(file, s.content, s.seconds);
    if (s.kind == Step::Fifo) {
      EXPECT_EQ(mkfifo(file.c_str(), 0600), 0);
    }
    if (s.kind == Step::Remove) {
      EXPECT_TRUE(archive.RemoveFile(archive.FindFile(s.path.c_str())));
    }
    if (s.kind == Step::Import) {
      o.results.push_back(
          tool::ImportPath(fs, archive, s.path.c_str(), root.c_str(), s.level, s.mode, workers));
    }
  }
  o.closed = archive.Close(false);
  o.out = testing::internal::GetCapturedStdout();
  o.err = testing::internal::GetCapturedStderr();
  o.archive = BytesIfAny(path);
  o.journal = BytesIfAny(path + "-journal");
  return o;
}

void ExpectSame(const Outcome& many, const Outcome& one) {
  EXPECT_EQ(many.results, one.results);
  EXPECT_EQ(many.closed, one.closed);
  EXPECT_EQ(many.out, one.out);
  EXPECT_EQ(many.err, one.err);
  const auto differ = std::mismatch(many.archive.begin(), many.archive.end(),
                                    one.archive.begin(), one.archive.end());
  EXPECT_TRUE(many.archive == one.archive)
      << "archives differ from byte " << differ.first - many.archive.begin();
  EXPECT_TRUE(many.journal == one.journal) << "journals differ";
}

// The archive opens, follows the format and every active file in it is
// intact.
void ExpectSound(const std::string& path) {
  RawArchive raw;
  ASSERT_TRUE(RawArchive::Parse(ReadWholeFile(path), raw));
  EXPECT_EQ(FormatProblem(raw), "");
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  for (int i = 0; i < int(archive.GetNumFiles()); ++i) {
    std::string reason;
    EXPECT_TRUE(!(archive.GetFileEntry(i).flags & 1) || archive.VerifyFile(i, &reason)) << reason;
  }
}

// Large files that do not compress: more than the 4 MiB of parts kept in
// memory, so they are staged at the end of the data area.
const std::string& Big(int which) {
  static const std::string big[] = {Noise(6 << 20, 11), Noise(5 << 20, 12), Noise(4300000, 13)};
  return big[which - 1];
}

std::vector<Step> ManySmallFiles() {
  std::vector<Step> steps;
  for (int i = 0; i < 300; ++i) {
    const std::string dir = "t/d" + std::to_string(i % 7) + "/e" + std::to_string(i % 3);
    steps.push_back(PutStep(dir + "/f" + std::to_string(i), Noise(200 + i * 13, i, 20), i));
  }
  steps.push_back(PutStep("t/empty", ""));
  steps.push_back(PutStep("t/d1/empty", ""));
  steps.push_back(ImportStep("t"));
  steps.push_back(ImportStep("t"));  // again: nothing added
  return steps;
}

struct Case {
  const char* what;
  std::vector<Step> steps;
  std::function<void(const Archive&, const Outcome&)> check;
};

int OffsetOf(const Archive& a, const char* name) {
  const int index = a.FindFile(name);
  return index < 0 ? -1 : int(a.GetFileEntry(index).offset);
}

std::vector<Case> Cases() {
  const std::string text = Text(700000);  // three parts
  return {
      {"many small and empty files", ManySmallFiles(),
       [](const Archive& a, const Outcome& o) {
         EXPECT_EQ(a.GetNumFiles(), 302u);
         EXPECT_EQ(o.results, (std::vector<bool>{true, true}));
       }},
      {"large multi-part files, level 1 and 9, and one by itself",
       {PutStep("t/big1", Big(1)), PutStep("t/text", text), PutStep("t/edge", Text(kBlock + 1)),
        PutStep("t/empty", ""), ImportStep("t", tool::ImportAdd, 1),
        PutStep("u/text", text), PutStep("u/big3", Big(3)), ImportStep("u", tool::ImportAdd, 9),
        PutStep("one", Big(1).substr(0, 3000000)), ImportStep("one")},
       [](const Archive& a, const Outcome&) {
         EXPECT_EQ(a.GetNumFiles(), 7u);
         EXPECT_EQ(a.GetFileEntry(a.FindFile("t/edge")).numParts, 2u);
       }},
      {"a large file streamed into a removed slot, another appended",
       {PutStep("t/big1", Big(1)), PutStep("t/small", "small"), ImportStep("t"),
        OtherStep(Step::Remove, "t/big1"), PutStep("u/big2", Big(2)), PutStep("u/big3", Big(3)),
        ImportStep("u")},
       [](const Archive& a, const Outcome&) {
         EXPECT_EQ(OffsetOf(a, "u/big2"), 2048);  // big1's slot
         EXPECT_GT(OffsetOf(a, "u/big3"), OffsetOf(a, "t/small"));
       }},
      {"update and replace reuse removed slots",
       [&] {
         std::vector<Step> steps;
         for (int i = 0; i < 40; ++i) {
           steps.push_back(PutStep("t/f" + std::to_string(i), Text(1000 + 9000 * (i % 5)), 10));
         }
         steps.push_back(PutStep("t/big", Big(3), 10));
         steps.push_back(ImportStep("t"));
         for (int i = 0; i < 40; i += 3) {
           steps.push_back(PutStep("t/f" + std::to_string(i), Text(500 + 300 * i), 20));
         }
         steps.push_back(PutStep("t/big", Big(2).substr(0, 4500000), 20));
         steps.push_back(ImportStep("t", tool::ImportUpdate));
         steps.push_back(ImportStep("t/*1", tool::ImportReplace, 9));
         return steps;
       }(),
       [](const Archive& a, const Outcome& o) {
         EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 41 + 15 + 4);
         size_t removed = 0;
         for (unsigned i = 0; i < a.GetNumFiles(); ++i) removed += !(a.GetFileEntry(i).flags & 1);
         EXPECT_GT(removed, 0u);
         EXPECT_LT(a.GetNumFiles(), 41u + 15 + 4);  // some slots were reused
       }},
      {"files that cannot be read",
       {PutStep("t/a", "alpha"), OtherStep(Step::Fifo, "t/fifo"), PutStep("t/z", Text(300000)),
        ImportStep("t"), ImportStep("t/gone/*", tool::ImportAdd)},
       [](const Archive& a, const Outcome& o) {
         EXPECT_EQ(a.GetNumFiles(), 2u);
         EXPECT_EQ(o.err, "Failed to add t/fifo\n");
         EXPECT_EQ(o.results, (std::vector<bool>{false, true}));
       }},
  };
}

TEST(ParallelAdd, ArchiveAndOutputAreThoseOfOneWorker) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const Outcome one = Perform(dir, "one", c.steps, 1);
    for (unsigned workers : {2u, 5u}) {
      SCOPED_TRACE(workers);
      ExpectSame(Perform(dir, "w" + std::to_string(workers), c.steps, workers), one);
    }
    ExpectSound(dir / "one.arc");
    Archive archive;
    ASSERT_TRUE(archive.Open((dir / "one.arc").c_str(), Archive::ModeRead));
    c.check(archive, one);
  }
}

// Every write of an add fails in turn, wholly or halfway: the file it was
// for is withdrawn and reported, exactly as with a single worker. The large
// file is staged at the end of the data area and then copied into a removed
// slot; the small ones are appended.
TEST(ParallelAdd, FailedWriteWithdrawsTheEntryAsWithOneWorker) {
  const std::vector<Step> tree = {PutStep("t/x", Text(3000)), PutStep("t/b", Big(3)),
                                  PutStep("t/c", Text(300000))};
  const std::vector<Step> add = {ImportStep("t", tool::ImportAdd, 1)};
  const RawArchive initial = RawArchiveBuilder().Stored("kept", "x").Removed(4400000).Build();
  ScratchDir dir;
  Perform(dir, "run", tree, 1);
  FaultyFileSystem counting;
  const Outcome clean = Perform(dir, "run", add, 1, counting, &initial);
  ASSERT_EQ(clean.results, std::vector<bool>{true});
  const uint64_t writes = counting.Count(FaultyFileSystem::Call::WriteAt);
  int failedAdds = 0;
  for (uint64_t nth = 1; nth <= writes; ++nth) {
    for (FaultyFileSystem::Fault fault :
         {FaultyFileSystem::Fault::Fail, FaultyFileSystem::Fault::Short}) {
      SCOPED_TRACE(testing::Message() << "write " << nth << " fault " << int(fault));
      Outcome outcomes[2];
      for (unsigned workers : {1u, 3u}) {
        FaultyFileSystem fs;
        fs.Inject(FaultyFileSystem::Call::WriteAt, nth, fault);
        outcomes[workers > 1] = Perform(dir, "run", add, workers, fs, &initial);
      }
      ExpectSame(outcomes[1], outcomes[0]);
      failedAdds += outcomes[0].err.find("Failed to add") != std::string::npos;
      if (outcomes[1].closed) ExpectSound(dir / "run.arc");
    }
  }
  EXPECT_GT(failedAdds, 4) << writes << " writes";
}

// A file dropped halfway and one never read leave the pipeline sound; the
// files after them arrive whole, and dropping the packer with files still
// queued does not hang.
TEST(ParallelAdd, PackerSurvivesDroppedFiles) {
  ScratchDir dir;
  const std::string small = Text(5000);
  WriteFile(dir / "big", Big(1), 0);
  WriteFile(dir / "small", small, 0);
  Archive archive;
  ASSERT_TRUE(archive.Open((dir / "a.arc").c_str(), Archive::ModeWrite));
  {
    GAME::Packer packer(platform::NativeFileSystem(), 6, 3);
    for (const char* name : {"big", "small", "big", "small", "missing", "big", "small"}) {
      packer.Submit(dir / name);
    }
    GAME::PackedBlock block;
    std::unique_ptr<GAME::PackedFile> file = packer.Next();
    EXPECT_TRUE(file->Opened() && file->NextBlock(block) && block.realSize == kBlock);
    file = packer.Next();  // the big one is dropped after one block
    EXPECT_EQ(archive.AddPackedFile(*file), 0);
    file = packer.Next();  // dropped unread
    file = packer.Next();
    EXPECT_EQ(archive.AddPackedFile(*file), -1);  // the name is taken
    file = packer.Next();
    EXPECT_FALSE(file->Opened());
    EXPECT_EQ(archive.AddPackedFile(*file), -1);
  }
  std::string content(small.size(), '\0');
  EXPECT_TRUE(archive.ExtractFileToMemory(0, reinterpret_cast<unsigned char*>(content.data()),
                                          unsigned(content.size())));
  EXPECT_EQ(content, small);
  EXPECT_EQ(archive.GetFileEntry(0).checksum, Adler32Of(small));
}

// SIGINT during a parallel "-add": exit 130, and the archive holds exactly
// the files reported, each whole.
class ParallelAddTool : public ToolTest {};

TEST_F(ParallelAddTool, InterruptedAddKeepsExactlyTheReportedFiles) {
  for (int i = 0; i < 2000; ++i) Put("tree/f" + std::to_string(i), testing_support::Text(3000 + i));
  ASSERT_EQ(setenv("KORVAT_THREADS", "3", 1), 0);
  const ToolResult r = Run({"new.arc", "-add", "tree", ".", "6"}, {.signalOnOutput = SIGINT});
  unsetenv("KORVAT_THREADS");
  EXPECT_EQ(r.exitCode, 128 + SIGINT);
  EXPECT_EQ(r.err, "");
  std::istringstream lines(r.out);
  std::string listed;
  size_t count = 0;
  for (std::string line; std::getline(lines, line) && line.rfind("added: ", 0) == 0; ++count) {
    listed += line.substr(7) + "\n";
  }
  EXPECT_TRUE(count > 0 && count < 2000) << count;
  Expect({"new.arc", "-list"}, 0, listed);
  EXPECT_EQ(Run({"new.arc", "-verify"}).exitCode, 0);
}

}  // namespace
