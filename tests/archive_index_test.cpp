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
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ReadWholeFile;
using testing_support::WriteWholeFile;

void* const kInvalidHandle = reinterpret_cast<void*>(intptr_t(-1));

// The format's example: a compressed file with a 5-byte name in three parts,
// a removed entry, then a stored file (whose first part is 3, name offset 6).
RawArchive ThreeEntryExample() {
  return RawArchiveBuilder()
      .Compressed("a.tex", std::string(2 * 262144 + 10, 'x'))
      .Removed(40)
      .Stored("b", "stored bytes")
      .Build();
}

class ArchiveIndex : public ::testing::Test {
 protected:
  testing_support::ScratchDir dir;
  std::string path = dir / "test.arc";
};

TEST_F(ArchiveIndex, NewArchiveClosedAtOnceIsTheBare2048ByteHeader) {
  {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
    EXPECT_TRUE(archive.Close(false));
  }
  std::vector<unsigned char> expected = {'A', 'R', 'C', 0, 1};  // then counts of 0
  expected.resize(2048);
  expected[25] = 2048 >> 8;  // the index offset
  EXPECT_EQ(ReadWholeFile(path), expected);
}

// Loading and saving must keep every field: the file comes back byte for
// byte, without anything that lay after the index; reading leaves it alone.
TEST_F(ArchiveIndex, OpenWithoutChangeRewritesTheSameBytesAndCutsTrailingBytes) {
  const std::vector<unsigned char> original = ThreeEntryExample().Bytes();
  std::vector<unsigned char> withTail = original;
  withTail.insert(withTail.end(), {'j', 'u', 'n', 'k'});
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    for (const auto& bytes : {original, withTail}) {
      WriteWholeFile(path, bytes);
      {
        Archive archive;
        ASSERT_TRUE(archive.Open(path.c_str(), mode));
        ASSERT_EQ(archive.GetNumFiles(), 3u);
        EXPECT_EQ(archive.GetFileEntry(0).parts[2].realSize, 10u);
        EXPECT_EQ(archive.GetFileEntry(1).name, nullptr);
        EXPECT_EQ(archive.FindFile("B"), 2);
      }  // the destructor saves
      EXPECT_EQ(ReadWholeFile(path), mode == Archive::ModeWrite ? original : bytes);
    }
  }
}

TEST_F(ArchiveIndex, OpenRefusesBadArgumentsAndMissingFilesButTakesAnEmptyFile) {
  Archive archive;
  EXPECT_FALSE(archive.Open(nullptr, Archive::ModeWrite));
  EXPECT_FALSE(archive.Open("", Archive::ModeWrite));
  EXPECT_FALSE(archive.Open(path.c_str(), static_cast<Archive::FileMode>(0)));
  EXPECT_FALSE(archive.Open(path.c_str(), static_cast<Archive::FileMode>(3)));
  EXPECT_FALSE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(archive.ArchiveFileMode(), Archive::ModeNone);
  EXPECT_EQ(archive.ArchiveFileHandle(), kInvalidHandle);
  WriteWholeFile(path, {});
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_EQ(archive.GetNumFiles(), 0u);
}

// Every way a file can fail to be an archive; each must leave it untouched.
TEST_F(ArchiveIndex, MalformedFilesAreRefusedAndLeftUnchanged) {
  const std::pair<const char*, std::function<void(RawArchive&)>> cases[] = {
      {"fourth magic byte not NUL", [](RawArchive& a) { a.header.magic[3] = 'X'; }},
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
      {"part beyond any block's bound", [](RawArchive& a) { a.parts[2].storedSize = 300000; }},
      {"stored entry with parts", [](RawArchive& a) { a.entries[2].numParts = 1; }},
      {"stored sizes differ", [](RawArchive& a) { a.entries[2].realSize += 1; }},
      {"removed entry with parts", [](RawArchive& a) { a.entries[1].numParts = 1; }}};
  auto expectRefusedAndUnchanged = [&](const std::vector<unsigned char>& bytes, const char* what) {
    WriteWholeFile(path, bytes);
    for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
      {
        Archive archive;
        EXPECT_FALSE(archive.Open(path.c_str(), mode)) << what;
        EXPECT_EQ(archive.GetNumFiles(), 0u) << what;
      }
      EXPECT_EQ(ReadWholeFile(path), bytes) << what;
    }
  };
  for (const auto& [what, mutate] : cases) {
    RawArchive raw = ThreeEntryExample();
    mutate(raw);
    expectRefusedAndUnchanged(raw.Bytes(), what);
  }
  std::vector<unsigned char> shortFile = ThreeEntryExample().Bytes();
  shortFile.resize(2047);
  expectRefusedAndUnchanged(shortFile, "shorter than the header");
}

