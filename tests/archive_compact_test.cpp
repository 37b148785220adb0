// Removing files and compacting the archive: what removal keeps, where
// compaction moves data, that it leaves data in place when it can, what a
// failed move leaves behind, and a long mixed sequence read back from disk.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/WritableArchive.h"

namespace {

using GAME::Archive;
using GAME::ArchiveTestPeer;
using testing_support::EntryContent;
using testing_support::FormatProblem;
using testing_support::Noise;
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ReadWholeFile;
using testing_support::StateOf;
using testing_support::Text;
using Call = testing_support::FaultyFileSystem::Call;
using Fault = testing_support::FaultyFileSystem::Fault;

constexpr uint32_t kBlock = 262144;

class ArchiveCompact : public testing_support::WritableArchiveTest {
 protected:
  // The I/O calls made so far on open files.
  uint64_t IoCount() { return fs.Count(Call::ReadAt) + fs.Count(Call::WriteAt); }
};

TEST_F(ArchiveCompact, RemovalKeepsTheSlotAndEveryOtherIndex) {
  OpenBuilt(RawArchiveBuilder()
                .Stored("a", "first")
                .Compressed("b", Text(kBlock + 10))
                .Stored("c", "third"));
  const Archive::FileEntry before = Entry(1);
  const uint64_t io = IoCount();
  ASSERT_TRUE(archive.RemoveFile(1));
  EXPECT_EQ(IoCount(), io);
  EXPECT_EQ(archive.FindFile("b"), -1);
  EXPECT_EQ(archive.FindFile("a"), 0);
  EXPECT_EQ(archive.FindFile("c"), 2);
  EXPECT_EQ(archive.GetNumFiles(), 3u);
  const Archive::FileEntry& removed = Entry(1);
  EXPECT_EQ(removed.flags, 0u);
  EXPECT_EQ(removed.offset, before.offset);
  EXPECT_EQ(removed.storedSize, before.storedSize);
  EXPECT_EQ(removed.realSize | removed.numParts | removed.checksum | removed.nameLength, 0u);
  EXPECT_EQ(removed.name, nullptr);
  EXPECT_EQ(removed.parts, nullptr);
  EXPECT_EQ(removed.next, nullptr);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));

  // Refused: a second removal, indices out of range.
  const auto state = StateOf(archive);
  for (int index : {1, -1, 3, 1000}) EXPECT_FALSE(archive.RemoveFile(index)) << index;
  EXPECT_EQ(StateOf(archive), state);
  EXPECT_EQ(ArchiveTestPeer::FreeEntries(archive), std::vector<uint32_t>{1});

  const RawArchive raw = Saved();
  EXPECT_EQ(raw.entries[1].flags, 0u);
  EXPECT_EQ(raw.entries[1].offset, before.offset);
  EXPECT_EQ(raw.entries[1].storedSize, before.storedSize);
  EXPECT_EQ(raw.nameTable, std::string("a\0c\0", 4));
}

TEST_F(ArchiveCompact, ChangesNeedAnArchiveOpenForWriting) {
  const std::vector<unsigned char> bytes =
      RawArchiveBuilder().Removed(10).Stored("a", "a").Build().Bytes();
  testing_support::WriteWholeFile(path, bytes);
  EXPECT_FALSE(archive.Compact());  // never opened
  EXPECT_EQ(Add("b", "b"), -1);
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(archive.RemoveFile(1));
  EXPECT_FALSE(archive.Compact());
  EXPECT_EQ(Add("b", "b"), -1);
  EXPECT_EQ(Add("b", "b", 6), -1);
  EXPECT_EQ(archive.AddFileFromDisk(Source("s", "s").c_str(), 0), -1);
  EXPECT_EQ(archive.GetNumFiles(), 2u);
  EXPECT_EQ(archive.FindFile("a"), 1);
  archive.Close(false);
  EXPECT_EQ(ReadWholeFile(path), bytes);
}

