// Reading byte ranges of stored and compressed entries into memory, the
// one-part cache of a caller's BlockBuffer, and bad requests and damage.
#include <filesystem>
#include <thread>

#include "support/WritableArchive.h"

namespace {

using namespace testing_support;

const std::string kContent = Noise(2 * kBlock + 1000, 7);
const auto kSize = static_cast<unsigned int>(kContent.size());
constexpr unsigned int kWhole = ~0u;  // an offset that asks for ExtractFileToMemory

class ArchiveRead : public ArchiveFileTest {
 protected:
  // Entry 0 stored, entry 1 compressed in three parts, both kContent; 2 removed.
  void SetUp() override {
    OpenBuilt(RawArchiveBuilder().Stored("s", kContent).Compressed("c", kContent).Removed(8),
              Archive::ModeRead);
  }
  // Size bytes at offset, read into size + 4 bytes of 0xA5; "failed" if refused.
  std::string Read(int index, unsigned int offset, unsigned int size, bool cached = false) {
    std::string out(size + 4, '\xA5');
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    const bool done = offset == kWhole ? archive.ExtractFileToMemory(index, bytes, size)
                                       : archive.ReadFromFile(index, bytes, offset, size,
                                                              cached ? &cache : nullptr);
    return done ? out : "failed";
  }
  // A BlockBuffer with the areas the header asks a caller to provide.
  std::vector<unsigned char> compressed = std::vector<unsigned char>(Archive::MaxPartSize());
  std::vector<unsigned char> uncompressed = std::vector<unsigned char>(kBlock);
  Archive::BlockBuffer cache{Archive::kNoPart, compressed.data(), uncompressed.data()};
};

TEST_F(ArchiveRead, CopiesRangesUpToTheEndOfStoredAndCompressedEntries) {
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Open(mode);
    for (int index : {0, 1}) {
      for (unsigned int offset : {100u, kBlock - 1, 2 * kBlock, kSize - 3, kSize, kWhole}) {
        for (unsigned int size : {0u, 10u, kBlock + 2, kSize + 1}) {
          const std::string copied = kContent.substr(offset == kWhole ? 0 : offset, size);
          EXPECT_TRUE(Read(index, offset, size) ==
                      copied + std::string(size + 4 - copied.size(), '\xA5'))
              << index << " " << offset << " " << size;
        }
      }
    }
  }
  // A removed entry has no content: offset 0 copies nothing and succeeds.
  EXPECT_EQ(Read(2, 0, 4), std::string(8, '\xA5'));
  EXPECT_EQ(Read(2, kWhole, 4), std::string(8, '\xA5'));
  EXPECT_EQ(Read(2, 1, 4), "failed");
  EXPECT_EQ(Read(1, kSize + 1, 4), "failed");  // beyond the end
  EXPECT_EQ(archive.LastError().code, ErrorCode::BadArgument);
  EXPECT_EQ(Read(3, 0, 4), "failed");
  // Each thread keeps its own last failure.
  std::thread([&] {
    EXPECT_EQ(archive.LastError().code, ErrorCode::None);
    EXPECT_EQ(Read(1, kSize + 1, 4), "failed");
    EXPECT_EQ(archive.LastError().detail, "offset beyond the end");
  }).join();
  EXPECT_EQ(ErrorMessage(archive.LastError()), "bad argument (no such entry)");
}

TEST_F(ArchiveRead, CallerBufferInflatesEachPartOnceAndKeepsIt) {
  // Each step: an offset, the reads it takes and the part cached after it.
  const uint32_t steps[][3] = {
      {kBlock - 5, 2, 1}, {kBlock + 9, 0, 1}, {kBlock + 90, 0, 1}, {3, 1, 0}};
  for (const auto& s : steps) {
    const uint64_t before = fs.Count(Call::ReadAt);
    EXPECT_EQ(Read(1, s[0], 16, true).substr(0, 16), kContent.substr(s[0], 16));
    EXPECT_EQ(fs.Count(Call::ReadAt) - before, s[1]) << s[0];
    EXPECT_EQ(cache.currentPart, s[2]) << s[0];
  }
}

// A flipped byte in the second part, then a file cut short after Open:
// nothing damaged or missing is read, and the cache keeps no bad part
// (damaged extractions are tried with the parallel tests and "-verify").
TEST_F(ArchiveRead, DamagedOrMissingDataIsReported) {
  RawArchive raw = RawArchiveBuilder().Stored("s", kContent).Compressed("c", kContent).Build();
  raw.data[raw.parts[1].offset - 2048 + 99] ^= 0xFF;
  WriteWholeFile(path, raw.Bytes());
  Open(Archive::ModeRead);
  EXPECT_NE(Read(1, 0, 16, true), "failed");
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(Read(1, kBlock + 10, 16, true), "failed");
    EXPECT_EQ(cache.currentPart, Archive::kNoPart);
  }
  EXPECT_EQ(Read(1, kWhole, kSize), "failed");
  std::filesystem::resize_file(path, 2048 + 100);
  EXPECT_NE(Read(0, 0, 16), "failed");
  EXPECT_EQ(Read(0, 90, 16), "failed");
}

}  // namespace
