// Removing files and compacting the archive: what removal keeps and where
// compaction moves data (failed moves are among the injected I/O faults).
#include <filesystem>

#include "support/WritableArchive.h"

namespace {

using namespace testing_support;

using ArchiveCompact = ArchiveFileTest;

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
