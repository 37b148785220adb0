// Adding files: placement, stored and compressed forms as they lie on disk,
// growth of the entries, refused names and sources, the 4 GiB limit, and
// adds withdrawn after a failed write.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/Archive.h"
#include "platform/FileSystem.h"
#include "support/WritableArchive.h"

namespace {

using GAME::Archive;
using GAME::ArchiveTestPeer;
using testing_support::ArchiveState;
using testing_support::Noise;
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ReadWholeFile;
using testing_support::StateOf;
using testing_support::Text;
using Call = testing_support::FaultyFileSystem::Call;
using Fault = testing_support::FaultyFileSystem::Fault;

constexpr uint32_t kBlock = 262144;

class ArchiveAdd : public testing_support::WritableArchiveTest {};

TEST_F(ArchiveAdd, FirstFileGoesTo2048AndTheNextRightAfterIt) {
  OpenNew();
  EXPECT_EQ(Add("a.txt", "0123456789"), 0);
  EXPECT_EQ(Add("b.txt", "xyz", 6), 1);
  EXPECT_EQ(Entry(0).offset, 2048u);
  EXPECT_EQ(Entry(1).offset, 2058u);
  EXPECT_EQ(archive.FindFile("B.TXT"), 1);
  const RawArchive raw = Saved();
  EXPECT_EQ(ContentOf(raw, 0), "0123456789");
  EXPECT_EQ(ContentOf(raw, 1), "xyz");
  EXPECT_EQ(std::string(raw.nameTable), std::string("a.txt\0b.txt\0", 12));
}

TEST_F(ArchiveAdd, ReusesTheBestFittingRemovedSlot) {
  // Removed slots of 100, 70 and 50 bytes in the free list, in that order.
  const RawArchiveBuilder slots =
      RawArchiveBuilder().Removed(100).Removed(70).Removed(50).Stored("tail", "t");
  const uint32_t end = 2048 + 100 + 70 + 50 + 1;
  struct Case {
    uint32_t size;
    int index;
    uint32_t offset;
  } cases[] = {{60, 1, 2148}, {70, 1, 2148}, {50, 2, 2218}, {100, 0, 2048}, {101, 4, end}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    OpenBuilt(slots);
    EXPECT_EQ(Add("new", std::string(c.size, 'n')), c.index);
    EXPECT_EQ(Entry(c.index).offset, c.offset);
    EXPECT_EQ(Entry(c.index).storedSize, c.size);
    const RawArchive raw = Saved();
    EXPECT_EQ(ContentOf(raw, static_cast<size_t>(c.index)), std::string(c.size, 'n'));
  }
}

TEST_F(ArchiveAdd, TakesTheEqualSlotNearerTheFrontOfTheFreeList) {
  OpenBuilt(RawArchiveBuilder().Stored("a", std::string(100, 'a')).Stored("b",
                                                                        std::string(100, 'b')));
  ASSERT_TRUE(archive.RemoveFile(1));
  ASSERT_TRUE(archive.RemoveFile(0));  // the free list is now 1, 0
  EXPECT_EQ(Add("c", "ccc"), 1);
  EXPECT_EQ(Add("d", "ddd"), 0);
  EXPECT_EQ(ArchiveTestPeer::FreeEntries(archive), std::vector<uint32_t>{});
}

TEST_F(ArchiveAdd, AReusedSlotOffersOnlyWhatItsNewFileStores) {
  OpenBuilt(RawArchiveBuilder().Removed(100).Stored("z", "z"));
  ASSERT_EQ(Add("sixty", std::string(60, '6')), 0);
  EXPECT_EQ(Entry(0).storedSize, 60u);
  ASSERT_TRUE(archive.RemoveFile(0));
  EXPECT_EQ(Add("big", std::string(61, 'b')), 2);  // does not fit any more
  EXPECT_EQ(Add("fits", std::string(60, 'f')), 0);
  const RawArchive raw = Saved();
  EXPECT_EQ(raw.entries[0].storedSize, 60u);
  EXPECT_EQ(raw.entries[1].offset, 2148u);  // the slot's tail stays a gap
}

TEST_F(ArchiveAdd, StoredAndCompressedFormsOnDisk) {
  struct Case {
    size_t size;
    int level;
    uint32_t flags;
    uint32_t parts;
  } cases[] = {{0, 0, 1, 0},           {0, 6, 3, 0},           {1000, 0, 1, 0},
               {1000, 1, 3, 1},        {kBlock, 9, 3, 1},      {kBlock + 1, 6, 3, 2},
               {3 * kBlock, 0, 1, 0},  {3 * kBlock + 7, 6, 3, 4}};
  OpenNew();
  std::vector<std::string> contents;
  for (const Case& c : cases) {
    contents.push_back(Text(c.size));
    ASSERT_EQ(Add("f" + std::to_string(contents.size()), contents.back(), c.level),
              static_cast<int>(contents.size() - 1));
  }
  const RawArchive raw = Saved();
  for (size_t i = 0; i < contents.size(); ++i) {
    SCOPED_TRACE(i);
    const testing_support::RawEntry& e = raw.entries[i];
    EXPECT_EQ(e.flags, cases[i].flags);
    EXPECT_EQ(e.numParts, cases[i].parts);
    EXPECT_EQ(e.realSize, contents[i].size());
    EXPECT_EQ(e.checksum, testing_support::Adler32Of(contents[i]));
    EXPECT_EQ(e.fileTimeLow | e.fileTimeHigh, 0u);
    if (cases[i].flags == 1) {
      EXPECT_EQ(e.storedSize, e.realSize);
    } else if (cases[i].parts > 0) {
      EXPECT_LT(e.storedSize, e.realSize);
    }
    EXPECT_EQ(ContentOf(raw, i), contents[i]);
  }
  EXPECT_EQ(raw.entries[1].storedSize, 0u);
  EXPECT_EQ(raw.entries[1].checksum, 1u);
  EXPECT_EQ(raw.parts[raw.entries[5].firstPart + 1].realSize, 1u);
}

TEST_F(ArchiveAdd, AnIncompressibleBlockIsStoredLargerThanItIs) {
  OpenNew();
  const std::string noise = Noise(kBlock + 500);
  ASSERT_EQ(Add("noise", noise, 9), 0);
  const RawArchive raw = Saved();
  ASSERT_EQ(raw.entries[0].numParts, 2u);
  EXPECT_GT(raw.parts[0].storedSize, raw.parts[0].realSize);
  EXPECT_GT(raw.parts[1].storedSize, raw.parts[1].realSize);
  EXPECT_EQ(raw.entries[0].flags, 3u);
  EXPECT_EQ(ContentOf(raw, 0), noise);
}

TEST_F(ArchiveAdd, FromDiskStoresOrCompressesAndRecordsTheLastWriteTime) {
  const std::string content = Text(5 * kBlock / 2) + Noise(1500000);  // several copy chunks
  const std::string stored = Source("Stored.BIN", content);
  const std::string packed = Source("packed.bin", content);
  const timespec times[2] = {{1700000000, 123456700}, {1700000000, 123456700}};
  ASSERT_EQ(utimensat(AT_FDCWD, packed.c_str(), times, 0), 0);
  const platform::FileTime expected = platform::FileTimeFromUnix(1700000000, 123456700);
  OpenNew();
  ASSERT_EQ(archive.AddFileFromDisk(stored.c_str(), 0), 0);
  ASSERT_EQ(archive.AddFileFromDisk(packed.c_str(), 6), 1);
  EXPECT_EQ(Entry(1).offset, 2048u + content.size());
  EXPECT_EQ(archive.FindFile(stored.c_str()), 0);
  EXPECT_EQ(Entry(1).fileTime.lowDateTime, expected.low);
  EXPECT_EQ(Entry(1).fileTime.highDateTime, expected.high);
  EXPECT_NE(Entry(0).fileTime.highDateTime, 0u);
  const RawArchive raw = Saved();
  EXPECT_EQ(raw.entries[0].flags, 1u);
  EXPECT_EQ(raw.entries[1].flags, 3u);
  EXPECT_EQ(raw.entries[1].numParts, (content.size() + kBlock - 1) / kBlock);
  EXPECT_EQ(ContentOf(raw, 0), content);
  EXPECT_EQ(ContentOf(raw, 1), content);
  EXPECT_EQ(raw.entries[1].fileTimeLow, expected.low);
}

TEST_F(ArchiveAdd, RefusesTakenNamesEmptyNamesAndMissingSources) {
  const std::string source = Source("s.txt", "source");
  OpenNew();
  ASSERT_EQ(Add("Data/A.txt", "a"), 0);
  ASSERT_EQ(archive.AddFileFromDisk(source.c_str(), 0), 1);
  const ArchiveState before = StateOf(archive);
  for (const char* name : {"data/a.txt", "DATA\\A.TXT", "./data/a.txt", "/data\\a.txt", "", ".",
                           "/", ".\\"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Add(name, "other"), -1);
    EXPECT_EQ(Add(name, "other", 6), -1);
  }
  EXPECT_EQ(archive.AddFileFromMemory(nullptr, nullptr, 0, 0), -1);
  std::string upper = source;
  upper.replace(upper.size() - 5, 5, "S.TXT");
  for (int level : {0, 6}) {
    EXPECT_EQ(archive.AddFileFromDisk(upper.c_str(), level), -1);
    EXPECT_EQ(archive.AddFileFromDisk((dir / "missing").c_str(), level), -1);
    EXPECT_EQ(archive.AddFileFromDisk(dir.Path().c_str(), level), -1);  // a directory
    EXPECT_EQ(archive.AddFileFromDisk(path.c_str(), level), -1);        // the archive itself
    EXPECT_EQ(archive.AddFileFromDisk("", level), -1);
    EXPECT_EQ(archive.AddFileFromDisk(nullptr, level), -1);
  }
  EXPECT_EQ(StateOf(archive), before);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
}

TEST_F(ArchiveAdd, The257thAppendGrowsTheEntriesAndRebuildsTheTable) {
  OpenNew();
  for (int i = 0; i < 256; ++i) ASSERT_EQ(Add("file" + std::to_string(i), "x"), i);
  EXPECT_EQ(ArchiveTestPeer::Capacity(archive), 256u);
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 31u);
  ASSERT_EQ(Add("file256", "x"), 256);
  EXPECT_EQ(ArchiveTestPeer::Capacity(archive), 512u);
  EXPECT_EQ(ArchiveTestPeer::TableSize(archive), 73u);
  EXPECT_EQ(archive.FindFile("file256"), 256);
  EXPECT_EQ(archive.FindFile("file0"), 0);
  EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
}

