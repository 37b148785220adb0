// Opening, closing and reopening archives; the index as it lies on disk;
// refusal of malformed files; the list of reusable entries.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "archive/Archive.h"
#include "support/ArchiveTestPeer.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

using GAME::Archive;
using GAME::ArchiveTestPeer;
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ReadWholeFile;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

// The example of the format: a compressed file with a 5-byte name and three
// parts, a removed entry, then a stored file.
RawArchive ThreeEntryExample() {
  return RawArchiveBuilder()
      .Compressed("a.tex", std::string(2 * 262144 + 10, 'x'))
      .Removed(40)
      .Stored("b", "stored bytes")
      .Build();
}

class ArchiveIndex : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string path = dir / "test.arc";
};

TEST_F(ArchiveIndex, NewArchiveClosedAtOnceIsTheBare2048ByteHeader) {
  {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
    EXPECT_EQ(archive.GetNumFiles(), 0u);
    EXPECT_TRUE(archive.Close(false));
  }
  std::vector<unsigned char> expected(2048, 0);
  const unsigned char head[] = {'A', 'R', 'C', 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0,   0,   0,   0, 0, 0, 0, 0, 0, 8, 0, 0};
  std::copy(std::begin(head), std::end(head), expected.begin());
  EXPECT_EQ(ReadWholeFile(path), expected);
}

TEST_F(ArchiveIndex, OpenWithoutChangeRewritesTheSameBytesAndCutsTrailingBytes) {
  const std::vector<unsigned char> original = ThreeEntryExample().Bytes();
  std::vector<unsigned char> withTail = original;
  withTail.insert(withTail.end(), {'j', 'u', 'n', 'k'});
  for (const auto& bytes : {original, withTail}) {
    WriteWholeFile(path, bytes);
    {
      Archive archive;
      ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
    }  // the destructor closes and saves
    EXPECT_EQ(ReadWholeFile(path), original);
  }
}

TEST_F(ArchiveIndex, LoadsTheExampleIndexInBothModes) {
  WriteWholeFile(path, ThreeEntryExample().Bytes());
  RawArchive raw;
  ASSERT_TRUE(RawArchive::Parse(ReadWholeFile(path), raw));
  EXPECT_EQ(raw.header.numParts, 3u);
  EXPECT_EQ(raw.entries[1].firstPart, 3u);
  EXPECT_EQ(raw.entries[2].firstPart, 3u);
  EXPECT_EQ(raw.entries[1].nameOffset, 6u);
  EXPECT_EQ(raw.entries[2].nameOffset, 6u);

  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    ASSERT_EQ(archive.GetNumFiles(), 3u);
    const Archive::FileEntry& compressed = archive.GetFileEntry(0);
    EXPECT_EQ(compressed.flags, 3u);
    EXPECT_STREQ(compressed.name, "a.tex");
    ASSERT_EQ(compressed.numParts, 3u);
    EXPECT_EQ(compressed.parts[0].offset, 2048u);
    EXPECT_EQ(compressed.parts[2].realSize, 10u);
    const Archive::FileEntry& removed = archive.GetFileEntry(1);
    EXPECT_EQ(removed.flags, 0u);
    EXPECT_EQ(removed.name, nullptr);
    EXPECT_EQ(removed.storedSize, 40u);
    EXPECT_STREQ(archive.GetFileEntry(2).name, "b");
    EXPECT_EQ(archive.FindFile("B"), 2);
  }
}

TEST_F(ArchiveIndex, OpenFailsForBadArgumentsAndMissingFiles) {
  Archive archive;
  EXPECT_FALSE(archive.Open(nullptr, Archive::ModeWrite));
  EXPECT_FALSE(archive.Open("", Archive::ModeWrite));
  EXPECT_FALSE(archive.Open(path.c_str(), static_cast<Archive::FileMode>(0)));
  EXPECT_FALSE(archive.Open(path.c_str(), static_cast<Archive::FileMode>(3)));
  EXPECT_FALSE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(archive.ArchiveFileMode(), Archive::ModeNone);
  EXPECT_EQ(archive.ArchiveFileHandle(), reinterpret_cast<void*>(intptr_t(-1)));
}