TEST_F(ArchiveIndex, OneWriterExcludesEveryOtherOpenWhileReadersShare) {
  WriteWholeFile(path, {});
  Archive writer, other, reader1, reader2;
  ASSERT_TRUE(writer.Open(path.c_str(), Archive::ModeWrite));
  EXPECT_FALSE(other.Open(path.c_str(), Archive::ModeWrite));
  EXPECT_FALSE(other.Open(path.c_str(), Archive::ModeRead));
  writer.Close(false);
  ASSERT_TRUE(reader1.Open(path.c_str(), Archive::ModeRead));
  EXPECT_TRUE(reader2.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(other.Open(path.c_str(), Archive::ModeWrite));
}

TEST_F(ArchiveIndex, ReOpenFollowsCloseTrueInReadModeAndReloadsAChangedIndex) {
  WriteWholeFile(path, ThreeEntryExample().Bytes());
  Archive archive;
  EXPECT_FALSE(archive.ReOpen());  // never opened
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(archive.ReOpen());  // still open
  archive.Close(true);
  EXPECT_EQ(archive.ArchiveFileHandle(), kInvalidHandle);
  EXPECT_EQ(archive.FindFile("a.tex"), 0);  // lookups work while closed
  ASSERT_TRUE(archive.ReOpen());
  EXPECT_NE(archive.ArchiveFileHandle(), kInvalidHandle);
  archive.Close(true);

  WriteWholeFile(path, RawArchiveBuilder().Stored("new.txt", "n").Build().Bytes());
  struct timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};  // surely another time
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  ASSERT_TRUE(archive.ReOpen());
  EXPECT_EQ(archive.FindFile("new.txt"), 0);
  archive.Close(true);
  WriteWholeFile(path, {'n', 'o', 'p', 'e'});
  EXPECT_FALSE(archive.ReOpen());  // a reload that fails is reported

  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    WriteWholeFile(path, {});
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    archive.Close(mode == Archive::ModeWrite);  // a full close either way
    EXPECT_FALSE(archive.ReOpen());
  }
}

// Removed entries of 300, 120, 100, 120 and 50 bytes at 1, 3, 5, 7 and 9: the
// smallest that fits wins, the first of equals.
TEST_F(ArchiveIndex, FreeListStartsInIndexOrderAndFindsTheBestFit) {
  RawArchiveBuilder builder;
  builder.Stored("first", "1");
  for (uint32_t size : {300, 120, 100, 120, 50}) {
    builder.Removed(size).Stored("after" + std::to_string(size), "y");
  }
  WriteWholeFile(path, builder.Build().Bytes());
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite));
  EXPECT_EQ(GAME::ArchiveTestPeer::FreeEntries(archive), (std::vector<uint32_t>{1, 3, 5, 7, 9}));
  const std::pair<unsigned int, int> cases[] = {{100, 5}, {101, 3}, {120, 3}, {50, 9},
                                                {60, 5},  {300, 1}, {301, -1}};
  for (const auto& [wanted, entry] : cases) {
    EXPECT_EQ(GAME::ArchiveTestPeer::FindFreeEntry(archive, wanted), entry) << wanted;
  }
}

}  // namespace