// A failed or short write, or an out-of-memory while writing, withdraws the
// entry: the index, the free list and the table are as before the call.
TEST_F(ArchiveAdd, AReplacementThatFailsKeepsTheOldEntryAndItsBytes) {
  const std::string source = Source("file.dat", "new content, longer than the old");
  OpenNew();
  ASSERT_EQ(Add(source, "old"), 0);
  ASSERT_EQ(Add("other", "x"), 1);
  ASSERT_TRUE(archive.RemoveFile(1));  // a free slot the new content fits
  const ArchiveState before = StateOf(archive);
  fs.Inject(Call::WriteAt, fs.Count(Call::WriteAt) + 1);
  EXPECT_EQ(archive.ReplaceFileFromDisk(0, source.c_str(), 0), -1);
  fs.Clear();
  EXPECT_EQ(StateOf(archive), before);
  EXPECT_EQ(archive.FindFile(source.c_str()), 0);
  EXPECT_EQ(archive.ReplaceFileFromDisk(1, source.c_str(), 0), -1);  // not that name's entry

  const int replaced = archive.ReplaceFileFromDisk(0, source.c_str(), 6);
  ASSERT_GE(replaced, 0);
  EXPECT_NE(replaced, 0);  // never written over the old entry's region
  EXPECT_EQ(archive.FindFile(source.c_str()), replaced);
  EXPECT_EQ(Entry(0).flags, 0u);
  const RawArchive raw = Saved();
  EXPECT_EQ(ContentOf(raw, static_cast<size_t>(replaced)), "new content, longer than the old");
}

