// Checking stored files without extracting them: Archive::VerifyFile and the
// tool's "-verify" on clean, damaged, unopenable and read-only archives.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/FaultyFileSystem.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"

namespace {

using namespace testing_support;
using Call = FaultyFileSystem::Call;
using Fault = FaultyFileSystem::Fault;

// Entry 0 "s.txt" stored, entry 1 removed, entry 2 "big.bin" in two parts.
RawArchive Sample() {
  return RawArchiveBuilder()
      .Stored("s.txt", "stored text")
      .Removed(16)
      .Compressed("big.bin", Noise(300000, 7, 26))
      .Build();
}

class Verify : public ToolTest {
 protected:
  std::string arc = dir / "test.arc";
};

// Each case's file is left exactly as it was, the byte after the index that
// a writer would cut off included.
TEST_F(Verify, ToolNamesEachDamagedFile) {
  struct Case {
    const char* what;
    std::function<void(RawArchive&)> damage;
    std::string err;  // empty when nothing is damaged
  };
  const Case cases[] = {
      {"clean", [](RawArchive&) {}, ""},
      {"flipped byte in a compressed part",
       [](RawArchive& a) { a.data[a.parts[1].offset - 2048 + a.parts[1].storedSize / 2] ^= 0x55; },
       "damaged: big.bin (part 2 of 2 does not inflate)\n"},
      {"flipped byte in a stored file",
       [](RawArchive& a) { a.data[a.entries[0].offset - 2048] ^= 1; },
       "damaged: s.txt (checksum mismatch)\n"},
      {"truncated last part",
       [](RawArchive& a) {
         a.parts[1].storedSize -= 10;
         a.entries[2].storedSize -= 10;
         a.data.resize(a.data.size() - 10);
         a.header.indexOffset -= 10;
       },
       "damaged: big.bin (part 2 of 2 does not inflate)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RawArchive archive = Sample();
    c.damage(archive);
    std::vector<unsigned char> bytes = archive.Bytes();
    bytes.push_back('!');
    WriteWholeFile(arc, bytes);
    const ToolResult r = Run({"test.arc", "-VERIFY"});
    EXPECT_EQ(r.exitCode, c.err.empty() ? 0 : 1);
    EXPECT_EQ(r.out,
              c.err.empty() ? "2 files checked, 0 damaged\n" : "2 files checked, 1 damaged\n");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(ReadWholeFile(arc), bytes);
  }
}

// A missing archive is not created; a file that is not an archive is left
// alone; a read-only archive file is checked like any other.
TEST_F(Verify, ToolOpensForReadingOnly) {
  const auto run = [&](const ToolOptions& options = {}) {
    return Run({"test.arc", "-verify"}, options);
  };
  ToolResult r = run();
  EXPECT_EQ(r.exitCode, 255);
  EXPECT_EQ(r.err, "Failed to open archive file test.arc.\n");
  EXPECT_FALSE(std::filesystem::exists(arc));

  const std::vector<unsigned char> text = {'h', 'e', 'l', 'l', 'o'};
  WriteWholeFile(arc, text);
  EXPECT_EQ(run().exitCode, 255);
  EXPECT_EQ(ReadWholeFile(arc), text);

  WriteWholeFile(arc, Sample().Bytes());
  namespace fs = std::filesystem;
  fs::permissions(dir.Path(), fs::perms::all);
  fs::permissions(arc, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  r = run(ToolOptions{.unprivileged = true});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "2 files checked, 0 damaged\n");
}

// The reasons for entries that cannot be checked, and for reads that fail or
// come up short on either kind of entry.
TEST_F(Verify, ReasonsFromTheLibrary) {
  WriteWholeFile(arc, Sample().Bytes());
  FaultyFileSystem faulty;
  GAME::Archive archive(faulty);
  ASSERT_TRUE(archive.Open(arc.c_str(), GAME::Archive::ModeRead));
  EXPECT_TRUE(archive.VerifyFile(2, nullptr));
  struct Case {
    int index;
    std::optional<Fault> fault;
    std::string reason;
  };
  const Case cases[] = {
      {-1, {}, "no such entry"},
      {3, {}, "no such entry"},
      {1, {}, "removed entry"},
      {0, Fault::Fail, "read error"},
      {0, Fault::Short, "data is cut short"},
      {2, Fault::Fail, "part 1 of 2 cannot be read: read error"},
      {2, Fault::Short, "part 1 of 2 cannot be read: data is cut short"},
  };
  for (const Case& c : cases) {
    if (c.fault) faulty.Inject(Call::ReadAt, faulty.Count(Call::ReadAt) + 1, *c.fault);
    std::string reason;
    EXPECT_FALSE(archive.VerifyFile(c.index, &reason));
    EXPECT_EQ(reason, c.reason) << c.index;
    faulty.Clear();
  }
}

}  // namespace
