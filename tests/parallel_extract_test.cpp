// Extraction and checking with several workers: the same files, bytes and
// output lines as with one; an interrupt leaves only whole, announced files;
// const methods shared by threads; the name index and the table schedule.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/NameIndex.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"

namespace {

namespace fsys = std::filesystem;
using namespace testing_support;

// Sets KORVAT_THREADS for the tools a test starts, and clears it after.
struct Workers {
  explicit Workers(unsigned count) { setenv("KORVAT_THREADS", std::to_string(count).c_str(), 1); }
  ~Workers() { unsetenv("KORVAT_THREADS"); }
};

// Every regular file below root, relative to it, with its bytes.
std::map<std::string, std::string> FilesBelow(const fsys::path& root) {
  std::map<std::string, std::string> files;
  if (!fsys::exists(root)) return files;
  for (const auto& item : fsys::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    const std::vector<unsigned char> bytes = ReadWholeFile(item.path().string());
    files[fsys::relative(item.path(), root).generic_string()] = {bytes.begin(), bytes.end()};
  }
  return files;
}

// Small files in nested directories, empty ones, removed entries, large
// multi-part files stored and compressed, and three damaged entries among
// them: a part that does not inflate (the 3rd of 5), a stored file whose
// checksum does not match, and a compressed one whose checksum does not.
struct Mixed {
  RawArchive archive;
  std::map<std::string, std::string> intact;  // the entries that extract whole
};

Mixed MixedArchive() {
  Mixed m;
  RawArchiveBuilder built;
  const auto add = [&](const std::string& name, const std::string& content, bool compressed) {
    compressed ? built.Compressed(name, content) : built.Stored(name, content);
    m.intact[name] = content;
  };
  for (int i = 0; i < 60; ++i) {
    add("d" + std::to_string(i % 4) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i),
        Noise(100 + i * 37, i, i % 2 ? 3 : 256), i % 2 != 0);
    if (i % 17 == 0) built.Removed(40);
  }
  add("empty/stored", "", false);
  add("empty/compressed", "", true);
  add("large/text", Text(4 * kBlock + 1234), true);
  add("large/noise", Noise(3 * kBlock, 9), true);
  add("large/stored", Noise((5u << 20) / 2, 4), false);
  built.Compressed("bad/part", Text(5 * kBlock - 7));
  built.Stored("bad/stored", "some bytes");
  built.Compressed("bad/sum", Text(2 * kBlock));
  for (int i = 60; i < 80; ++i) add("tail/f" + std::to_string(i), Noise(i, i), i % 2 != 0);

  m.archive = built.Build();
  RawArchive& a = m.archive;
  for (size_t e = 0; e < a.entries.size(); ++e) {
    const std::string name = a.nameTable.substr(a.entries[e].nameOffset, a.entries[e].nameLength);
    if (name == "bad/part") {
      const RawPart& part = a.parts[a.entries[e].firstPart + 2];
      a.data[part.offset - 2048 + part.storedSize / 2] ^= 0x5A;
    }
    if (name == "bad/stored" || name == "bad/sum") a.entries[e].checksum ^= 1;
  }
  return m;
}

class ParallelTool : public ToolTest {};

// Each worker count prints exactly what one worker prints, and leaves the
// same files with the same bytes: every intact entry whole, and the damaged
// ones as far as the sequential writer gets (a part that does not inflate
// cuts the file after the parts before it).
TEST_F(ParallelTool, ExtractAndVerifyGiveTheSameFilesAndLinesWithAnyWorkerCount) {
  const Mixed m = MixedArchive();
  Put("mixed.arc", m.archive);
  ToolResult first, firstVerify;
  std::map<std::string, std::string> firstFiles;
  for (unsigned workers : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(workers);
    const Workers setting(workers);
    const std::string out = "out" + std::to_string(workers);
    const ToolResult r = Run({"mixed.arc", "-extract", out});
    const ToolResult v = Run({"mixed.arc", "-verify"});
    const std::map<std::string, std::string> files = FilesBelow(dir.Path() / out);
    for (const auto& [name, content] : m.intact) {
      ASSERT_TRUE(files.contains(name) && files.at(name) == content) << name;
    }
    if (workers == 1) {
      first = r;
      firstVerify = v;
      firstFiles = files;
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.err, "Failed to extract bad/part.\nFailed to extract bad/stored.\n"
                       "Failed to extract bad/sum.\n");
      EXPECT_TRUE(files.at("bad/part") == testing_support::Text(5 * kBlock - 7).substr(0, 2 * kBlock));
      EXPECT_EQ(v.err,
                "damaged: bad/part (part 3 of 5 does not inflate)\n"
                "damaged: bad/stored (checksum mismatch)\ndamaged: bad/sum (checksum mismatch)\n");
      continue;
    }
    EXPECT_EQ(std::tie(r.exitCode, r.out, r.err), std::tie(first.exitCode, first.out, first.err));
    EXPECT_EQ(std::tie(v.exitCode, v.out, v.err),
              std::tie(firstVerify.exitCode, firstVerify.out, firstVerify.err));
    EXPECT_TRUE(files == firstFiles);
  }
}

