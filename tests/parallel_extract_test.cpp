// Extraction and checking with several workers: the same files, bytes and
// output lines as with one; const methods shared by threads; the name index.
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "archive/NameIndex.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"
#include "support/TestSystem.h"

namespace {

namespace fsys = std::filesystem;
using namespace testing_support;

// Every regular file below root, relative to it, with its bytes.
std::map<std::string, std::string> FilesBelow(const fsys::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& item : fsys::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    const std::vector<unsigned char> bytes = ReadWholeFile(item.path().string());
    files[fsys::relative(item.path(), root).generic_string()] = {bytes.begin(), bytes.end()};
  }
  return files;
}

using ParallelTool = ToolTest;

// Each worker count prints exactly what one worker prints (but for the timing
// line of a slow run) and leaves the same files with the same bytes. The
// archive holds small files in nested directories, empty ones, removed
// entries, large multi-part files stored and compressed, names that land on
// one file or where another needs a directory (the order of one worker
// decides), and damaged entries, which leave no file: a part that does not
// inflate (the 3rd of 5) and checksums that do not match, stored and compressed.
TEST_F(ParallelTool, ExtractAndVerifyGiveTheSameFilesAndLinesWithAnyWorkerCount) {
  RawArchiveBuilder built;
  std::map<std::string, std::string> files;  // what an extraction leaves
  const auto add = [&](const std::string& name, const std::string& content, bool compressed) {
    compressed ? built.Compressed(name, content) : built.Stored(name, content);
    files[name] = content;
  };
  for (int i = 0; i < 60; ++i) {
    add("d" + std::to_string(i % 4) + "/s" + std::to_string(i % 3) + "/f" + std::to_string(i),
        Noise(100 + i * 37, i, i % 2 ? 3 : 256), i % 2 != 0);
    if (i % 17 == 0) built.Removed(40);
  }
  add("empty/stored", "", false);
  add("empty/compressed", "", true);
  add("large/text", testing_support::Text(4 * kBlock + 1234), true);
  add("large/noise", Noise(3 * kBlock, 9), true);
  add("large/stored", Noise(5 * kBlock / 2, 4), false);
  add("bad/part", testing_support::Text(5 * kBlock - 7), true);
  add("bad/stored", "some bytes", false);
  add("bad/sum", testing_support::Text(2 * kBlock), true);
  add("a/./b", "first", false);
  add("a/b", "second", false);
  add("c", "file", false);
  built.Stored("c/d", "inside");
  for (const char* gone : {"a/./b", "bad/part", "bad/stored", "bad/sum"}) files.erase(gone);
  RawArchive mixed = built.Build();
  for (RawEntry& e : mixed.entries) {
    const std::string name = mixed.nameTable.substr(e.nameOffset, e.nameLength);
    if (name == "bad/part") {
      const RawPart& part = mixed.parts[e.firstPart + 2];
      mixed.data[part.offset - 2048 + part.storedSize / 2] ^= 0x5A;
    }
    if (name == "bad/stored" || name == "bad/sum") e.checksum ^= 1;
  }
  Put("mixed.arc", mixed);
  ToolResult first[2];  // of -extract and -verify with one worker
  for (const char* workers : {"1", "3"}) {
    SCOPED_TRACE(workers);
    SetEnvironment("KORVAT_THREADS", workers);
    const std::string out = "out";  // the same name in every run: it shows in reasons
    std::filesystem::remove_all(dir.Path() / out);
    ToolResult runs[2] = {Run({"mixed.arc", "-extract", out}), Run({"mixed.arc", "-verify"})};
    for (ToolResult& r : runs) r.out = r.out.substr(0, r.out.find("Command completed"));
    for (int k = 0; k < 2; ++k) {
      if (first[k].exitCode < 0) first[k] = runs[k];
      EXPECT_EQ(std::tie(runs[k].exitCode, runs[k].out, runs[k].err),
                std::tie(first[k].exitCode, first[k].out, first[k].err));
    }
    EXPECT_TRUE(FilesBelow(dir.Path() / out) == files);
  }
  SetEnvironment("KORVAT_THREADS", nullptr);
  EXPECT_EQ(first[0].exitCode, 1);
  EXPECT_EQ(first[0].err,
            "Failed to extract bad/part.\nReason: damaged data (part 3 does not inflate)\n"
            "Failed to extract bad/stored.\nReason: damaged data (checksum mismatch)\n"
            "Failed to extract bad/sum.\nReason: damaged data (checksum mismatch)\n"
            "Failed to extract c/d.\nReason: I/O error (out/c is not a directory)\n");
  EXPECT_EQ(first[1].err,
            "damaged: bad/part (part 3 of 5 does not inflate)\n"
            "damaged: bad/stored (checksum mismatch)\n"
            "damaged: bad/sum (checksum mismatch)\n");
}

