// Removal of stored files missing from a directory: what counts as present,
// the report lines, the compaction threshold, and a directory that is not
// there.

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "platform/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "tool/MissingFiles.h"

namespace {

namespace stdfs = std::filesystem;
using GAME::Archive;
using testing_support::FaultyFileSystem;
using testing_support::RawArchiveBuilder;
using testing_support::ScratchDir;
using testing_support::WriteWholeFile;

class MissingFilesTest : public ::testing::Test {
 protected:
  // Writes the archive (active names first, then removed entries) and opens
  // it for writing.
  void OpenArchive(const std::vector<std::string>& names, int removed) {
    RawArchiveBuilder builder;
    for (const std::string& name : names) builder.Stored(name, "content of " + name);
    for (int i = 0; i < removed; ++i) builder.Removed(16);
    WriteWholeFile(archivePath, builder.Build().Bytes());
    ASSERT_TRUE(archive.Open(archivePath.c_str(), Archive::ModeWrite));
  }
  void Create(const std::string& relative) {
    stdfs::path path = stdfs::path(data) / relative;
    stdfs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
  }
  bool Run(const std::string& directory) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool result = tool::RemoveMissingFiles(native, archive, directory.c_str());
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return result;
  }
  unsigned int Active() const {
    Archive::Stats stats;
    archive.CalcStats(stats);
    return stats.activeFiles;
  }

  const platform::FileSystem& native = platform::NativeFileSystem();
  ScratchDir dir;
  std::string data = dir / "data";
  std::string archivePath = dir / "test.arc";
  Archive archive;
  std::string out, err;
};

// Compaction happens when strictly more than a quarter of the entries are
// inactive, whether they were removed now or before.
TEST_F(MissingFilesTest, CompactsOnlyAboveAQuarterOfInactiveEntries) {
  struct Case {
    int present, missing, removedBefore;
    unsigned int entriesAfter;
  };
  const Case cases[] = {
      {3, 1, 0, 4},  // 1 of 4: exactly a quarter, kept
      {3, 2, 0, 3},  // 2 of 5: compacted
      {7, 0, 3, 7},  // 3 of 10 removed before, nothing missing: compacted
      {4, 0, 0, 4},  // nothing to do
      {0, 0, 0, 0},  // empty archive
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.present << " present, " << c.missing << " missing, "
                                    << c.removedBefore << " removed before");
    archive.Close(false);
    stdfs::remove_all(data);
    stdfs::create_directory(data);
    std::vector<std::string> names;
    std::string expected;
    // The missing files come first, so later indices must survive removals.
    for (int i = 0; i < c.missing + c.present; ++i) {
      names.push_back("textures/f" + std::to_string(i));
      if (i < c.missing) {
        expected += "removing file: " + data + "/" + names.back() + "\n";
      } else {
        Create(names.back());
      }
    }
    OpenArchive(names, c.removedBefore);
    EXPECT_TRUE(Run(data));
    EXPECT_EQ(out, expected);
    EXPECT_EQ(err, "");
    EXPECT_EQ(archive.GetNumFiles(), c.entriesAfter);
    EXPECT_EQ(Active(), unsigned(c.present));
    for (int i = c.missing; i < c.missing + c.present; ++i) {
      EXPECT_GE(archive.FindFile(names[size_t(i)].c_str()), 0);
    }
  }
}

TEST_F(MissingFilesTest, StoredNamesFindFilesInAnyCaseAndDirectories) {
  Create("Textures/Rock.TEX");
  Create("sub/dir/file");
  OpenArchive({"textures/rock.tex", "sub/dir", "textures/gone.tex"}, 0);
  EXPECT_TRUE(Run(data));
  EXPECT_EQ(out, "removing file: " + data + "/textures/gone.tex\n");
  EXPECT_GE(archive.FindFile("textures/rock.tex"), 0);
  EXPECT_GE(archive.FindFile("sub/dir"), 0);
  EXPECT_EQ(archive.GetNumFiles(), 2u);  // 1 of 3 inactive: compacted
}

TEST_F(MissingFilesTest, ADirectoryThatIsNotThereRemovesNothing) {
  Create("file");
  OpenArchive({"a", "b"}, 0);
  struct Case {
    std::string directory, message;
  };
  const Case cases[] = {
      {dir / "nowhere", "Cannot find directory " + dir / "nowhere" + "\n"},
      {data + "/file", data + "/file is not a directory\n"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Run(c.directory));
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, c.message);
    EXPECT_EQ(Active(), 2u);
  }
}

TEST_F(MissingFilesTest, AFailedCompactionIsReported) {
  FaultyFileSystem faulty;
  Archive failing(faulty);
  WriteWholeFile(
      archivePath,
      RawArchiveBuilder().Removed(100).Stored("kept", "k").Stored("gone", "g").Build().Bytes());
  ASSERT_TRUE(failing.Open(archivePath.c_str(), Archive::ModeWrite));
  Create("kept");
  faulty.Inject(FaultyFileSystem::Call::ReadAt, faulty.Count(FaultyFileSystem::Call::ReadAt) + 1,
                FaultyFileSystem::Fault::Fail, true);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tool::RemoveMissingFiles(native, failing, data.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "removing file: " + data + "/gone\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to compact the archive\n");
}

}  // namespace
