// Opening, closing and reopening archives; the index as it lies on disk;
// refusal of malformed files; shared locks and waiting for a lock.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "archive/Archive.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "support/TestSystem.h"

namespace {

using GAME::Archive;
using namespace testing_support;
using Bytes = std::vector<unsigned char>;

// The format's example: a compressed file with a 5-byte name in three parts,
// a removed entry, then a stored file (whose first part is 3, name offset 6).
RawArchive ThreeEntryExample() {
  return RawArchiveBuilder().Compressed("a.tex", std::string(2 * kBlock + 10, 'x')).Removed(40)
      .Stored("b", "stored bytes").Build();
}

struct ArchiveIndex : ::testing::Test {
  ScratchDir dir;
  std::string path = dir / "test.arc";
  Archive archive;
};

// A new archive is the bare header. Loading and saving keep every field: a
// writer's Close writes the file back byte for byte, without what lay after
// the index and with the reserved header bytes cleared (an older archive's
// own bytes there, or the mark of a change made without a journal by a writer
// that died); reading leaves the file alone.
TEST_F(ArchiveIndex, SavingWritesTheSameBytesAndCutsTrailingAndReservedBytes) {
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeWrite) && archive.Close(false));
  EXPECT_EQ(ReadWholeFile(path), RawArchive().Bytes());
  const Bytes original = ThreeEntryExample().Bytes();
  Bytes withTail = original, old = original, marked = original;
  withTail.insert(withTail.end(), {'j', 'u', 'n', 'k'});
  std::fill(old.begin() + 28, old.begin() + 2048, 0xA5);
  std::copy_n("KVBUSY01", 8, marked.begin() + 28);
  std::fill(marked.begin() + 36, marked.begin() + 44, 7);
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    for (const Bytes& bytes : {original, withTail, old, marked}) {
      WriteWholeFile(path, bytes);
      ASSERT_TRUE(archive.Open(path.c_str(), mode));
      ASSERT_EQ(archive.GetNumFiles(), 3u);
      EXPECT_EQ(archive.GetFileEntry(0).parts[2].realSize, 10u);
      EXPECT_EQ(archive.GetFileEntry(1).name, nullptr);
      EXPECT_EQ(archive.FindFile("B"), 2);
      EXPECT_TRUE(archive.Close(false));
      EXPECT_EQ(ReadWholeFile(path), mode == Archive::ModeWrite ? original : bytes);
    }
  }
}