TEST_F(ArchiveIndex, EmptyFileOpensAsAnEmptyArchive) {
  WriteWholeFile(path, {});
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  Archive::Stats stats;
  archive.CalcStats(stats);
  EXPECT_EQ(stats.tableSize, 31u);
}

// Every way a file can fail to be an archive; each must leave it untouched.
TEST_F(ArchiveIndex, MalformedFilesAreRefusedAndLeftUnchanged) {
  using Mutation = std::function<void(RawArchive&)>;
  const struct {
    const char* what;
    Mutation mutate;
  } cases[] = {
      {"fourth magic byte not NUL", [](RawArchive& a) { a.header.magic[3] = 'X'; }},
      {"version 0", [](RawArchive& a) { a.header.version = 0; }},
      {"version 2", [](RawArchive& a) { a.header.version = 2; }},
      {"index beyond the file", [](RawArchive& a) { a.header.numEntries += 1; }},
      {"index offset inside the header", [](RawArchive& a) { a.header.indexOffset = 100; }},
      {"huge part count", [](RawArchive& a) { a.header.numParts = 0x40000000; }},
      {"unknown flag bit", [](RawArchive& a) { a.entries[2].flags = 5; }},
      {"compressed bit without active", [](RawArchive& a) { a.entries[1].flags = 2; }},
      {"parts outside the part table", [](RawArchive& a) { a.entries[0].firstPart = 1; }},
      {"name outside the name table", [](RawArchive& a) { a.entries[2].nameOffset = 5000; }},
      {"name without its NUL", [](RawArchive& a) { a.entries[0].nameLength = 6; }},
      {"NUL inside a name", [](RawArchive& a) { a.nameTable[1] = '\0'; }},
      {"region beyond the data", [](RawArchive& a) { a.entries[2].storedSize += 1; }},
      {"region before 2048", [](RawArchive& a) { a.entries[0].offset = 10; }},
      {"regions out of order", [](RawArchive& a) { std::swap(a.entries[0], a.entries[2]); }},
      {"overlapping regions", [](RawArchive& a) { a.entries[1].offset -= 1; }},
      {"part not contiguous", [](RawArchive& a) { a.parts[1].offset += 1; }},
      {"first part not a full block", [](RawArchive& a) { a.parts[0].realSize -= 1; }},
      {"part sizes not adding up", [](RawArchive& a) { a.entries[0].storedSize -= 1; }},
      {"too few parts", [](RawArchive& a) { a.entries[0].realSize = 3 * 262144 + 1; }},
      {"part larger than any block compresses to",
       [](RawArchive& a) { a.parts[2].storedSize = 300000; }},
      {"stored entry with parts", [](RawArchive& a) { a.entries[2].numParts = 1; }},
      {"stored sizes differ", [](RawArchive& a) { a.entries[2].realSize += 1; }},
      {"removed entry with parts", [](RawArchive& a) { a.entries[1].numParts = 1; }},
  };
  for (const auto& c : cases) {
    RawArchive raw = ThreeEntryExample();
    c.mutate(raw);
    const std::vector<unsigned char> bytes = raw.Bytes();
    WriteWholeFile(path, bytes);
    for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
      {
        Archive archive;
        EXPECT_FALSE(archive.Open(path.c_str(), mode)) << c.what;
        EXPECT_EQ(archive.GetNumFiles(), 0u) << c.what;
      }
      EXPECT_EQ(ReadWholeFile(path), bytes) << c.what;
    }
  }
  for (size_t length : {1u, 2047u}) {
    std::vector<unsigned char> shortFile = ThreeEntryExample().Bytes();
    shortFile.resize(length);
    WriteWholeFile(path, shortFile);
    Archive archive;
    EXPECT_FALSE(archive.Open(path.c_str(), Archive::ModeWrite)) << length;
    EXPECT_EQ(ReadWholeFile(path), shortFile);
  }
}