// Threads share one archive open for reading through its const methods
// (the tool's several workers, one open for writing): lookups, reads with
// their own buffers, checks, and extractions (each over several threads) into
// one new directory tree that they all create at once.
TEST(ParallelArchive, ConstMethodsServeSeveralThreadsAtOnce) {
  ScratchDir dir;
  RawArchiveBuilder built;
  std::map<std::string, std::string> files;
  for (int i = 0; i < 24; ++i) {
    const std::string name = "x/y/z/f" + std::to_string(i);
    built.Compressed(name, files[name] = Noise(i % 4 == 0 ? 2 * kBlock + i : 500 + i, i, 3));
  }
  WriteWholeFile(dir / "t.arc", built.Build().Bytes());
  Archive archive;
  ASSERT_TRUE(archive.Open((dir / "t.arc").c_str(), Archive::ModeRead));
  const std::string out = dir / "out";
  std::vector<std::jthread> threads;
  for (int i = 0; i < 24; ++i) {
    threads.emplace_back([&, i] {
      const std::string& want = files.at("x/y/z/f" + std::to_string(i));
      const int index = archive.FindFile(("X\\Y/z/F" + std::to_string(i)).c_str());
      std::vector<unsigned char> area(Archive::MaxPartSize() + kBlock);
      Archive::BlockBuffer buffer{Archive::kNoPart, area.data(),
                                  area.data() + Archive::MaxPartSize()};
      std::string read(want.size(), '\0');
      EXPECT_TRUE(index == i &&
                  archive.ReadFromFile(index, reinterpret_cast<unsigned char*>(read.data()), 0,
                                       unsigned(read.size()), &buffer) &&
                  read == want && archive.VerifyFile(index, nullptr) &&
                  archive.ExtractFileParallel(index, out.c_str(), 1 + i % 3))
          << i;
    });
  }
  threads.clear();
  EXPECT_TRUE(FilesBelow(out) == files);
}

// The name index against a plain model through many inserts and erases of
// names that share runs of slots: a lookup gives the index inserted last
// under the name, as a bucket chain's head would.
TEST(NameIndexTest, FollowsAModelThroughInsertsAndErases) {
  GAME::NameIndex index;
  index.Reset(0);
  std::map<uint32_t, std::string> nameOf;              // stored index -> name
  std::map<std::string, std::vector<uint32_t>> model;  // name -> indices, oldest first
  std::mt19937 random(7);
  for (uint32_t step = 0; step < 20000; ++step) {
    const std::string name = "n" + std::to_string(random() % 300);
    if (random() % 3 != 0 || nameOf.empty()) {
      index.Insert(name, step);
      nameOf[step] = name;
      model[name].push_back(step);
    } else {
      const auto victim = std::next(nameOf.begin(), long(random() % nameOf.size()));
      index.Erase(victim->second, victim->first);
      std::erase(model[victim->second], victim->first);
      nameOf.erase(victim);
    }
    for (int k = 0; step % 97 == 0 && k < 300; ++k) {
      const std::string probe = "n" + std::to_string(k);
      const int want = model[probe].empty() ? -1 : int(model[probe].back());
      ASSERT_EQ(index.Find(probe, [&](uint32_t i) { return std::string_view(nameOf.at(i)); }), want)
          << probe << " at step " << step;
    }
  }
}

}  // namespace
