// Changing an archive: where adds go, replacing in place, refused names and
// sources, the 4 GiB limit, adds withdrawn on an out-of-memory; removal and
// compaction (failed writes and moves are among the injected I/O faults).
#include <filesystem>

#include "support/WritableArchive.h"

namespace {

using namespace testing_support;
using ArchiveAdd = ArchiveFileTest;
using ArchiveCompact = ArchiveFileTest;

// Slots of 100, 70, 50 and 70 bytes, in that order in the free list: each
// size gets the index and offset beside it, of equal slots the one nearer the
// front. A reused slot then offers only what its file stored.
TEST_F(ArchiveAdd, TakesTheBestFittingRemovedSlotOrAppends) {
  const auto slots =
      RawArchiveBuilder().Removed(100).Removed(70).Removed(50).Removed(70).Stored("z", "z");
  const uint32_t cases[][3] = {
      {60, 1, 2148}, {70, 1, 2148}, {50, 2, 2218}, {100, 0, 2048}, {101, 5, 2339}};
  for (const auto& c : cases) {
    OpenBuilt(slots);
    EXPECT_EQ(Add("new", std::string(c[0], 'n')), int(c[1])) << c[0];
    EXPECT_EQ(Entry(int(c[1])).offset, c[2]) << c[0];
    Saved();
  }
  OpenBuilt(slots);
  ASSERT_EQ(Add("a", std::string(60, 'a')), 1);
  ASSERT_TRUE(archive.RemoveFile(1));
  EXPECT_EQ(Add("b", std::string(61, 'b')), 3);
  EXPECT_EQ(Add("c", std::string(60, 'c')), 1);
  EXPECT_EQ(Saved().entries[1].storedSize, 60u);  // the rest of the slot is a gap
}

// Replacing every file of a 6 MB archive in order rewrites each slot in
// place: the journal saves the slots ahead in a few segments, not one flush
// per file.
TEST_F(ArchiveAdd, ReplacingManyFilesFlushesAFewTimes) {
  RawArchiveBuilder built;
  for (int i = 0; i < 300; ++i) built.Stored(std::to_string(i), Noise(20000, i));
  OpenBuilt(built);
  const uint64_t flushes = fs.Count(Call::Flush);
  for (int i = 0; i < 300; ++i) {
    const std::string content = Noise(20000, i + 300);
    ASSERT_EQ(archive.ReplaceFileFromMemory(i, std::to_string(i).c_str(),
                                            (const unsigned char*)content.data(), 20000, 0, {}), i);
  }
  const RawArchive raw = Saved();
  EXPECT_LE(fs.Count(Call::Flush) - flushes, 10u);
  EXPECT_EQ(ContentOf(raw, 299), Noise(20000, 599));
}

// Each refused add says why: the last failure of this thread.
TEST_F(ArchiveAdd, RefusesTakenOrEmptyNamesAndMissingSources) {
  const std::string source = Source("s.txt", "s"), upper = dir / "S.TXT", missing = dir / "no";
  Open();
  ASSERT_EQ(Add("Data/A.txt", "a"), 0);
  ASSERT_EQ(archive.AddFileFromDisk(source.c_str(), 0), 1);
  const State before = StateOf(archive);
  const std::pair<std::string, ErrorCode> names[] = {  // spellings: the lookup tests'
      {"./DATA\\A.TXT", ErrorCode::NameTaken}, {".", ErrorCode::BadArgument}};
  const std::pair<std::string, ErrorCode> sources[] = {
      {upper, ErrorCode::NameTaken},  {missing, ErrorCode::NotFound},
      {dir.Path().string(), ErrorCode::IsDirectory}, {path, ErrorCode::Locked},
      {"", ErrorCode::BadArgument}};
  for (int level : {0, 6}) {
    for (const auto& [name, code] : names) {
      EXPECT_EQ(Add(name, "other", level), -1) << name;
      EXPECT_EQ(archive.LastError().code, code) << name << " " << level;
    }
    for (const auto& [bad, code] : sources) {
      EXPECT_EQ(archive.AddFileFromDisk(bad.c_str(), level), -1) << bad;
      EXPECT_EQ(archive.LastError().code, code) << bad << " " << level;
    }
  }
  EXPECT_EQ(archive.AddFileFromDisk(nullptr, 0) & archive.AddFileFromMemory(nullptr, nullptr, 0, 0), -1);
  EXPECT_EQ(archive.ReplaceFileFromDisk(1, source.c_str(), "other", 0), -1);  // not entry 1's name
  EXPECT_EQ(Add("n", "other", 10), -1);
  EXPECT_EQ(archive.LastError().code, ErrorCode::BadLevel);
  fs.Inject(Call::WriteAt, fs.Count(Call::WriteAt) + 1, Fault::Short, true);
  EXPECT_EQ(Add("n", "other"), -1);
  fs.Clear();
  EXPECT_EQ(archive.LastError().code, ErrorCode::DiskFull);
  EXPECT_EQ(StateOf(archive), before);
}

// An out-of-memory while writing withdraws the entry, whether it reused a slot
// or was appended, and a replacement keeps the old entry (the injected I/O
// faults cover failed writes and reads); the same add succeeds afterwards.
TEST_F(ArchiveAdd, AnOutOfMemoryWhileWritingWithdrawsTheEntry) {
  const std::string content = Noise(1100000);  // two copy chunks
  const std::string source = Source("src", content);
  for (uint32_t slot : {1150000u, 1000000u}) {
    for (int way = 0; way < 5; ++way) {  // memory or disk, stored or compressed; a replacement
      SCOPED_TRACE(testing::Message() << slot << " " << way);
      OpenBuilt(RawArchiveBuilder().Stored("keep", "k").Removed(10).Removed(slot).Removed(20));
      const int old = way == 4 ? Add(source, "old") : -1;  // takes the 10-byte slot
      const State before = StateOf(archive);
      auto add = [&] {
        if (way == 4) return archive.ReplaceFileFromDisk(old, source.c_str(), 0);
        return way < 2 ? Add(source, content, way) : archive.AddFileFromDisk(source.c_str(), way % 2);
      };
      fs.Inject(Call::WriteAt, fs.Count(Call::WriteAt) + 1, Fault::OutOfMemory, true);
      EXPECT_THROW(add(), std::bad_alloc);
      fs.Clear();
      EXPECT_EQ(StateOf(archive), before);
      const int index = add();
      ASSERT_EQ(index, slot > content.size() ? 2 : 4);
      EXPECT_TRUE(ContentOf(Saved(), size_t(index)) == content);
    }
  }
}

// The archive's one stored file ends 100000 bytes below 4 GiB; it and the
// 4 GiB source are sparse files, so no data is written.
TEST_F(ArchiveAdd, RefusesAnAddWhoseDataAndIndexWouldReach4GiB) {
  RawArchive raw = RawArchiveBuilder().Stored("big", "").Build();
  raw.entries[0].storedSize = raw.entries[0].realSize = uint32_t(0x100000000ull - 100000 - 2048);
  raw.header.indexOffset += raw.entries[0].storedSize;
  WriteSparse(path, raw);
  const std::string huge = Source("huge", "");
  std::filesystem::resize_file(huge, uint64_t(1) << 32);
  Open();
  ASSERT_EQ(Add("c", Text(kBlock + 1), 9), 1);  // two parts in the index
  // With "n" the index holds three names (8 bytes), two parts and three
  // records: 164 bytes. The largest file that fits ends the index at 2^32 - 1.
  const auto fits = size_t(0xFFFFFFFFull - 164 - Entry(1).offset - Entry(1).storedSize);
  const State before = StateOf(archive);
  EXPECT_EQ(archive.AddFileFromDisk(huge.c_str(), 0) & archive.AddFileFromDisk(huge.c_str(), 6), -1);
  EXPECT_EQ(Add("n", std::string(fits + 1, 'n')), -1);
  EXPECT_EQ(Add("n", Noise(fits), 6), -1);  // compressed, it grows
  EXPECT_EQ(Add("longer name", std::string(fits - 9, 'n')), -1);
  EXPECT_EQ(StateOf(archive), before);
  ASSERT_EQ(Add("n", std::string(fits, 'n')), 2);
  EXPECT_EQ(Add("m", ""), -1);  // even an empty file's index record no longer fits
  ASSERT_TRUE(archive.Close(false));
  EXPECT_EQ(std::filesystem::file_size(path), 0xFFFFFFFFull);
}

// Removal keeps the region and every index. Compaction
// then closes the holes at the front, between and at the end, and the 40
// bytes a reused slot leaves; b's move overlaps its old place.
TEST_F(ArchiveCompact, RemovalKeepsTheRegionAndCompactionMovesTheRestTogether) {
  RawArchiveBuilder built;
  built.Stored("x", Text(1000)).Stored("a", "aa").Stored("y", Text(100));
  OpenBuilt(built.Compressed("b", Noise(kBlock + 5000)).Stored("c", "").Stored("z", "z"));
  State state = StateOf(archive);
  for (int index : {0, 2, 5}) ASSERT_TRUE(archive.RemoveFile(index));
  for (int index : {2, -1, 6}) EXPECT_FALSE(archive.RemoveFile(index)) << index;
  for (int index : {0, 2, 5}) state[index] = {0, state[index][1], state[index][2], 0, 0, 0, 0, 0};
  state.back() = {0, 2, 5};
  EXPECT_EQ(StateOf(archive), state);
  ASSERT_EQ(Add("s", std::string(60, 's')), 2);
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(archive.FindFile("c"), 3);  // the table follows the moved entries
  uint32_t end = 2048;
  for (const RawEntry& e : Saved().entries) {  // which also checks the parts and contents
    EXPECT_EQ(e.offset, end);
    end += e.storedSize;
  }
  OpenBuilt(RawArchiveBuilder().Removed(10).Removed(20));
  ASSERT_TRUE(archive.Compact());
  Saved();
  EXPECT_EQ(std::filesystem::file_size(path), 2048u);
}

}  // namespace