TEST_F(ArchiveIndex, OneWriterExcludesEveryOtherOpenWhileReadersShare) {
  WriteWholeFile(path, {});
  Archive writer, other;
  ASSERT_TRUE(writer.Open(path.c_str(), Archive::ModeWrite));
  EXPECT_FALSE(other.Open(path.c_str(), Archive::ModeWrite));
  EXPECT_FALSE(other.Open(path.c_str(), Archive::ModeRead));
  writer.Close(false);

  Archive reader1, reader2;
  ASSERT_TRUE(reader1.Open(path.c_str(), Archive::ModeRead));
  EXPECT_TRUE(reader2.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(other.Open(path.c_str(), Archive::ModeWrite));
}

TEST_F(ArchiveIndex, ReOpenOnlyAfterCloseTrueInReadMode) {
  WriteWholeFile(path, ThreeEntryExample().Bytes());
  Archive archive;
  EXPECT_FALSE(archive.ReOpen());  // never opened
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(archive.ReOpen());  // still open
  archive.Close(true);
  EXPECT_EQ(archive.ArchiveFileHandle(), reinterpret_cast<void*>(intptr_t(-1)));
  EXPECT_EQ(archive.FindFile("a.tex"), 0);  // lookups work while closed
  EXPECT_EQ(archive.GetFileEntry(2).realSize, 12u);
  EXPECT_TRUE(archive.ReOpen());
  EXPECT_NE(archive.ArchiveFileHandle(), reinterpret_cast<void*>(intptr_t(-1)));

  archive.Close(false);
  EXPECT_FALSE(archive.ReOpen());
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
  archive.Close(true);  // a full close in write mode
  EXPECT_FALSE(archive.ReOpen());
}

TEST_F(ArchiveIndex, ReOpenReloadsAnIndexThatChangedMeanwhile) {
  WriteWholeFile(path, ThreeEntryExample().Bytes());
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  archive.Close(true);
  WriteWholeFile(path, RawArchiveBuilder().Stored("new.txt", "n").Build().Bytes());
  struct timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(archive.ReOpen());
  EXPECT_EQ(archive.GetNumFiles(), 1u);
  EXPECT_EQ(archive.FindFile("new.txt"), 0);

  // A reload that fails is reported.
  archive.Close(true);
  WriteWholeFile(path, {'n', 'o', 'p', 'e'});
  EXPECT_FALSE(archive.ReOpen());
}

TEST_F(ArchiveIndex, FreeListStartsInIndexOrderAndFindsTheBestFit) {
  const struct {
    std::vector<uint32_t> freeSizes;
    unsigned int wanted;
    int expectedPosition;  // position in freeSizes, -1 for none
  } cases[] = {
      {{64, 64}, 64, 0},          {{300, 120, 100}, 100, 2}, {{300, 120, 120}, 100, 1},
      {{50}, 100, -1},            {{100, 70, 50}, 60, 1},    {{100, 70, 50}, 50, 2},
      {{100, 70, 50}, 101, -1},
  };
  for (const auto& c : cases) {
    RawArchiveBuilder builder;
    builder.Stored("first", "1");
    for (size_t k = 0; k < c.freeSizes.size(); ++k) {
      builder.Removed(c.freeSizes[k]).Stored("kept" + std::to_string(k), "y");
    }
    WriteWholeFile(path, builder.Build().Bytes());
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
    std::vector<uint32_t> expectedList;
    for (size_t k = 0; k < c.freeSizes.size(); ++k) expectedList.push_back(uint32_t(1 + 2 * k));
    EXPECT_EQ(ArchiveTestPeer::FreeEntries(archive), expectedList);
    const int expected = c.expectedPosition < 0 ? -1 : 1 + 2 * c.expectedPosition;
    EXPECT_EQ(ArchiveTestPeer::FindFreeEntry(archive, c.wanted), expected) << c.wanted;
  }
}

TEST_F(ArchiveIndex, SmallAccessors) {
  Archive archive;
  EXPECT_EQ(archive.BlockSize(), 262144u);
  archive.FreeFileBuffer();  // nothing to free on a new object
  EXPECT_EQ(archive.ArchiveFileMode(), Archive::ModeNone);
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
  EXPECT_EQ(archive.ArchiveFileMode(), Archive::ModeWrite);
  EXPECT_EQ(ArchiveTestPeer::Capacity(archive), 0u);
}

}  // namespace