// Two stored names that land on one file, or a file where another needs a
// directory: only the order of one worker decides which wins, so that order
// is kept.
TEST_F(ParallelTool, NamesThatLandOnOneFileKeepTheSequentialOutcome) {
  RawArchiveBuilder built;
  built.Stored("a/./b", "first").Stored("a/b", "second").Stored("c", "file");
  built.Stored("c/d", "inside").Stored("e/f", "fine");
  Put("clash.arc", built.Build());
  for (unsigned workers : {1u, 4u}) {
    const Workers setting(workers);
    const std::string out = "out" + std::to_string(workers);
    const ToolResult r = Run({"clash.arc", "-extract", out});
    EXPECT_EQ(r.err, "Failed to extract c/d.\n") << workers;
    EXPECT_EQ(Text(out + "/a/b") + Text(out + "/c") + Text(out + "/e/f"), "secondfilefine");
  }
}

// SIGINT during an extraction with several workers: the lines come in order
// from 1, and the files on disk are exactly the announced ones, each whole.
TEST_F(ParallelTool, AnInterruptLeavesOnlyWholeAnnouncedFiles) {
  const auto name = [](size_t i) { return "g" + std::to_string(i % 7) + "/f" + std::to_string(i); };
  const size_t count = 1500;
  RawArchiveBuilder built;
  std::vector<std::string> contents;
  for (size_t i = 0; i < count; ++i) {
    contents.push_back(Noise(3000 + i % 5000, unsigned(i), i % 3 ? 256 : 4));
    i % 2 ? built.Compressed(name(i), contents.back()) : built.Stored(name(i), contents.back());
  }
  Put("many.arc", built.Build());
  const Workers setting(3);
  const ToolResult r = Run({"many.arc", "-extract", "out"}, {.signalOnOutput = SIGINT});
  EXPECT_EQ(r.exitCode, 128 + SIGINT);
  std::istringstream lines(r.out);
  std::map<std::string, std::string> announced;
  size_t n = 0;
  for (std::string line; std::getline(lines, line) && line.rfind("Command", 0) != 0; ++n) {
    ASSERT_EQ(line, "(" + std::to_string(n + 1) + " / 1500) " + name(n));
    announced[name(n)] = contents[n];
  }
  EXPECT_TRUE(FilesBelow(dir.Path() / "out") == announced) << n << " lines";
}

// Threads share one open archive through its const methods: lookups, reads
// with their own buffers, checks, and extractions into one new directory
// tree that they all create at once.
TEST(ParallelArchive, ConstMethodsServeSeveralThreadsAtOnce) {
  ScratchDir dir;
  const std::string path = dir / "t.arc";
  RawArchiveBuilder built;
  std::vector<std::string> contents;
  for (int i = 0; i < 24; ++i) {
    contents.push_back(Noise(i % 4 == 0 ? 2 * kBlock + i : 500 + i, i, 3));
    built.Compressed("x/y/z/f" + std::to_string(i), contents.back());
  }
  WriteWholeFile(path, built.Build().Bytes());
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    std::vector<int> ok(contents.size(), 0);
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < contents.size(); ++i) {
      threads.emplace_back([&, i] {
        const std::string& want = contents[i];
        const int index = archive.FindFile(("X\\Y/z/F" + std::to_string(i)).c_str());
        std::vector<unsigned char> area(Archive::MaxPartSize() + kBlock);
        Archive::BlockBuffer buffer{Archive::kNoPart, area.data(),
                                    area.data() + Archive::MaxPartSize()};
        std::string read(want.size(), '\0');
        auto* into = reinterpret_cast<unsigned char*>(read.data());
        const bool whole = archive.ReadFromFile(index, into, 0, unsigned(read.size()), &buffer) &&
                           read == want;
        const std::string out = dir / ("out" + std::to_string(int(mode)));
        ok[i] = index == int(i) && whole && archive.VerifyFile(index, nullptr) &&
                archive.ExtractFileParallel(index, out.c_str(), 1 + i % 3);
      });
    }
    threads.clear();
    for (size_t i = 0; i < contents.size(); ++i) {
      EXPECT_TRUE(ok[i]) << i;
      const std::string file = dir / ("out" + std::to_string(int(mode)) + "/x/y/z/f" +
                                      std::to_string(i));
      const std::vector<unsigned char> bytes = ReadWholeFile(file);
      EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == contents[i]) << i;
    }
  }
}

