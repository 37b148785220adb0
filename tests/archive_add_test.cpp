// Adding files: placement, stored and compressed forms on disk, growth of the
// entries, refused names and sources, the 4 GiB limit, and withdrawn adds.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "support/WritableArchive.h"

namespace {

using GAME::ArchiveTestPeer;
using namespace testing_support;
using ArchiveAdd = ArchiveFileTest;

TEST_F(ArchiveAdd, TakesTheBestFittingRemovedSlotOrAppends) {
  // Slots of 100, 70 and 50 bytes in that order in the free list; each case
  // is a size, the index it takes and its offset.
  const auto slots = RawArchiveBuilder().Removed(100).Removed(70).Removed(50).Stored("z", "z");
  const uint32_t cases[][3] = {{60, 1, 2148}, {70, 1, 2148}, {50, 2, 2218}, {101, 4, 2269}};
  for (const auto& c : cases) {
    OpenBuilt(slots);
    EXPECT_EQ(Add("new", std::string(c[0], 'n')), int(c[1])) << c[0];
    EXPECT_EQ(Entry(int(c[1])).offset, c[2]) << c[0];
    EXPECT_EQ(ContentOf(Saved(), c[1]), std::string(c[0], 'n'));
  }
  // Of equal slots the one nearer the front; a reused slot offers only what
  // its file stored, and the rest of it stays a gap.
  OpenBuilt(RawArchiveBuilder().Stored("a", Text(100)).Stored("b", Text(100)).Stored("z", "z"));
  ASSERT_TRUE(archive.RemoveFile(1) && archive.RemoveFile(0));
  EXPECT_EQ(Add("c", std::string(60, 'c')), 1);
  EXPECT_EQ(Add("d", std::string(100, 'd')), 0);
  ASSERT_TRUE(archive.RemoveFile(1));
  EXPECT_EQ(Add("e", std::string(61, 'e')), 3);
  EXPECT_EQ(Add("f", std::string(60, 'f')), 1);
  EXPECT_EQ(Saved().entries[2].offset, 2248u);
}

// Files from memory at levels 0, 1 and 9, then a file from disk stored and
// compressed; the first lies at 2048.
TEST_F(ArchiveAdd, StoresAtLevel0AndCompressesBlocksAtOtherLevels) {
  const std::string contents[] = {
      "", Text(1000), Text(kBlock), Text(kBlock + 1), Text(3 * kBlock + 7), Noise(kBlock + 500)};
  const std::string big = Text(5 * kBlock / 2) + Noise(1500000);  // several copy chunks
  const timespec times[2] = {{1700000000, 123456700}, {1700000000, 123456700}};
  const platform::FileTime time = platform::FileTimeFromUnix(1700000000, 123456700);
  const uint64_t stamp = uint64_t(time.high) << 32 | time.low;
  Open();
  for (int level : {0, 1, 9}) {
    for (const std::string& c : contents) {
      ASSERT_GE(Add(std::to_string(level) + "/" + std::to_string(c.size()), c, level), 0);
    }
  }
  for (int level : {0, 6}) {
    const std::string source = Source("Disk" + std::to_string(level), big);
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    ASSERT_GE(archive.AddFileFromDisk(source.c_str(), level), 0);
  }
  const RawArchive raw = Saved();
  EXPECT_EQ(raw.entries[0].offset, 2048u);
  for (size_t i = 0; i < 20; ++i) {
    const RawEntry& e = raw.entries[i];
    EXPECT_EQ(e.flags, i < 6 || i == 18 ? 1u : 3u) << i;
    EXPECT_EQ(uint64_t(e.fileTimeHigh) << 32 | e.fileTimeLow, i < 18 ? 0 : stamp) << i;
    EXPECT_TRUE(ContentOf(raw, i) == (i < 18 ? contents[i % 6] : big)) << i;
  }
  // Text shrinks; blocks of noise are stored larger than they are.
  EXPECT_LT(raw.entries[10].storedSize, raw.entries[10].realSize);
  EXPECT_GT(raw.entries[11].storedSize, raw.entries[11].realSize);
}

TEST_F(ArchiveAdd, RefusesTakenOrEmptyNamesAndMissingSources) {
  const std::string source = Source("s.txt", "s"), upper = dir / "S.TXT", missing = dir / "no";
  Open();
  ASSERT_EQ(Add("Data/A.txt", "a"), 0);
  ASSERT_EQ(archive.AddFileFromDisk(source.c_str(), 0), 1);
  const State before = StateOf(archive);
  for (int level : {0, 6}) {
    for (const char* name :
         {"data/a.txt", "DATA\\A.TXT", "./data/a.txt", "/data\\a.txt", "", "."}) {
      EXPECT_EQ(Add(name, "other", level), -1) << name;
    }
    for (const char* bad : {upper.c_str(), missing.c_str(), dir.Path().c_str(), path.c_str(), ""}) {
      EXPECT_EQ(archive.AddFileFromDisk(bad, level), -1) << bad;
    }
  }
  EXPECT_EQ(archive.AddFileFromDisk(nullptr, 0) + archive.AddFileFromMemory(nullptr, nullptr, 0, 0),
            -2);
  EXPECT_EQ(StateOf(archive), before);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
}

TEST_F(ArchiveAdd, The257thAppendGrowsTheEntriesAndRebuildsTheTable) {
  Open();
  for (int i = 0; i < 256; ++i) ASSERT_EQ(Add("file" + std::to_string(i), "x"), i);
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 31u);
  ASSERT_EQ(Add("file256", "x"), 256);
  EXPECT_EQ(ArchiveTestPeer::Capacity(archive), 512u);
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 73u);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
}

