// Directory import: the walk order, patterns and path texts, the three modes,
// and the failures that must keep stored files and be reported.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "tool/Import.h"

namespace {

namespace stdfs = std::filesystem;
using GAME::Archive;
using testing_support::Adler32Of;
using testing_support::FaultyFileSystem;
using testing_support::ReadWholeFile;
using testing_support::ScratchDir;
using tool::ImportAdd;
using tool::ImportReplace;
using tool::ImportUpdate;

struct Outcome {
  bool result;
  std::string out;
  std::string err;
};

Outcome Captured(const std::function<bool()>& run) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  bool result = run();
  std::string out = testing::internal::GetCapturedStdout();
  return {result, out, testing::internal::GetCapturedStderr()};
}

// The file system of the import, with a listed file that is gone and a
// file whose time cannot be read.
class TamperedFileSystem : public FaultyFileSystem {
 public:
  std::vector<platform::DirEntry> Enumerate(const std::string& pattern) const override {
    std::vector<platform::DirEntry> entries = FaultyFileSystem::Enumerate(pattern);
    if (!ghost.empty() && pattern == ghostDirectory + "/*") entries.push_back({ghost, false, false, 0});
    if (onEnumerate) onEnumerate(pattern);
    return entries;
  }
  std::optional<platform::FileTime> LastWriteTime(const std::string& path) const override {
    if (path == timeless) return std::nullopt;
    return FaultyFileSystem::LastWriteTime(path);
  }

  std::string ghostDirectory, ghost, timeless;
  std::function<void(const std::string&)> onEnumerate;
};

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directory(base);
    ASSERT_TRUE(archive.Open(archivePath.c_str(), Archive::ModeWrite));
  }

  // Writes a file below the base directory, making its directories.
  void Write(const std::string& relative, const std::string& content) {
    stdfs::path path = stdfs::path(base) / relative;
    stdfs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  // Sets a file's last-write time to a number of seconds after 1970.
  void SetTime(const std::string& relative, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (stdfs::path(base) / relative).c_str(), times, 0), 0);
  }
  Outcome Import(const std::string& path, int mode = ImportAdd, int level = 0,
                 const platform::FileSystem* fs = nullptr) {
    return Import(archive, path, mode, level, fs);
  }
  Outcome Import(Archive& target, const std::string& path, int mode, int level,
                 const platform::FileSystem* fs) {
    return Captured([&] {
      return tool::ImportPath(fs ? *fs : native, target, path.c_str(), base.c_str(), level, mode);
    });
  }
  // Names of the active entries in index order.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
      const Archive::FileEntry& entry = archive.GetFileEntry(int(i));
      if (entry.flags & 1) names.push_back(entry.name);
    }
    return names;
  }
  uint32_t ChecksumOf(const char* name) const {
    int index = archive.FindFile(name);
    return index < 0 ? 0 : archive.GetFileEntry(index).checksum;
  }

  // The textures tree: two walked subdirectories, one skipped, and the files
  // of textures itself, one of them hidden.
  void WriteTexturesTree() {
    Write("textures/a/1.tex", "one");
    Write("textures/.svn/entries", "svn");
    Write("textures/b/2.tex", "two");
    Write("textures/x.tex", "x");
    Write("textures/.hidden", "hidden");
  }

  const platform::FileSystem& native = platform::NativeFileSystem();
  ScratchDir dir;
  std::string base = dir / "base";
  std::string archivePath = dir / "test.arc";
  Archive archive;
};

TEST_F(ImportTest, WalksSubdirectoriesFirstAndSkipsDotDirectoriesAndLinksToDirectories) {
  WriteTexturesTree();
  stdfs::create_directory_symlink("a", stdfs::path(base) / "textures/linked");
  const stdfs::path before = stdfs::current_path();

  Outcome outcome = Import("textures");

  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.out,
            "added: textures/a/1.tex\nadded: textures/b/2.tex\n"
            "added: textures/.hidden\nadded: textures/x.tex\n");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(Names(), (std::vector<std::string>{"textures/a/1.tex", "textures/b/2.tex",
                                                "textures/.hidden", "textures/x.tex"}));
  EXPECT_EQ(ChecksumOf("textures/b/2.tex"), Adler32Of("two"));
  EXPECT_EQ(stdfs::current_path(), before);
}