// A compressed entry inflated on several threads ends like one inflated on
// one: the same result and the same bytes left on disk, whatever the damage.
TEST(ParallelArchive, PartsInflatedInParallelEndAsInSequence) {
  struct Case {
    uint32_t size;
    int damagedPart;  // -1: none
    bool badChecksum;
    unsigned workers;
  };
  const Case cases[] = {
      {kBlock / 2, -1, false, 4},   {6 * kBlock + 99, -1, false, 3}, {3 * kBlock, -1, false, 16},
      {5 * kBlock, 0, false, 2},    {5 * kBlock, 3, false, 3},       {5 * kBlock, 4, false, 8},
      {4 * kBlock + 1, -1, true, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " " + std::to_string(c.damagedPart));
    ScratchDir dir;
    RawArchive raw = RawArchiveBuilder().Compressed("p/big", Text(c.size)).Build();
    if (c.damagedPart >= 0) {
      const RawPart& part = raw.parts[size_t(c.damagedPart)];
      raw.data[part.offset - 2048 + part.storedSize / 3] ^= 0x33;
    }
    if (c.badChecksum) raw.entries[0].checksum += 1;
    WriteWholeFile(dir / "t.arc", raw.Bytes());
    Archive archive;
    ASSERT_TRUE(archive.Open((dir / "t.arc").c_str(), Archive::ModeRead));
    const bool sequential = archive.ExtractFileToDisk(0, (dir / "one").c_str());
    const bool parallel = archive.ExtractFileParallel(0, (dir / "many").c_str(), c.workers);
    EXPECT_EQ(sequential, c.damagedPart < 0 && !c.badChecksum);
    EXPECT_EQ(parallel, sequential);
    EXPECT_TRUE(ReadWholeFile(dir / "one/p/big") == ReadWholeFile(dir / "many/p/big"));
  }
}

// The name index against a plain model, through many inserts and erases of
// names that share runs of slots: every lookup gives the index inserted last
// under the name, as a bucket chain's head would.
TEST(NameIndexTest, FollowsAModelThroughInsertsAndErases) {
  GAME::NameIndex index;
  index.Reset(0);
  std::map<uint32_t, std::string> nameOf;               // stored index -> name
  std::map<std::string, std::vector<uint32_t>> model;  // name -> indices, oldest first
  std::mt19937 random(7);
  uint32_t nextIndex = 0;
  for (int step = 0; step < 20000; ++step) {
    const std::string name = "n" + std::to_string(random() % 300);
    if (random() % 3 != 0 || nameOf.empty()) {
      index.Insert(name, nextIndex);
      nameOf[nextIndex] = name;
      model[name].push_back(nextIndex++);
    } else {
      auto victim = nameOf.begin();
      std::advance(victim, random() % nameOf.size());
      index.Erase(victim->second, victim->first);
      std::erase(model[victim->second], victim->first);
      nameOf.erase(victim);
    }
    if (step % 97 != 0) continue;
    for (int k = 0; k < 300; ++k) {
      const std::string probe = "n" + std::to_string(k);
      const auto& stored = model[probe];
      const int want = stored.empty() ? -1 : int(stored.back());
      ASSERT_EQ(index.Find(probe, [&](uint32_t i) { return std::string_view(nameOf.at(i)); }),
                want)
          << probe << " at step " << step;
    }
  }
}

// The hash table is rebuilt every 256 appends with the bucket count for the
// entries there are at that moment, before and after a reopen and a
// compaction, while every name stays findable.
TEST(ParallelArchive, TableSizeFollowsTheScheduleOfGrowthBy256) {
  ScratchDir dir;
  const std::string path = dir / "t.arc";
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
  unsigned char byte = 'x';
  int added = 0;
  const auto addUpTo = [&](int count) {
    for (; added < count; ++added) {
      const int appended = int(archive.GetNumFiles());
      ASSERT_EQ(archive.AddFileFromMemory(("f" + std::to_string(added)).c_str(), &byte, 1, 0),
                appended);
    }
  };
  const std::pair<int, uint32_t> fresh[] = {{255, 31}, {256, 31},   {257, 73},  {513, 283},
                                            {1025, 283}, {1537, 419}, {2049, 739}};
  for (const auto& [count, tableSize] : fresh) {
    addUpTo(count);
    EXPECT_EQ(ArchiveTestPeer::TableSize(archive), tableSize) << count;
  }
  ASSERT_TRUE(archive.Close(false));
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));  // rebuilt for 2049
  for (int i = 0; i < 1500; ++i) ASSERT_TRUE(archive.RemoveFile(i));
  ASSERT_TRUE(archive.Compact());  // 549 left, the capacity stays at 2049
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 283u);
  addUpTo(added + 1500);  // fills the capacity: no rebuild yet
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 283u);
  addUpTo(added + 1);  // the rebuild at 2049 entries
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 739u);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  for (int i = 0; i < added; ++i) {
    EXPECT_EQ(archive.FindFile(("F" + std::to_string(i)).c_str()) >= 0, i >= 1500) << i;
  }
}

}  // namespace
