// Removing files and compacting the archive: what removal keeps, where
// compaction moves data, and what a failed move leaves behind.
#include <filesystem>

#include "support/WritableArchive.h"

namespace {

using namespace testing_support;

class ArchiveCompact : public ArchiveFileTest {
 protected:
  uint64_t IoCount() { return fs.Count(Call::ReadAt) + fs.Count(Call::WriteAt); }
};

// Removal keeps the region and every index and writes nothing. Compaction
// then closes the holes at the front, between and at the end, and the 40
// bytes a reused slot leaves; b's move overlaps its old place.
TEST_F(ArchiveCompact, RemovalKeepsTheRegionAndCompactionMovesTheRestTogether) {
  RawArchiveBuilder built;
  built.Stored("x", Text(1000)).Stored("a", "aa").Stored("y", Text(100));
  OpenBuilt(built.Compressed("b", Noise(kBlock + 5000)).Stored("c", "").Stored("z", "z"));
  State state = StateOf(archive);
  const uint64_t io = IoCount();
  for (int index : {0, 2, 5}) ASSERT_TRUE(archive.RemoveFile(index));
  for (int index : {2, -1, 6}) EXPECT_FALSE(archive.RemoveFile(index)) << index;
  EXPECT_EQ(IoCount(), io);
  for (int index : {0, 2, 5}) state[index] = {0, state[index][1], state[index][2], 0, 0, 0, 0, 0};
  state.back() = {0, 2, 5};
  EXPECT_EQ(StateOf(archive), state);
  EXPECT_EQ(archive.FindFile("y"), -1);
  EXPECT_EQ(archive.FindFile("c"), 4);
  ASSERT_EQ(Add("s", std::string(60, 's')), 2);
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(archive.FindFile("c"), 3);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  state = StateOf(archive);
  const uint64_t moved = IoCount();
  ASSERT_TRUE(archive.Compact());  // nothing left to move
  EXPECT_EQ(IoCount(), moved);
  EXPECT_EQ(StateOf(archive), state);
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

// Entries: a removed slot, B, C, a removed slot, E, F. The move of C fails;
// B has moved already, C and everything after it stay where they were.
TEST_F(ArchiveCompact, AFailedMoveStopsWithEveryEntryPointingAtItsData) {
  RawArchiveBuilder built;  // C overlaps its old place when moved
  built.Removed(1000).Stored("b", Noise(3000)).Compressed("c", Noise(5000)).Removed(700);
  built.Compressed("e", Text(kBlock + 100)).Stored("f", "ffff");
  for (Call call : {Call::ReadAt, Call::WriteAt}) {
    for (Fault fault : {Fault::Fail, Fault::Short}) {
      SCOPED_TRACE(testing::Message() << int(call) << " " << int(fault));
      OpenBuilt(built);
      State state = StateOf(archive);
      // After the journal's saving and B's move: C's move.
      fs.Inject(call, fs.Count(call) + (call == Call::ReadAt ? 5 : 3), fault);
      EXPECT_FALSE(archive.Compact());
      fs.Clear();
      state.erase(state.begin());
      state[0][1] = 2048;  // B's offset
      state.back() = {2};
      EXPECT_EQ(StateOf(archive), state);
      EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
      Saved();  // every entry's content is where the index says
      Open();   // compacting again finishes the work
      ASSERT_TRUE(archive.Compact());
      EXPECT_EQ(Saved().entries[3].offset, 2048u + 3000 + state[1][2] + state[3][2]);
    }
  }
}

}  // namespace