TEST_F(ImportTest, PathArgumentsGivePrintedAndStoredNames) {
  struct Case {
    const char* path;
    const char* printed;  // the "added:" lines
    std::vector<std::string> stored;
  };
  const Case cases[] = {
      {"textures/*.tex", "added: textures/a/1.tex\nadded: textures/x.tex\n",
       {"textures/a/1.tex", "textures/x.tex"}},
      {"./*.TEX", "added: ./textures/a/1.tex\nadded: ./textures/x.tex\nadded: ./top.tex\n",
       {"textures/a/1.tex", "textures/x.tex", "top.tex"}},
      {"textures\\a\\*.tex", "added: textures\\a/1.tex\n", {"textures/a/1.tex"}},
      {"textures/", "added: textures//a/1.tex\nadded: textures//a/1.txt\nadded: textures//x.tex\n",
       {"textures//a/1.tex", "textures//a/1.txt", "textures//x.tex"}},
      {"textures/x.tex", "added: textures/x.tex\n", {"textures/x.tex"}},
      {"missing/*.tex", "", {}},
  };
  Write("textures/a/1.tex", "1");
  Write("textures/a/1.txt", "1");
  Write("textures/x.tex", "x");
  Write("top.tex", "top");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Archive fresh;
    ASSERT_TRUE(fresh.Open((dir / "fresh.arc").c_str(), Archive::ModeWrite));
    Outcome outcome = Import(fresh, c.path, ImportAdd, 0, nullptr);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.out, c.printed);
    EXPECT_EQ(outcome.err, "");
    std::vector<std::string> stored;
    for (unsigned int i = 0; i < fresh.GetNumFiles(); ++i) stored.push_back(fresh.GetFileEntry(int(i)).name);
    EXPECT_EQ(stored, c.stored);
    fresh.Close(false);
    stdfs::remove(dir / "fresh.arc");
  }
}

TEST_F(ImportTest, PathsWithoutADirectoryPartAreInvalid) {
  Write("a.tex", "a");
  for (const char* path : {"*.tex", "nothing/", ""}) {
    Outcome outcome = Import(path);
    EXPECT_TRUE(outcome.result) << path;
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, std::string("Invalid path ") + path + "\n");
  }
  EXPECT_EQ(archive.GetNumFiles(), 0u);
}

TEST_F(ImportTest, AnAbsolutePathIsStoredWhole) {
  Write("textures/x.tex", "x");
  std::string absolute = (stdfs::path(base) / "textures").string();
  Outcome outcome = Import(absolute);
  EXPECT_EQ(outcome.out, "added: " + absolute + "/x.tex\n");
  std::string expected = absolute.substr(1) + "/x.tex";  // no leading '/', lower case
  for (char& c : expected) c = char(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Names(), std::vector<std::string>{expected});
}

TEST_F(ImportTest, ABaseThatCannotBeEnteredImportsNothing) {
  Write("textures/x.tex", "x");
  const stdfs::path before = stdfs::current_path();
  for (std::string missing : {dir / "nowhere", dir / "base/textures/x.tex"}) {
    Outcome outcome = Captured([&] {
      return tool::ImportPath(native, archive, "textures", missing.c_str(), 0, ImportAdd);
    });
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.err, "Cannot enter base directory " + missing + "\n");
    EXPECT_EQ(outcome.out, "");
  }
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  EXPECT_EQ(stdfs::current_path(), before);
}

TEST_F(ImportTest, AddingTwiceKeepsTheStoredFilesSilently) {
  WriteTexturesTree();
  ASSERT_NE(Import("textures").out, "");
  Write("textures/x.tex", "changed");
  Outcome second = Import("textures");
  EXPECT_TRUE(second.result);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(archive.GetNumFiles(), 4u);
  EXPECT_EQ(ChecksumOf("textures/x.tex"), Adler32Of("x"));
}

