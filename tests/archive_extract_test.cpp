// Extracting entries to disk: the directories made on the way, the
// destination used as typed, truncation of old targets, ExtractAll with
// removed entries, damaged archives and names that would leave the
// destination.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/Content.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

namespace fsys = std::filesystem;
using GAME::Archive;
using testing_support::FaultyFileSystem;
using testing_support::PatternedContent;
using testing_support::RawArchive;
using testing_support::RawArchiveBuilder;
using testing_support::ReadWholeFile;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

const std::string kBig = PatternedContent(262144 + 5000, 3);

std::string FileText(const fsys::path& path) {
  const std::vector<unsigned char> bytes = ReadWholeFile(path.string());
  return std::string(bytes.begin(), bytes.end());
}

// Every path below root, relative to it, sorted.
std::vector<std::string> Tree(const fsys::path& root) {
  std::vector<std::string> out;
  for (const auto& item : fsys::recursive_directory_iterator(root)) {
    out.push_back(fsys::relative(item.path(), root).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

class ArchiveExtract : public ::testing::Test {
 protected:
  void Write(const RawArchiveBuilder& builder) { WriteWholeFile(path, builder.Build().Bytes()); }

  ScratchDir dir;
  std::string path = dir / "test.arc";
};

TEST_F(ArchiveExtract, WritesEntriesUnderAMissingTreeAndTruncatesOldTargets) {
  Write(RawArchiveBuilder()
            .Stored("textures/a/b.tex", "stored bytes")
            .Compressed("maps/world.map", kBig)
            .Stored("empty/stored", "")
            .Compressed("empty/compressed", ""));
  const std::string contents[] = {"stored bytes", kBig, "", ""};
  const fsys::path out = dir.Path() / "out.d/x";
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    // The second time every target exists and is longer; a trailing '/'
    // gets no second one.
    const std::string typed = out.string() + (mode == Archive::ModeRead ? "" : "/");
    for (int i = 0; i < 4; ++i) {
      const fsys::path target = out / archive.GetFileEntry(i).name;
      ASSERT_TRUE(archive.ExtractFileToDisk(i, typed.c_str())) << i;
      EXPECT_EQ(FileText(target), contents[i]) << i;
      WriteWholeFile(target.string(), std::vector<unsigned char>(kBig.size() + 10, 'o'));
    }
  }
}

TEST_F(ArchiveExtract, DestinationIsUsedAsTyped) {
  Write(RawArchiveBuilder().Stored("f.txt", "x"));
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  // Relative spellings are built from the current directory to the scratch
  // directory, so they must land exactly there.
  const fsys::path cwd = fsys::current_path();
  const std::string viaDot = "./" + fsys::relative(dir.Path(), cwd).string() + "/Dot";
  const std::string viaParent =
      "../" + fsys::relative(dir.Path(), cwd.parent_path()).string() + "/Up";
  std::string backslashed = dir / "Back\\Slash";
  const struct {
    std::string typed;
    const char* lands;
  } cases[] = {{dir / "Out/Sub", "Out/Sub/f.txt"},
               {backslashed, "Back/Slash/f.txt"},
               {viaDot, "Dot/f.txt"},
               {viaParent, "Up/f.txt"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(archive.ExtractFileToDisk(0, c.typed.c_str())) << c.typed;
    EXPECT_TRUE(fsys::is_regular_file(dir.Path() / c.lands)) << c.typed;
  }
  EXPECT_EQ(
      Tree(dir.Path()),
      (std::vector<std::string>{"Back", "Back/Slash", "Back/Slash/f.txt", "Dot", "Dot/f.txt", "Out",
                                "Out/Sub", "Out/Sub/f.txt", "Up", "Up/f.txt", "test.arc"}));
}

TEST_F(ArchiveExtract, NoDirectoryMeansTheCurrentOne) {
  Write(RawArchiveBuilder().Stored("sub/f.txt", "x").Stored("g.txt", "y"));
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  const fsys::path before = fsys::current_path();
  fsys::current_path(dir.Path());
  const bool extractedNull = archive.ExtractFileToDisk(0, nullptr);
  const bool extractedEmpty = archive.ExtractFileToDisk(1, "");
  fsys::current_path(before);
  EXPECT_TRUE(extractedNull);
  EXPECT_TRUE(extractedEmpty);
  EXPECT_EQ(FileText(dir.Path() / "sub/f.txt"), "x");
  EXPECT_EQ(FileText(dir.Path() / "g.txt"), "y");
}

TEST_F(ArchiveExtract, NamesThatLeaveTheDestinationCreateNothing) {
  Write(RawArchiveBuilder()
            .Stored("../evil.txt", "e")
            .Stored("a/../../evil.txt", "e")
            .Stored("a\\..\\..\\evil.txt", "e")
            .Stored("/abs.txt", "e")
            .Stored("c:/evil.txt", "e")
            .Stored("dir/", "e")
            .Stored("a/..", "e")
            .Removed(4));
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  const std::string out = dir / "dest/sub";
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(archive.ExtractFileToDisk(i, out.c_str())) << i;
  EXPECT_EQ(Tree(dir.Path()), std::vector<std::string>{"test.arc"});
}

TEST_F(ArchiveExtract, TheArchiveItselfIsNeverATarget) {
  Write(RawArchiveBuilder().Stored("test.arc", "overwritten"));
  const std::vector<unsigned char> original = ReadWholeFile(path);
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    {
      Archive archive;
      ASSERT_TRUE(archive.Open(path.c_str(), mode));
      EXPECT_FALSE(archive.ExtractFileToDisk(0, dir.Path().c_str()));
    }
    EXPECT_EQ(ReadWholeFile(path), original);
  }
}

// The callback cannot carry context, so it records into this list.
std::vector<std::string> progress;

void RecordProgress(const Archive::FileEntry& entry, unsigned int index, unsigned int count) {
  progress.push_back(std::to_string(index) + "/" + std::to_string(count) + " " +
                     (entry.name != nullptr ? entry.name : "-"));
}

TEST_F(ArchiveExtract, ExtractAllSkipsRemovedEntriesWithoutFailing) {
  Write(RawArchiveBuilder().Stored("one", "1").Removed(5).Compressed("two/2", "22"));
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    const fsys::path out = dir.Path() / "out";
    fsys::remove_all(out);
    progress.clear();
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
    EXPECT_TRUE(archive.ExtractAll(out.c_str(), RecordProgress));
    EXPECT_EQ(progress, (std::vector<std::string>{"0/3 one", "1/3 -", "2/3 two/2"}));
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"one", "two", "two/2"}));
    EXPECT_EQ(FileText(out / "two/2"), "22");
    EXPECT_TRUE(archive.ExtractAll(out.c_str(), nullptr));
  }

  WriteWholeFile(path, {});  // an empty archive
  progress.clear();
  Archive empty;
  ASSERT_TRUE(empty.Open(path.c_str(), Archive::ModeRead));
  EXPECT_TRUE(empty.ExtractAll((dir / "none").c_str(), RecordProgress));
  EXPECT_TRUE(progress.empty());
}