// Bad arguments, a missing file to read (not created), and every way a file
// can fail to be an archive are refused, leaving the file untouched and the
// object unopened; an empty file is an empty archive. Each case breaks one
// rule, every other field agreeing, so no check hides behind another.
TEST_F(ArchiveIndex, MalformedFilesAreRefusedAndLeftUnchanged) {
  EXPECT_FALSE(archive.Open(nullptr, Archive::ModeWrite) || archive.Open("", Archive::ModeWrite));
  EXPECT_FALSE(archive.Open(path.c_str(), static_cast<Archive::FileMode>(3)));
  EXPECT_EQ(archive.LastError().code, GAME::ErrorCode::BadArgument);
  EXPECT_FALSE(archive.Open(path.c_str(), Archive::ModeRead) || std::filesystem::exists(path));
  EXPECT_EQ(archive.LastError().code, GAME::ErrorCode::NotFound);
  EXPECT_EQ(archive.LastError().systemError, ENOENT);
  EXPECT_FALSE(archive.Open(dir.Path().string().c_str(), Archive::ModeRead));
  EXPECT_EQ(archive.LastError().code, GAME::ErrorCode::IsDirectory);
  // The first two name the check that failed.
  const auto withPart = [](RawArchive& a, size_t entry) {
    a.parts.push_back({a.entries[entry].offset, a.entries[entry].storedSize, 1});
    a.entries[entry].firstPart = 3;
    a.entries[entry].numParts = 1;
    a.Recount();
  };
  const std::pair<const char*, std::function<void(RawArchive&)>> cases[] = {
      {"bad magic", [](RawArchive& a) { a.header.magic[3] = 'X'; }},
      {"unknown version", [](RawArchive& a) { a.header.version = 2; }},
      {"index beyond the file", [](RawArchive& a) { a.header.numEntries += 1; }},
      {"huge part count", [](RawArchive& a) { a.header.numParts = 0x40000000; }},
      {"index offset inside the header",
       [](RawArchive& a) { a = RawArchive(), a.header.indexOffset = 2047; }},
      {"unknown flag bit", [](RawArchive& a) { a.entries[2].flags = 5; }},
      {"compressed bit without active", [](RawArchive& a) { a.entries[1].flags = 2; }},
      {"parts outside the part table", [](RawArchive& a) { a.entries[0].firstPart = 1; }},
      {"name outside the name table", [](RawArchive& a) { a.entries[2].nameOffset = 5000; }},
      {"name without its NUL", [](RawArchive& a) { a.nameTable[5] = 'x'; }},
      {"NUL inside a name", [](RawArchive& a) { a.nameTable[1] = '\0'; }},
      {"region beyond the index",
       [](RawArchive& a) { a.entries[2].storedSize += 1, a.entries[2].realSize += 1; }},
      {"region before 2048",
       [](RawArchive& a) { a = RawArchiveBuilder().Stored("b", "bb").Build(), a.entries[0].offset--; }},
      {"regions out of order", [](RawArchive& a) { std::swap(a.entries[0], a.entries[2]); }},
      {"overlapping regions", [](RawArchive& a) { a.entries[1].offset -= 1; }},
      {"part not contiguous", [](RawArchive& a) { a.parts[1].offset += 1; }},
      {"first part not a full block", [](RawArchive& a) { a.parts[0].realSize -= 1; }},
      {"part sizes not adding up", [](RawArchive& a) { a.entries[0].storedSize -= 1; }},
      {"too few parts", [](RawArchive& a) { a.entries[0].realSize = 3 * 262144 + 1; }},
      {"part beyond any block's bound",
       [](RawArchive& a) { ReplacePart(a, 2, std::string(Archive::MaxPartSize() + 1, '\0')); }},
      {"stored entry with parts", [&](RawArchive& a) { withPart(a, 2); }},
      {"stored sizes differ", [](RawArchive& a) { a.entries[2].realSize += 1; }},
      {"removed entry with parts", [&](RawArchive& a) { withPart(a, 1); }},
      {"removed entry with a name", [](RawArchive& a) { a.entries[1].nameLength = 1; }},
      {"shorter than the header", [](RawArchive& a) { a = RawArchive(); }}};
  for (const auto& [what, mutate] : cases) {
    RawArchive raw = ThreeEntryExample();
    mutate(raw);
    Bytes bytes = raw.Bytes();
    if (std::string(what) == "shorter than the header") bytes.resize(2047);
    WriteWholeFile(path, bytes);
    for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
      EXPECT_FALSE(archive.Open(path.c_str(), mode)) << what;
      EXPECT_EQ(archive.LastError().code, GAME::ErrorCode::NotAnArchive) << what;
      if (&what == &cases[0].first || &what == &cases[1].first) {
        EXPECT_EQ(archive.LastError().detail, what);
      }
      EXPECT_EQ(archive.GetNumFiles(), 0u) << what;
      EXPECT_EQ(archive.ArchiveFileMode(), Archive::ModeNone) << what;
      EXPECT_EQ(ReadWholeFile(path), bytes) << what;
    }
  }
  WriteWholeFile(path, {});
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  archive.Close(false);
  // The largest part allowed is accepted.
  RawArchive raw = ThreeEntryExample();
  ReplacePart(raw, 2, std::string(Archive::MaxPartSize(), '\0'));
  WriteWholeFile(path, raw.Bytes());
  EXPECT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
}

// Readers share the file and keep a writer out (a writer keeping readers out
// is the report's case; the locks themselves, the platform's); the pipeline's
// Open waits for the lock as long as it is asked to.
TEST_F(ArchiveIndex, ReadersShareAndOpenWaitsForTheLock) {
  WriteWholeFile(path, {});
  Archive reader, writer;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead) &&
              reader.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(writer.Open(path.c_str(), Archive::ModeWrite, 0, 0));
  EXPECT_EQ(writer.LastError().code, GAME::ErrorCode::Locked);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    archive.Close(false), reader.Close(false);
  });
  EXPECT_TRUE(writer.Open(path.c_str(), Archive::ModeWrite, 0, 60000));
  release.join();
}

// Lookups work while closed with Close(true); a changed file is reloaded, a
// reload that fails is reported, and a full close cannot be reopened.
TEST_F(ArchiveIndex, ReOpenFollowsCloseTrueInReadModeAndReloadsAChangedIndex) {
  WriteWholeFile(path, ThreeEntryExample().Bytes());
  EXPECT_FALSE(archive.ReOpen());  // never opened
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  EXPECT_FALSE(archive.ReOpen());  // still open
  archive.Close(true);
  EXPECT_EQ(archive.FindFile("a.tex"), 0);
  WriteWholeFile(path, RawArchiveBuilder().Stored("new.txt", "n").Build().Bytes());
  ASSERT_TRUE(SetLastWrite(path, 12345));  // surely another time
  ASSERT_TRUE(archive.ReOpen());
  EXPECT_EQ(archive.FindFile("new.txt"), 0);
  archive.Close(true);
  WriteWholeFile(path, {'n', 'o', 'p', 'e'});
  EXPECT_FALSE(archive.ReOpen());
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    WriteWholeFile(path, {});
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    archive.Close(mode == Archive::ModeWrite);  // a full close either way
    EXPECT_FALSE(archive.ReOpen());
  }
}

}  // namespace
