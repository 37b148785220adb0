// Removing files and compacting the archive: what removal keeps, where
// compaction moves data, what a failed move leaves behind, and a long mixed
// sequence read back from disk.
#include <filesystem>
#include <map>

#include "support/WritableArchive.h"

namespace {

using GAME::ArchiveTestPeer;
using namespace testing_support;

class ArchiveCompact : public ArchiveFileTest {
 protected:
  uint64_t IoCount() { return fs.Count(Call::ReadAt) + fs.Count(Call::WriteAt); }
};

TEST_F(ArchiveCompact, RemovalKeepsTheRegionAndEveryIndexAndNeedsModeWrite) {
  OpenBuilt(RawArchiveBuilder().Stored("a", "1").Compressed("b", Text(kBlock + 9)).Stored("c", ""));
  State state = StateOf(archive);
  const uint64_t io = IoCount();
  ASSERT_TRUE(archive.RemoveFile(1));
  EXPECT_EQ(IoCount(), io);
  state[1] = {0, state[1][1], state[1][2], 0, 0, 0, 0, 0};  // the region stays
  state.back() = {1};
  for (int index : {1, -1, 3}) EXPECT_FALSE(archive.RemoveFile(index)) << index;
  EXPECT_EQ(StateOf(archive), state);
  EXPECT_EQ(archive.FindFile("b"), -1);
  EXPECT_EQ(archive.FindFile("c"), 2);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  EXPECT_EQ(Saved().entries[1].storedSize, state[1][2]);
  Open(GAME::Archive::ModeRead);
  EXPECT_FALSE(archive.RemoveFile(0) || archive.Compact());
  EXPECT_EQ(Add("d", "d"), -1);
}

// Removed slots at the front, between and at the end, and the 40 bytes a
// reused slot leaves: each active entry ends up right after the one before.
TEST_F(ArchiveCompact, MovesTheActiveDataTogetherFrom2048AndThenNothing) {
  RawArchiveBuilder built;  // b is longer than the hole before it: its move overlaps
  built.Removed(1000).Stored("a", "aa").Removed(100).Compressed("b", Noise(kBlock + 5000));
  OpenBuilt(built.Compressed("c", Text(2 * kBlock + 3)).Removed(10));
  ASSERT_EQ(Add("s", std::string(60, 's')), 2);
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(archive.FindFile("c"), 3);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  const State state = StateOf(archive);
  const uint64_t io = IoCount();
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(IoCount(), io);
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
      fs.Inject(call, fs.Count(call) + 2, fault);  // B's move is the first
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

TEST_F(ArchiveCompact, AMixedSequenceReadsBackExactly) {
  std::mt19937 random(20240607);
  std::map<std::string, std::string> files;
  Open();
  for (int step = 0; step <= 300; ++step) {
    const uint32_t roll = step < 300 ? random() % 100 : 99;  // a last check
    if (roll < 55) {
      const std::string name = "d" + std::to_string(roll % 4) + "/f" + std::to_string(step);
      const size_t size = roll < 7 ? random() % (3 * kBlock) : random() % 3000;
      files[name] = roll % 2 ? Text(size) : Noise(size, unsigned(step));
      ASSERT_GE(Add(name, files[name], int(roll % 3) * 3), 0);
    } else if (roll < 85 && !files.empty()) {
      const auto victim = std::next(files.begin(), long(random() % files.size()));
      ASSERT_TRUE(archive.RemoveFile(archive.FindFile(victim->first.c_str())));
      files.erase(victim);
    } else if (roll < 93) {
      ASSERT_TRUE(archive.Compact());
    } else {  // the saved file holds exactly the files added and not removed
      const RawArchive raw = Saved();
      std::map<std::string, std::string> saved;
      for (size_t i = 0; i < raw.entries.size(); ++i) {
        const RawEntry& e = raw.entries[i];
        if (e.flags != 0)
          saved[raw.nameTable.substr(e.nameOffset, e.nameLength)] = ContentOf(raw, i);
      }
      EXPECT_TRUE(saved == files);
      Open();
    }
    ASSERT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  }
}

}  // namespace