TEST_F(ArchiveAdd, AFailedWriteWithdrawsTheEntry) {
  enum Way { Memory, Disk };
  enum Trouble { WriteFails, WriteShort, Throws, SourceReadFails };
  const std::string content = Noise(1100000);  // two copy chunks
  const std::string source = Source("src", content);
  for (uint32_t slot : {1150000u, 1000000u}) {  // reused, then appended
    for (Way way : {Memory, Disk}) {
      for (int level : {0, 1}) {
        for (Trouble trouble : {WriteFails, WriteShort, Throws, SourceReadFails}) {
          if (trouble == SourceReadFails && (way == Memory || level != 0)) continue;
          SCOPED_TRACE(testing::Message() << slot << " " << way << " " << level << " " << trouble);
          OpenBuilt(RawArchiveBuilder().Stored("keep", "kept").Removed(10).Removed(slot).Removed(20));
          const ArchiveState before = StateOf(archive);
          // The stored disk path fails on its second chunk, after writing one.
          const uint64_t nth = way == Disk && level == 0 ? 2 : 1;
          if (trouble == WriteFails || trouble == WriteShort) {
            fs.Inject(Call::WriteAt, fs.Count(Call::WriteAt) + nth,
                      trouble == WriteFails ? Fault::Fail : Fault::Short);
          }
          if (trouble == SourceReadFails) fs.Inject(Call::ReadAt, fs.Count(Call::ReadAt) + 2);
          fs.throwOnWrite = trouble == Throws;
          const std::string name = way == Memory ? "src" : source;
          auto add = [&] {
            return way == Memory ? Add("src", content, level)
                                 : archive.AddFileFromDisk(source.c_str(), level);
          };
          if (trouble == Throws) {
            EXPECT_THROW(add(), std::bad_alloc);
          } else {
            EXPECT_EQ(add(), -1);
          }
          fs.throwOnWrite = false;
          fs.Clear();
          EXPECT_EQ(StateOf(archive), before);
          EXPECT_TRUE(ArchiveTestPeer::TableIsSound(archive));
          EXPECT_EQ(archive.FindFile(name.c_str()), -1);
          EXPECT_EQ(archive.FindFile("keep"), 0);
          // The same add succeeds afterwards and the file reads back.
          const int index = add();
          ASSERT_EQ(index, slot > content.size() ? 2 : 4);
          const RawArchive raw = Saved();
          EXPECT_EQ(ContentOf(raw, static_cast<size_t>(index)), content);
        }
      }
    }
  }
}