TEST_F(ArchiveCompact, MovesTheActiveDataTogetherFrom2048) {
  const std::string a = Noise(1000, 1);
  const std::string b = Noise(kBlock + 5000, 2);  // longer than the hole: the move overlaps
  const std::string c = Text(2 * kBlock + 3);
  OpenNew();
  ASSERT_EQ(Add("a", a), 0);
  ASSERT_EQ(Add("b", b, 6), 1);
  ASSERT_EQ(Add("c", c, 6), 2);
  const Archive::FileEntry oldC = Entry(2);
  std::vector<Archive::PartRecord> oldParts(oldC.parts, oldC.parts + oldC.numParts);
  ASSERT_TRUE(archive.RemoveFile(0));

  ASSERT_TRUE(archive.Compact());
  ASSERT_EQ(archive.GetNumFiles(), 2u);
  EXPECT_EQ(archive.FindFile("b"), 0);
  EXPECT_EQ(archive.FindFile("c"), 1);
  EXPECT_EQ(archive.FindFile("a"), -1);
  EXPECT_TRUE(ArchiveTestPeer::FreeEntries(archive).empty());
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  EXPECT_EQ(Entry(0).offset, 2048u);
  EXPECT_EQ(Entry(0).parts[0].offset, 2048u);
  EXPECT_EQ(Entry(1).offset, 2048u + Entry(0).storedSize);
  for (uint32_t k = 0; k < oldC.numParts; ++k) {
    EXPECT_EQ(Entry(1).parts[k].offset, oldParts[k].offset - 1000) << k;
  }
  const uint32_t dataEnd = 2048 + Entry(0).storedSize + Entry(1).storedSize;
  const uint64_t indexSize = (2 + 3) * 12 + 4 + 2 * 44;

  const RawArchive raw = Saved();
  EXPECT_EQ(ReadWholeFile(path).size(), dataEnd + indexSize);
  EXPECT_EQ(raw.header.indexOffset, dataEnd);
  EXPECT_EQ(ContentOf(raw, 0), b);
  EXPECT_EQ(ContentOf(raw, 1), c);
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_EQ(archive.FindFile("c"), 1);
}

TEST_F(ArchiveCompact, LeavesDataInPlaceWhenThereIsNoHole) {
  OpenNew();
  ASSERT_EQ(Add("a", Text(5000)), 0);
  ASSERT_EQ(Add("b", Text(kBlock + 1), 6), 1);
  ASSERT_EQ(Add("c", ""), 2);
  ASSERT_EQ(Add("d", "removed last"), 3);
  ASSERT_TRUE(archive.RemoveFile(3));  // a trailing hole costs no move either
  auto state = StateOf(archive);
  const uint64_t io = IoCount();
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(IoCount(), io);
  state.entries.pop_back();
  state.freeEntries.clear();
  EXPECT_EQ(StateOf(archive), state);
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(IoCount(), io);
  EXPECT_EQ(StateOf(archive), state);
}

TEST_F(ArchiveCompact, RecoversTheTailOfAReusedSlot) {
  OpenBuilt(RawArchiveBuilder().Removed(100).Stored("z", "last"));
  ASSERT_EQ(Add("sixty", std::string(60, '6')), 0);
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(Entry(1).offset, 2048u + 60);
  EXPECT_EQ(Add("next", "n"), 2);
  EXPECT_EQ(Entry(2).offset, 2048u + 60 + 4);
  const RawArchive raw = Saved();
  EXPECT_EQ(ContentOf(raw, 1), "last");
}

TEST_F(ArchiveCompact, EmptyAndAllInactiveArchives) {
  OpenNew();
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  archive.Close(false);
  EXPECT_EQ(ReadWholeFile(path).size(), 2048u);

  OpenBuilt(RawArchiveBuilder().Removed(10).Removed(20).Removed(30));
  ASSERT_TRUE(archive.Compact());
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  EXPECT_TRUE(ArchiveTestPeer::FreeEntries(archive).empty());
  ASSERT_EQ(Add("new", std::string(10, 'n')), 0);  // appended, not reused
  EXPECT_EQ(Entry(0).offset, 2048u);
  const RawArchive raw = Saved();
  EXPECT_EQ(raw.entries.size(), 1u);
  EXPECT_EQ(ReadWholeFile(path).size(), 2048u + 10 + 4 + 44);
}