TEST_F(ImportTest, ReplaceStoresEveryFileAgain) {
  WriteTexturesTree();
  Import("textures");
  Write("textures/x.tex", "changed");
  Outcome outcome = Import("textures", ImportReplace, 9);
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.out,
            "added: textures/a/1.tex\nadded: textures/b/2.tex\n"
            "added: textures/.hidden\nadded: textures/x.tex\n");
  EXPECT_EQ(Names().size(), 4u);
  EXPECT_EQ(ChecksumOf("textures/x.tex"), Adler32Of("changed"));
}

TEST_F(ImportTest, UpdateReplacesOnlyFilesStrictlyNewerOnDisk) {
  WriteTexturesTree();
  for (const char* name : {"textures/a/1.tex", "textures/b/2.tex", "textures/x.tex", "textures/.hidden"}) {
    SetTime(name, 1'600'000'000);
  }
  Import("textures");
  SetTime("textures/b/2.tex", 1'600'000'010);
  SetTime("textures/x.tex", 1'599'999'990);  // older than stored: kept
  Outcome outcome = Import("textures", ImportUpdate);
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.out, "added: textures/b/2.tex\n");
  const Archive::FileEntry& entry = archive.GetFileEntry(archive.FindFile("textures/b/2.tex"));
  EXPECT_EQ((platform::FileTime{entry.fileTime.lowDateTime, entry.fileTime.highDateTime}),
            platform::FileTimeFromUnix(1'600'000'010, 0));
  EXPECT_EQ(Import("textures", ImportUpdate).out, "");
}

TEST_F(ImportTest, UpdateReplacesAnEntryAddedFromMemory) {
  Write("x.tex", "disk");
  unsigned char bytes[] = {'m'};
  ASSERT_GE(archive.AddFileFromMemory("x.tex", bytes, 1, 0), 0);
  EXPECT_EQ(Import("x.tex", ImportUpdate).out, "added: x.tex\n");
  EXPECT_EQ(ChecksumOf("x.tex"), Adler32Of("disk"));
}

TEST_F(ImportTest, PackingOneTreeTwiceGivesIdenticalArchives) {
  WriteTexturesTree();
  Write("textures/b/big.bin", std::string(300000, 'z'));
  for (int level : {0, 6}) {
    std::vector<unsigned char> bytes[2];
    for (auto& result : bytes) {
      std::string path = dir / "packed.arc";
      {
        Archive packed;
        ASSERT_TRUE(packed.Open(path.c_str(), Archive::ModeWrite));
        Import(packed, "textures", ImportAdd, level, nullptr);
      }
      result = ReadWholeFile(path);
      stdfs::remove(path);
    }
    EXPECT_EQ(bytes[0], bytes[1]) << "level " << level;
  }
}

TEST_F(ImportTest, NamesThatNormaliseAlikeKeepTheFirstFileInEveryMode) {
  Write("t/A.txt", "upper");
  Write("t/a.txt", "lower");
  SetTime("t/A.txt", 1'000'000'000);
  SetTime("t/a.txt", 2'000'000'000);
  // Add stores A.txt, add again keeps it, replace stores it anew, update
  // keeps it; a.txt must never shadow it.
  for (int mode : {ImportAdd, ImportAdd, ImportReplace, ImportUpdate}) {
    SCOPED_TRACE(mode);
    bool stores = mode == ImportReplace || archive.GetNumFiles() == 0;
    Outcome outcome = Import("t", mode);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.out, stores ? "added: t/A.txt\n" : "");
    EXPECT_EQ(outcome.err, "Skipped t/a.txt: its name is taken by a file imported before\n");
    EXPECT_EQ(ChecksumOf("t/a.txt"), Adler32Of("upper"));
    EXPECT_EQ(Names().size(), 1u);
  }
}

TEST_F(ImportTest, AFileThatCannotBeReadIsReportedAndTheWalkGoesOn) {
  Write("t/a.tex", "a");
  Write("t/z.tex", "z");
  ASSERT_EQ(::mkfifo((stdfs::path(base) / "t/pipe.tex").c_str(), 0600), 0);
  Outcome outcome = Import("t");
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out, "added: t/a.tex\nadded: t/z.tex\n");
  EXPECT_EQ(outcome.err, "Failed to add t/pipe.tex\n");
}

TEST_F(ImportTest, AFailedWriteOfTheArchiveIsReported) {
  Write("t/a.tex", "a");
  Write("t/b.tex", "b");
  FaultyFileSystem faulty;
  Archive failing(faulty);
  ASSERT_TRUE(failing.Open((dir / "failing.arc").c_str(), Archive::ModeWrite));
  faulty.Inject(FaultyFileSystem::Call::WriteAt, faulty.Count(FaultyFileSystem::Call::WriteAt) + 1);
  Outcome outcome = Import(failing, "t", ImportAdd, 0, nullptr);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out, "added: t/b.tex\n");
  EXPECT_EQ(outcome.err, "Failed to add t/a.tex\n");
}

// Replace and update must keep the stored file when its successor cannot be
// added: a file that vanished, cannot be read, or is too large to store.
TEST_F(ImportTest, AFailedReplacementKeepsTheStoredFile) {
  Write("t/pipe.tex", "old pipe");
  Write("t/huge.bin", "old huge");
  Write("t/gone.tex", "old gone");
  for (const char* name : {"t/pipe.tex", "t/huge.bin", "t/gone.tex"}) SetTime(name, 1'000'000'000);
  Import("t");
  stdfs::remove(stdfs::path(base) / "t/pipe.tex");
  stdfs::remove(stdfs::path(base) / "t/gone.tex");
  ASSERT_EQ(::mkfifo((stdfs::path(base) / "t/pipe.tex").c_str(), 0600), 0);
  stdfs::resize_file(stdfs::path(base) / "t/huge.bin", (uint64_t(1) << 32) + 1);  // sparse
  TamperedFileSystem tampered;
  tampered.ghostDirectory = "t";
  tampered.ghost = "gone.tex";

  for (int mode : {ImportReplace, ImportUpdate}) {
    SCOPED_TRACE(mode);
    Outcome outcome = Import("t", mode, 0, &tampered);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("t/huge.bin\n"), std::string::npos);
    EXPECT_NE(outcome.err.find("t/pipe.tex\n"), std::string::npos);
    EXPECT_NE(outcome.err.find("t/gone.tex\n"), std::string::npos);
    EXPECT_EQ(ChecksumOf("t/pipe.tex"), Adler32Of("old pipe"));
    EXPECT_EQ(ChecksumOf("t/huge.bin"), Adler32Of("old huge"));
    EXPECT_EQ(ChecksumOf("t/gone.tex"), Adler32Of("old gone"));
  }
}

TEST_F(ImportTest, UpdateKeepsTheStoredFileWhenTheDiskTimeCannotBeRead) {
  Write("t/a.tex", "old");
  Import("t");
  Write("t/a.tex", "new");
  SetTime("t/a.tex", 2'000'000'000);
  TamperedFileSystem tampered;
  tampered.timeless = "t/a.tex";
  Outcome outcome = Import("t", ImportUpdate, 0, &tampered);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Cannot read the last-write time of t/a.tex\n");
  EXPECT_EQ(ChecksumOf("t/a.tex"), Adler32Of("old"));
}

// An interrupt is recorded process-wide for good, so it is raised in a child.
TEST_F(ImportTest, AnInterruptStopsTheWalkKeepingWhatWasAdded) {
  WriteTexturesTree();
  EXPECT_EXIT(
      {
        platform::InstallInterruptHandlers();
        TamperedFileSystem tampered;
        tampered.onEnumerate = [](const std::string& pattern) {
          if (pattern == "textures/b/*") std::raise(SIGINT);
        };
        tool::ImportPath(tampered, archive, "textures", base.c_str(), 0, ImportAdd);
        bool kept = Names() == std::vector<std::string>{"textures/a/1.tex"} &&
                    platform::PendingInterrupt() == SIGINT;
        std::_Exit(kept ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
