// Reading byte ranges of stored and compressed entries into memory, the
// one-part cache of a caller's BlockBuffer, and refusal of bad requests and
// damaged data.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/Content.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

using GAME::Archive;
using testing_support::FaultyFileSystem;
using testing_support::PatternedContent;
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

constexpr unsigned int kBlock = 262144;
const std::string kContent = PatternedContent(2 * kBlock + 1000, 7);

// Entry 0 stored, entry 1 compressed (three parts), both kContent; entry 2
// removed.
RawArchive TwoCopies() {
  return RawArchiveBuilder()
      .Stored("s.bin", kContent)
      .Compressed("c.bin", kContent)
      .Removed(8)
      .Build();
}

// A BlockBuffer with the areas the header asks a caller to provide.
struct OwnedBlockBuffer {
  std::vector<unsigned char> compressed = std::vector<unsigned char>(Archive::MaxPartSize());
  std::vector<unsigned char> uncompressed = std::vector<unsigned char>(kBlock);
  Archive::BlockBuffer buffer{Archive::kNoPart, compressed.data(), uncompressed.data()};
};

class ArchiveRead : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string path = dir / "test.arc";
};

TEST_F(ArchiveRead, CopiesRangesUpToTheEndOfStoredAndCompressedEntries) {
  WriteWholeFile(path, TwoCopies().Bytes());
  const unsigned int size = static_cast<unsigned int>(kContent.size());
  const struct {
    unsigned int offset, size;
  } ranges[] = {
      {100, 5000}, {kBlock - 5, 10}, {kBlock - 1, kBlock + 2}, {2 * kBlock, 1000}, {size - 3, 10},
      {size, 5},   {0, 0},           {0, size + 100}};
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    for (int index : {0, 1}) {
      for (const auto& r : ranges) {
        const size_t expected = std::min<size_t>(r.size, size - r.offset);
        std::vector<unsigned char> out(size_t(r.size) + 4, 0xA5);
        ASSERT_TRUE(archive.ReadFromFile(index, out.data(), r.offset, r.size, nullptr))
            << index << " @" << r.offset;
        EXPECT_EQ(std::string(out.begin(), out.begin() + long(expected)),
                  kContent.substr(r.offset, expected))
            << index << " @" << r.offset;
        // Nothing beyond the copied bytes is touched.
        EXPECT_TRUE(std::all_of(out.begin() + long(expected), out.end(),
                                [](unsigned char c) { return c == 0xA5; }));
      }
      // Extraction to memory stops at the end of the file, and at the size.
      std::vector<unsigned char> whole(size + 8, 0xA5);
      ASSERT_TRUE(archive.ExtractFileToMemory(index, whole.data(), size + 8));
      EXPECT_EQ(std::string(whole.begin(), whole.begin() + size), kContent);
      EXPECT_EQ(whole[size], 0xA5);
      std::fill(whole.begin(), whole.end(), 0xA5);
      ASSERT_TRUE(archive.ExtractFileToMemory(index, whole.data(), 3));
      EXPECT_EQ(std::string(whole.begin(), whole.begin() + 4), kContent.substr(0, 3) + "\xA5");
    }
  }
}

TEST_F(ArchiveRead, RefusesBadRequests) {
  WriteWholeFile(path, TwoCopies().Bytes());
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  unsigned char out[16];
  const unsigned int size = static_cast<unsigned int>(kContent.size());
  EXPECT_FALSE(archive.ReadFromFile(0, nullptr, 0, 4, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(-1, out, 0, 4, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(3, out, 0, 4, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(2, out, 0, 4, nullptr));  // removed
  EXPECT_FALSE(archive.ReadFromFile(0, out, size + 1, 4, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(1, out, size + 1, 4, nullptr));
  EXPECT_FALSE(archive.ExtractFileToMemory(3, out, sizeof out));
  EXPECT_FALSE(archive.ExtractFileToMemory(-1, out, sizeof out));
  EXPECT_FALSE(archive.ExtractFileToMemory(2, out, sizeof out));
  // Closed for a later ReOpen: the index is there but the file is not.
  archive.Close(true);
  EXPECT_FALSE(archive.ReadFromFile(0, out, 0, 4, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(1, out, 0, 4, nullptr));
}

TEST_F(ArchiveRead, CallerBufferInflatesEachPartOnceAndKeepsIt) {
  WriteWholeFile(path, TwoCopies().Bytes());
  FaultyFileSystem fs;
  const auto reads = [&] { return fs.Count(FaultyFileSystem::Call::ReadAt); };
  Archive archive(fs);
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  OwnedBlockBuffer cache;
  std::vector<unsigned char> out(64);

  // Across the boundary: both parts are read, the second one stays.
  uint64_t before = reads();
  ASSERT_TRUE(archive.ReadFromFile(1, out.data(), kBlock - 5, 10, &cache.buffer));
  EXPECT_EQ(std::string(out.begin(), out.begin() + 10), kContent.substr(kBlock - 5, 10));
  EXPECT_EQ(reads() - before, 2u);
  EXPECT_EQ(cache.buffer.currentPart, 1u);

  // Again inside the second part: the disk is not touched.
  before = reads();
  ASSERT_TRUE(archive.ReadFromFile(1, out.data(), kBlock + 1000, 64, &cache.buffer));
  EXPECT_EQ(std::string(out.begin(), out.end()), kContent.substr(kBlock + 1000, 64));
  EXPECT_EQ(reads(), before);

  // Back in the first part: one read, and the cache follows.
  ASSERT_TRUE(archive.ReadFromFile(1, out.data(), 3, 64, &cache.buffer));
  EXPECT_EQ(std::string(out.begin(), out.end()), kContent.substr(3, 64));
  EXPECT_EQ(reads() - before, 1u);
  EXPECT_EQ(cache.buffer.currentPart, 0u);
}

TEST_F(ArchiveRead, DamagedOrMissingDataIsReported) {
  RawArchive raw = TwoCopies();
  const testing_support::RawPart& second = raw.parts[1];  // entry 1, part 1
  raw.data[second.offset - 2048 + second.storedSize / 2] ^= 0xFF;
  WriteWholeFile(path, raw.Bytes());
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  OwnedBlockBuffer cache;
  std::vector<unsigned char> out(16);
  EXPECT_TRUE(archive.ReadFromFile(1, out.data(), 0, 16, &cache.buffer));
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_FALSE(archive.ReadFromFile(1, out.data(), kBlock + 10, 16, &cache.buffer));
    EXPECT_EQ(cache.buffer.currentPart, Archive::kNoPart);
  }
  EXPECT_FALSE(archive.ReadFromFile(1, out.data(), kBlock - 8, 16, nullptr));
  std::vector<unsigned char> whole(kContent.size());
  EXPECT_FALSE(
      archive.ExtractFileToMemory(1, whole.data(), static_cast<unsigned int>(whole.size())));

  // Cut short once Open has checked the index: a short read is a failure.
  std::filesystem::resize_file(path, 2048 + 100);
  EXPECT_TRUE(archive.ReadFromFile(0, out.data(), 0, 16, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(0, out.data(), 90, 16, nullptr));
  EXPECT_FALSE(archive.ReadFromFile(1, out.data(), 0, 16, nullptr));
}

}  // namespace