// A failed write, a failed read of the source, or an out-of-memory while
// writing withdraws the entry, whether it reused a slot or was appended; a
// replacement that fails keeps the old entry.
TEST_F(ArchiveAdd, AFailedWriteWithdrawsTheEntry) {
  enum Trouble { WriteFails, Throws, SourceReadFails };
  const std::string content = Noise(1100000);  // two copy chunks
  const std::string source = Source("src", content);
  for (uint32_t slot : {1150000u, 1000000u}) {
    for (int way = 0; way < 5; ++way) {  // memory or disk, stored or compressed; a replacement
      for (Trouble trouble : {WriteFails, Throws, SourceReadFails}) {
        if (trouble == SourceReadFails && way != 2) continue;
        SCOPED_TRACE(testing::Message() << slot << " " << way << " " << trouble);
        OpenBuilt(RawArchiveBuilder().Stored("keep", "k").Removed(10).Removed(slot).Removed(20));
        // The replacement's old entry takes the 10-byte slot; entry 0 is not its name's.
        const int old = way == 4 ? Add(source, "old") : -1;
        const State before = StateOf(archive);
        EXPECT_EQ(archive.ReplaceFileFromDisk(0, source.c_str(), 0), -1);
        // The stored disk path fails on its second chunk, after writing one.
        const Call call = trouble == SourceReadFails ? Call::ReadAt : Call::WriteAt;
        if (trouble != Throws) fs.Inject(call, fs.Count(call) + (way == 2 ? 2 : 1));
        fs.throwOnWrite = trouble == Throws;
        auto add = [&] {
          try {
            if (way == 4) return archive.ReplaceFileFromDisk(old, source.c_str(), 0);
            return way < 2 ? Add(source, content, way)
                           : archive.AddFileFromDisk(source.c_str(), way % 2);
          } catch (const std::bad_alloc&) {
            return -2;
          }
        };
        EXPECT_EQ(add(), trouble == Throws ? -2 : -1);
        fs.throwOnWrite = false;
        fs.Clear();
        EXPECT_EQ(StateOf(archive), before);
        EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
        const int index = add();  // the same add succeeds afterwards
        ASSERT_EQ(index, slot > content.size() ? 2 : 4);
        EXPECT_TRUE(ContentOf(Saved(), size_t(index)) == content);
      }
    }
  }
}

// The archive's one stored file ends 100000 bytes below 4 GiB; it and the
// 4 GiB source are sparse files, so no data is written.
TEST_F(ArchiveAdd, RefusesAnAddWhoseDataAndIndexWouldReach4GiB) {
  const auto big = uint32_t(0x100000000ull - 100000 - 2048);
  RawArchive raw = RawArchiveBuilder().Stored("big", "").Build();
  raw.entries[0].storedSize = raw.entries[0].realSize = big;
  raw.header.indexOffset += big;
  const std::vector<unsigned char> bytes = raw.Bytes();
  WriteWholeFile(path, {bytes.begin(), bytes.begin() + 2048});
  std::filesystem::resize_file(path, 2048 + uint64_t(big));
  std::ofstream(path, std::ios::binary | std::ios::app)
      .write(reinterpret_cast<const char*>(bytes.data()) + 2048, long(bytes.size()) - 2048);
  const std::string huge = Source("huge", "");
  std::filesystem::resize_file(huge, uint64_t(1) << 32);
  Open();
  ASSERT_EQ(Add("c", Text(kBlock + 1), 9), 1);  // two parts in the index
  // With "n" the index holds three names (8 bytes), two parts and three
  // records: 164 bytes. The largest file that fits ends the index at 2^32 - 1.
  const auto fits = size_t(0xFFFFFFFFull - 164 - Entry(1).offset - Entry(1).storedSize);
  const State before = StateOf(archive);
  EXPECT_EQ(archive.AddFileFromDisk(huge.c_str(), 0), -1);
  EXPECT_EQ(archive.AddFileFromDisk(huge.c_str(), 6), -1);
  EXPECT_EQ(Add("n", std::string(fits + 1, 'n')), -1);
  EXPECT_EQ(Add("n", Noise(fits), 6), -1);  // compressed, it grows
  EXPECT_EQ(Add("longer name", std::string(fits - 9, 'n')), -1);
  EXPECT_EQ(StateOf(archive), before);
  ASSERT_EQ(Add("n", std::string(fits, 'n')), 2);
  EXPECT_EQ(Add("m", ""), -1);  // even an empty file's index record no longer fits
  ASSERT_TRUE(archive.Close(false));
  EXPECT_EQ(std::filesystem::file_size(path), 0xFFFFFFFFull);
}

}  // namespace