class ArchiveAddLimit : public ArchiveAdd {
 protected:
  // An archive whose one stored file, "big", ends `room` bytes below 4 GiB;
  // the file is sparse, so no data is written.
  void CraftNearLimit(uint32_t room) {
    const uint32_t big = uint32_t(0x100000000ull - room - 2048);
    RawArchive raw;
    raw.header.numEntries = 1;
    raw.header.nameTableSize = 4;
    raw.header.indexOffset = 2048 + big;
    raw.nameTable = std::string("big\0", 4);
    testing_support::RawEntry e;
    e.flags = 1;
    e.offset = 2048;
    e.storedSize = e.realSize = big;
    e.nameLength = 3;
    raw.entries.push_back(e);
    const std::vector<unsigned char> bytes = raw.Bytes();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes.data(), 2048, 0), 2048);
    const auto rest = static_cast<ssize_t>(bytes.size() - 2048);
    ASSERT_EQ(::pwrite(fd, bytes.data() + 2048, static_cast<size_t>(rest), 2048 + off_t(big)), rest);
    ::close(fd);
  }
};

TEST_F(ArchiveAddLimit, RefusesSourcesOf4GiBOrMore) {
  const std::string source = dir / "huge";
  const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t(1) << 32), 0);
  ::close(fd);
  OpenNew();
  EXPECT_EQ(archive.AddFileFromDisk(source.c_str(), 0), -1);
  EXPECT_EQ(archive.AddFileFromDisk(source.c_str(), 6), -1);
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  EXPECT_TRUE(archive.Close(false));
  EXPECT_EQ(ReadWholeFile(path).size(), 2048u);
}

TEST_F(ArchiveAddLimit, RefusesAnAddWhoseDataAndIndexWouldReach4GiB) {
  CraftNearLimit(100000);
  OpenNew();
  ASSERT_EQ(Add("c", Text(kBlock + 1), 9), 1);  // two parts in the index
  // With "n" the index holds three names (8 bytes), two parts and three
  // records: 164 bytes. The largest file that fits ends the index at 2^32 - 1.
  const uint32_t dataEnd = Entry(1).offset + Entry(1).storedSize;
  const auto fits = static_cast<size_t>(0xFFFFFFFFull - 164 - dataEnd);
  EXPECT_EQ(Add("n", std::string(fits + 1, 'n')), -1);
  EXPECT_EQ(Add("n", Noise(fits), 6), -1);  // compressed, it grows
  EXPECT_EQ(Add("longer name", std::string(fits - 9, 'n')), -1);
  EXPECT_EQ(archive.GetNumFiles(), 2u);
  ASSERT_EQ(Add("n", std::string(fits, 'n')), 2);
  EXPECT_EQ(Entry(2).offset, dataEnd);
  EXPECT_EQ(Add("m", ""), -1);  // even an empty file's index record no longer fits
  ASSERT_TRUE(archive.Close(false));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(uint64_t(info.st_size), 0xFFFFFFFFull);
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_EQ(archive.FindFile("n"), 2);
}

}  // namespace
