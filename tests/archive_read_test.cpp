// Reading byte ranges of stored and compressed entries into memory, the
// one-part cache of a caller's BlockBuffer, readers and streams, checks, and
// bad requests and damage.
#include <cstdlib>
#include <filesystem>
#include <istream>
#include <optional>
#include <tuple>
#include <thread>

#include "archive/korvat.h"

#include "support/TestSystem.h"
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

// With and without a caller's buffer, which moves back and forth between
// parts as the ranges do.
TEST_F(ArchiveRead, CopiesRangesUpToTheEndOfStoredAndCompressedEntries) {
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Open(mode);
    cache.currentPart = Archive::kNoPart;
    for (const int index : {0, 1, -1}) {  // -1: entry 1 through the buffer
      for (unsigned int offset : {100u, kBlock - 1, 2 * kBlock, kSize - 3, kSize, kWhole}) {
        for (unsigned int size : {0u, 10u, kBlock + 2, kSize + 1}) {
          const std::string copied = kContent.substr(offset == kWhole ? 0 : offset, size);
          EXPECT_TRUE(Read(std::abs(index), offset, size, index < 0) ==
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

// The second part of the compressed entry inflates to one byte fewer or
// more than its record says, or has a flipped byte: every way of reading it
// fails, and nothing of it is kept in a caller's buffer. A reader gives the
// intact first part, then fails; the C interface says which entry and why
// (after a buffer too small for it).
// A file cut short after Open is read only up to its end.
TEST_F(ArchiveRead, ADamagedPartFailsEveryReadPath) {
  for (const size_t inflated : {kBlock - 1, kBlock + 1, 0u}) {
    SCOPED_TRACE(inflated);
    RawArchive raw = RawArchiveBuilder().Stored("s", kContent).Compressed("c", kContent).Build();
    if (inflated == 0) raw.data[raw.parts[1].offset - 2048 + 99] ^= 0xFF;
    if (inflated != 0) ReplacePart(raw, 1, Deflated(Text(inflated)));
    archive.Close(false);  // on Windows nobody writes a file an archive holds
    WriteWholeFile(path, raw.Bytes());
    Open(Archive::ModeRead);
    EXPECT_NE(Read(1, 10, 16, true), "failed");
    EXPECT_EQ(Read(1, kBlock + 10, 16), "failed");
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(Read(1, kBlock + 10, 16, true), "failed");
      EXPECT_EQ(cache.currentPart, Archive::kNoPart);
    }
    EXPECT_EQ(Read(1, kWhole, kSize), "failed");
    const std::string out = dir / "out";
    EXPECT_FALSE(archive.ExtractFileToDisk(1, out.c_str()));
    EXPECT_FALSE(archive.ExtractFileParallel(1, out.c_str(), 3));
    EXPECT_FALSE(archive.VerifyFile(1, nullptr));
    Archive::Reader reader(archive, 1);
    std::string got(2 * kBlock, '\0');
    EXPECT_EQ(reader.Read(got.data(), got.size()), int64_t(kBlock));
    EXPECT_EQ(reader.Read(got.data(), got.size()), -1);
    EXPECT_EQ(archive.LastError().code, GAME::ErrorCode::Damaged);
    Archive::StreamBuf buffer(archive, 1);
    std::istream in(&buffer);
    EXPECT_TRUE(in.read(got.data(), std::streamsize(got.size())).bad());
    std::vector<unsigned char> whole;
    EXPECT_FALSE(archive.ReadFile("c", whole) || archive.ReadFile("none", whole));
    EXPECT_EQ(archive.LastError().code, GAME::ErrorCode::NotFound);
    archive.Close(false);
  }
  korvat_archive* handle = korvat_new();
  std::string got(kSize, '\0');
  size_t size = 0;
  ASSERT_EQ(korvat_open(handle, path.c_str(), KORVAT_MODE_READ, 0, 0), KORVAT_OK);
  EXPECT_EQ(korvat_read_file(handle, "c", got.data(), kSize - 1, &size),
            KORVAT_ERROR_BUFFER_TOO_SMALL);
  EXPECT_EQ(korvat_read_file(handle, "c", got.data(), kSize, &size), KORVAT_ERROR_DAMAGED);
  EXPECT_STREQ(korvat_last_message(handle),
               "cannot read \"c\": damaged data (part 2 does not inflate)");
  korvat_free(handle);
  if (kWindows) GTEST_SKIP() << "Linux only: cutting a file an archive holds";
  Open(Archive::ModeRead);
  std::filesystem::resize_file(path, 2048 + 100);
  EXPECT_NE(Read(0, 0, 16), "failed");
  EXPECT_EQ(Read(0, 90, 16), "failed");
}

// Why an entry cannot be checked, and reads that fail or come up short on
// either kind of entry.
TEST_F(ArchiveRead, VerifyGivesTheReason) {
  EXPECT_TRUE(archive.VerifyFile(1, nullptr));
  const std::tuple<int, std::optional<Fault>, std::string> cases[] = {
      {-1, {}, "no such entry"}, {3, {}, "no such entry"}, {2, {}, "removed entry"},
      {0, Fault::Fail, "read error"}, {0, Fault::Short, "data is cut short"},
      {1, Fault::Fail, "part 1 of 3 cannot be read: read error"},
      {1, Fault::Short, "part 1 of 3 cannot be read: data is cut short"}};
  for (const auto& [index, fault, expected] : cases) {
    if (fault) fs.Inject(Call::ReadAt, fs.Count(Call::ReadAt) + 1, *fault);
    std::string reason;
    EXPECT_FALSE(archive.VerifyFile(index, &reason));
    EXPECT_EQ(reason, expected) << index;
    fs.Clear();
  }
}

// A stream reads across parts through a reader, seeks and meets the end as
// in a file (readers alone are read through the Python package); a reader
// of a removed entry, a bad index or an entry changed since gives nothing.
TEST_F(ArchiveRead, StreamsReadAcrossPartsAndStaleReadersNothing) {
  Archive::StreamBuf buffer(archive, 1);
  std::istream in(&buffer);
  std::string text(kBlock + 20, '\0');
  in.seekg(-20 - std::streamoff(kBlock), std::ios_base::end);
  EXPECT_TRUE(in.read(text.data(), std::streamsize(text.size())) && text == kContent.substr(kSize - kBlock - 20));
  EXPECT_EQ(in.get(), EOF);
  in.clear();
  EXPECT_EQ(in.seekg(kBlock - 1).get(), static_cast<unsigned char>(kContent[kBlock - 1]));
  EXPECT_EQ(in.tellg(), std::streampos(kBlock));

  EXPECT_FALSE(Archive::Reader(archive, 2).IsOpen());  // removed
  char byte;
  EXPECT_EQ(Archive::Reader(archive, 9).Read(&byte, 1), -1);
  Open(Archive::ModeWrite);
  Archive::Reader stale(archive, 0);
  ASSERT_TRUE(archive.RemoveFile(0));
  EXPECT_EQ(stale.Read(&byte, 1), -1);
}

}  // namespace