// Entries: a removed slot, B, C, a removed slot, E, F. The move of C fails;
// B has moved already, C and everything after it stay where they were.
TEST_F(ArchiveCompact, AFailedMoveStopsWithEveryEntryPointingAtItsData) {
  const std::string b = Noise(3000, 1);
  const std::string c = Noise(5000, 2);  // overlaps its old place when moved
  const std::string e = Text(kBlock + 100);
  for (Call call : {Call::ReadAt, Call::WriteAt}) {
    for (Fault fault : {Fault::Fail, Fault::Short}) {
      SCOPED_TRACE(testing::Message() << int(call) << " " << int(fault));
      OpenBuilt(RawArchiveBuilder()
                    .Removed(1000)
                    .Stored("b", b)
                    .Compressed("c", c)
                    .Removed(700)
                    .Compressed("e", e)
                    .Stored("f", "ffff"));
      auto state = StateOf(archive);
      fs.Inject(call, fs.Count(call) + 2, fault);  // B's move is the first
      EXPECT_FALSE(archive.Compact());
      fs.Clear();

      // B moved to 2048; C, the removed slot, E and F are as they were.
      state.entries.erase(state.entries.begin());
      state.entries[0].offset = 2048;
      state.freeEntries = {2};
      EXPECT_EQ(StateOf(archive), state);
      EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
      EXPECT_EQ(archive.FindFile("f"), 4);
      const RawArchive raw = Saved();
      EXPECT_EQ(ContentOf(raw, 0), b);
      EXPECT_EQ(ContentOf(raw, 1), c);
      EXPECT_EQ(ContentOf(raw, 3), e);

      // Compacting again finishes the work.
      OpenNew();
      ASSERT_TRUE(archive.Compact());
      EXPECT_EQ(archive.GetNumFiles(), 4u);
      EXPECT_EQ(Entry(3).offset + Entry(3).storedSize,
                2048u + 3000 + Entry(1).storedSize + Entry(2).storedSize + 4);
      const RawArchive done = Saved();
      EXPECT_EQ(ContentOf(done, 1), c);
      EXPECT_EQ(ContentOf(done, 3), "ffff");
    }
  }
}

// Names of the active entries of a saved archive, with their contents.
std::map<std::string, std::string> FilesOf(const RawArchive& raw) {
  std::map<std::string, std::string> files;
  for (size_t i = 0; i < raw.entries.size(); ++i) {
    const testing_support::RawEntry& e = raw.entries[i];
    if (e.flags == 0) continue;
    std::string content;
    EXPECT_TRUE(EntryContent(raw, i, content));
    files[raw.nameTable.substr(e.nameOffset, e.nameLength)] = content;
  }
  return files;
}

TEST_F(ArchiveCompact, AMixedSequenceReadsBackExactly) {
  std::mt19937 random(20240607);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  std::map<std::string, std::string> files;
  OpenNew();
  for (int step = 0; step < 400; ++step) {
    const uint32_t roll = pick(100);
    if (roll < 55) {
      const uint32_t size = pick(8) == 0 ? pick(3 * kBlock) : pick(3000);
      const std::string name = "dir" + std::to_string(pick(4)) + "/f" + std::to_string(step);
      const std::string content = pick(2) ? Text(size) : Noise(size, static_cast<unsigned>(step));
      ASSERT_GE(Add(name, content, static_cast<int>(pick(3)) * 3), 0);
      files[name] = content;
    } else if (roll < 85 && !files.empty()) {
      auto victim = files.begin();
      std::advance(victim, pick(static_cast<uint32_t>(files.size())));
      ASSERT_TRUE(archive.RemoveFile(archive.FindFile(victim->first.c_str())));
      files.erase(victim);
    } else if (roll < 93) {
      ASSERT_TRUE(archive.Compact());
    } else {
      EXPECT_EQ(FilesOf(Saved()), files);
      OpenNew();
    }
    ASSERT_TRUE(ArchiveTestPeer::TableIsSound(archive));
  }
  const RawArchive raw = Saved();
  EXPECT_EQ(FilesOf(raw), files);
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  for (const auto& [name, content] : files) {
    const int index = archive.FindFile(name.c_str());
    ASSERT_GE(index, 0) << name;
    EXPECT_EQ(Entry(index).realSize, content.size());
  }
}

}  // namespace
