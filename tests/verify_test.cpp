// Checking stored files without extracting them: Archive::VerifyFile and the
// tool's "-verify" on clean, damaged, unopenable and read-only archives.

#include <functional>
#include <optional>

#include "support/ToolRunner.h"
#include "support/WritableArchive.h"
#include "support/TestSystem.h"

namespace {

using namespace testing_support;
using Verify = ToolTest;

// Entry 0 "s.txt" stored, entry 1 removed, entry 2 "big.bin" in two parts.
RawArchive Sample() {
  return RawArchiveBuilder()
      .Stored("s.txt", "stored text")
      .Removed(16)
      .Compressed("big.bin", Noise(300000, 7, 26))
      .Build();
}

// The file is left exactly as it was, with the byte after its index that a
// writer would cut off. (Flipped bytes in stored and compressed parts are
// named by the parallel "-verify" test.)
TEST_F(Verify, ToolNamesEachDamagedFileAndChangesNothing) {
  const std::string clean = "2 files checked, 0 damaged\n", damaged = "2 files checked, 1 damaged\n";
  const struct {
    const char* what;
    std::function<void(RawArchive&)> damage;
    int exitCode;
    std::string out, err;
    ToolOptions options = {};
  } cases[] = {
      {"clean", [](RawArchive&) {}, 0, clean, ""},
      {"a byte after a part's zlib stream",
       [](RawArchive& a) {
         a.data.push_back(0);
         ++a.parts[1].storedSize, ++a.entries[2].storedSize, ++a.header.indexOffset;
       },
       1, damaged, "damaged: big.bin (part 2 of 2 does not inflate)\n"},
      {"not an archive", [](RawArchive& a) { a.header.magic = "ARC!"; }, 255, "",
       "Failed to open archive file test.arc.\nReason: not an archive (bad magic)\n"},
      {"read-only file", [](RawArchive&) {}, 0, clean, "", {.unprivileged = true}},
  };
  ASSERT_EQ(ChangeMode(dir.Path(), 0777), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RawArchive archive = Sample();
    c.damage(archive);
    std::vector<unsigned char> bytes = archive.Bytes();
    bytes.push_back('!');
    WriteWholeFile(dir / "test.arc", bytes);
    ASSERT_EQ(ChangeMode((dir / "test.arc"), c.options.unprivileged ? 0444 : 0644), 0);
    Expect({"test.arc", "-VERIFY"}, c.exitCode, c.out, c.err, c.options);
    EXPECT_EQ(ReadWholeFile(dir / "test.arc"), bytes);
  }
}

// The reasons for entries that cannot be checked, and for reads that fail or
// come up short on either kind of entry.
TEST_F(Verify, ReasonsFromTheLibrary) {
  WriteWholeFile(dir / "test.arc", Sample().Bytes());
  FaultyFileSystem faulty;
  Archive archive(faulty);
  ASSERT_TRUE(archive.Open((dir / "test.arc").c_str(), Archive::ModeRead));
  EXPECT_TRUE(archive.VerifyFile(2, nullptr));
  const std::tuple<int, std::optional<Fault>, std::string> cases[] = {
      {-1, {}, "no such entry"},
      {3, {}, "no such entry"},
      {1, {}, "removed entry"},
      {0, Fault::Fail, "read error"},
      {0, Fault::Short, "data is cut short"},
      {2, Fault::Fail, "part 1 of 2 cannot be read: read error"},
      {2, Fault::Short, "part 1 of 2 cannot be read: data is cut short"},
  };
  for (const auto& [index, fault, expected] : cases) {
    if (fault) faulty.Inject(Call::ReadAt, faulty.Count(Call::ReadAt) + 1, *fault);
    std::string reason;
    EXPECT_FALSE(archive.VerifyFile(index, &reason));
    EXPECT_EQ(reason, expected) << index;
    faulty.Clear();
  }
}

}  // namespace