TEST_F(ArchiveExtract, DamagedArchivesAreNotReportedAsExtracted) {
  // Entry 0 stored, entry 1 compressed in two parts.
  const RawArchive intact =
      RawArchiveBuilder().Stored("s.txt", "stored content").Compressed("c.bin", kBig).Build();
  RawArchive storedFlip = intact;
  storedFlip.data[3] ^= 0x01;
  RawArchive partFlip = intact;
  partFlip.data[intact.parts[1].offset - 2048 + 4] ^= 0x01;
  const struct {
    const char* what;
    RawArchive raw;
    int index;
  } cases[] = {{"stored byte", storedFlip, 0}, {"compressed byte", partFlip, 1}};
  for (const auto& c : cases) {
    WriteWholeFile(path, c.raw.Bytes());
    Archive archive;
    ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
    EXPECT_FALSE(archive.ExtractFileToDisk(c.index, (dir / "out").c_str())) << c.what;
    EXPECT_FALSE(archive.ExtractAll((dir / "all").c_str(), nullptr)) << c.what;
  }

  // Cut inside the compressed entry once Open has checked the index.
  WriteWholeFile(path, intact.Bytes());
  Archive archive;
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  fsys::resize_file(path, intact.parts[1].offset + 10);
  EXPECT_TRUE(archive.ExtractFileToDisk(0, (dir / "cut").c_str()));
  EXPECT_FALSE(archive.ExtractFileToDisk(1, (dir / "cut").c_str()));
  EXPECT_FALSE(archive.ExtractAll((dir / "cut").c_str(), nullptr));
}

TEST_F(ArchiveExtract, FailedWritesAreReported) {
  Write(RawArchiveBuilder().Stored("s.txt", "stored").Compressed("c.bin", kBig).Stored("e", ""));
  for (auto fault : {FaultyFileSystem::Fault::Fail, FaultyFileSystem::Fault::Short}) {
    FaultyFileSystem fs;
    Archive archive(fs);
    ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
    fs.Inject(FaultyFileSystem::Call::WriteAt, 1, fault, true);
    EXPECT_FALSE(archive.ExtractFileToDisk(0, (dir / "out").c_str()));
    EXPECT_FALSE(archive.ExtractFileToDisk(1, (dir / "out").c_str()));
    EXPECT_TRUE(archive.ExtractFileToDisk(2, (dir / "out").c_str()));  // nothing to write
  }
}

}  // namespace
