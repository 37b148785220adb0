// Directory import: the walk order, path arguments and stored names, the
// three modes, and the failures that must be reported and keep stored files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

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
using testing_support::ReadWholeFile;
using testing_support::ScratchDir;
using tool::ImportAdd;
using tool::ImportReplace;
using tool::ImportUpdate;

struct Outcome {
  bool result;
  std::string out, err;
};

// The import's file system, listing one file that is not there and calling
// back on every enumeration.
class TamperedFileSystem : public testing_support::FaultyFileSystem {
 public:
  std::vector<platform::DirEntry> Enumerate(const std::string& pattern) const override {
    std::vector<platform::DirEntry> entries = FaultyFileSystem::Enumerate(pattern);
    if (!ghost.empty() && pattern.rfind(ghostDirectory + "/", 0) == 0) {
      entries.push_back({ghost, false, false, 0});
    }
    if (onEnumerate) onEnumerate(pattern);
    return entries;
  }
  std::string ghostDirectory, ghost;
  std::function<void(const std::string&)> onEnumerate;
};

class ImportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directory(base);
    ASSERT_TRUE(archive.Open(archivePath.c_str(), Archive::ModeWrite));
  }
  void Write(const std::string& relative, const std::string& content) {
    stdfs::create_directories((stdfs::path(base) / relative).parent_path());
    std::ofstream(stdfs::path(base) / relative, std::ios::binary) << content;
  }
  void SetTime(const std::string& relative, time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (stdfs::path(base) / relative).c_str(), times, 0), 0);
  }
  Outcome Import(const std::string& path, int mode = ImportAdd, Archive* target = nullptr,
                 const platform::FileSystem& fs = platform::NativeFileSystem(), int level = 0) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    bool result =
        tool::ImportPath(fs, target ? *target : archive, path.c_str(), base.c_str(), level, mode);
    std::string out = testing::internal::GetCapturedStdout();
    return {result, out, testing::internal::GetCapturedStderr()};
  }
  static std::vector<std::string> Names(const Archive& a) {
    std::vector<std::string> names;
    for (unsigned int i = 0; i < a.GetNumFiles(); ++i) {
      if (a.GetFileEntry(int(i)).flags & 1) names.push_back(a.GetFileEntry(int(i)).name);
    }
    return names;
  }
  uint32_t ChecksumOf(const char* name) const {
    int index = archive.FindFile(name);
    return index < 0 ? 0 : archive.GetFileEntry(index).checksum;
  }
  void WriteTexturesTree() {
    for (const char* name : {"a/1.tex", ".svn/entries", "b/2.tex", "x.tex", ".hidden"}) {
      Write(std::string("textures/") + name, name);
      SetTime(std::string("textures/") + name, 1'600'000'000);
    }
  }

  ScratchDir dir;
  std::string base = dir / "base";
  std::string archivePath = dir / "test.arc";
  Archive archive;
};

const char* const kWholeTree =
    "added: textures/a/1.tex\nadded: textures/b/2.tex\nadded: textures/.hidden\n"
    "added: textures/x.tex\n";

TEST_F(ImportTest, TheModesOverTheTexturesTree) {
  WriteTexturesTree();
  stdfs::create_directory_symlink("a", stdfs::path(base) / "textures/linked");
  const stdfs::path before = stdfs::current_path();
  struct Step {
    int mode;
    const char* changed;  // written with a later time before the step
    std::string out;
  };
  const Step steps[] = {
      {ImportAdd, nullptr, kWholeTree},  // subdirectories first; .svn and the link skipped
      {ImportAdd, "textures/x.tex", ""},
      {ImportReplace, nullptr, kWholeTree},
      {ImportUpdate, "textures/b/2.tex", "added: textures/b/2.tex\n"},
      {ImportUpdate, nullptr, ""},
  };
  for (const Step& step : steps) {
    if (step.changed) {
      Write(step.changed, "changed");
      SetTime(step.changed, 1'600'000'010);
    }
    Outcome outcome = Import("textures", step.mode);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.out, step.out);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(stdfs::current_path(), before);
  }
  // A replacement never reuses its own old slot, so replacing reorders.
  EXPECT_EQ(Names(archive), (std::vector<std::string>{"textures/.hidden", "textures/x.tex",
                                                      "textures/a/1.tex", "textures/b/2.tex"}));
  EXPECT_EQ(ChecksumOf("textures/b/2.tex"), Adler32Of("changed"));
  const Archive::FileTime& time =
      archive.GetFileEntry(archive.FindFile("textures/b/2.tex")).fileTime;
  EXPECT_EQ((platform::FileTime{time.lowDateTime, time.highDateTime}),
            platform::FileTimeFromUnix(1'600'000'010, 0));
}

TEST_F(ImportTest, PathArgumentsGiveThePrintedAndStoredNames) {
  Write("textures/a/1.tex", "1");
  Write("textures/a/1.txt", "1");
  Write("textures/x.tex", "x");
  Write("top.tex", "top");
  const std::string absolute = base + "/textures/a";
  std::string absoluteStored = absolute.substr(1) + "/1.tex";  // one leading '/' dropped
  for (char& c : absoluteStored) c = char(std::tolower(static_cast<unsigned char>(c)));
  struct Case {
    std::string path, out, err;
    std::vector<std::string> stored;
  };
  const Case cases[] = {
      {"textures/*.tex",
       "added: textures/a/1.tex\nadded: textures/x.tex\n",
       "",
       {"textures/a/1.tex", "textures/x.tex"}},
      {"./*.TEX",
       "added: ./textures/a/1.tex\nadded: ./textures/x.tex\nadded: ./top.tex\n",
       "",
       {"textures/a/1.tex", "textures/x.tex", "top.tex"}},
      {"textures\\a\\*.tex", "added: textures\\a/1.tex\n", "", {"textures/a/1.tex"}},
      {"textures/a/",
       "added: textures/a//1.tex\nadded: textures/a//1.txt\n",
       "",
       {"textures/a//1.tex", "textures/a//1.txt"}},
      {"textures/x.tex", "added: textures/x.tex\n", "", {"textures/x.tex"}},
      {absolute + "/*.tex", "added: " + absolute + "/1.tex\n", "", {absoluteStored}},
      {"missing/*.tex", "", "", {}},
      {"*.tex", "", "Invalid path *.tex\n", {}},
      {"missing/", "", "Invalid path missing/\n", {}},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Archive fresh;
    ASSERT_TRUE(fresh.Open((dir / std::to_string(++number)).c_str(), Archive::ModeWrite));
    EXPECT_EQ(Import(c.path, ImportAdd, &fresh).out, c.out);
    EXPECT_EQ(Names(fresh), c.stored);
  }
  for (const Case& c : cases) EXPECT_EQ(Import(c.path, ImportReplace).err, c.err) << c.path;
}

TEST_F(ImportTest, ABaseThatCannotBeEnteredImportsNothing) {
  Write("textures/x.tex", "x");
  const stdfs::path before = stdfs::current_path();
  for (std::string unusable : {dir / "nowhere", dir / "base/textures/x.tex"}) {
    base = unusable;
    Outcome outcome = Import("textures");
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.err, "Cannot enter base directory " + unusable + "\n");
  }
  EXPECT_EQ(archive.GetNumFiles(), 0u);
  EXPECT_EQ(stdfs::current_path(), before);
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
        Import("textures", ImportAdd, &packed, platform::NativeFileSystem(), level);
      }
      result = ReadWholeFile(path);
      stdfs::remove(path);
    }
    EXPECT_EQ(bytes[0], bytes[1]) << "level " << level;
  }
}

TEST_F(ImportTest, OfNamesThatNormaliseAlikeTheFirstFileWinsInEveryMode) {
  Write("t/A.txt", "upper");
  Write("t/a.txt", "lower");
  SetTime("t/A.txt", 1'000'000'000);
  SetTime("t/a.txt", 2'000'000'000);  // newer, yet must not update A.txt's entry
  for (int mode : {ImportAdd, ImportAdd, ImportReplace, ImportUpdate}) {
    SCOPED_TRACE(mode);
    bool stores = mode == ImportReplace || archive.GetNumFiles() == 0;
    Outcome outcome = Import("t", mode);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.out, stores ? "added: t/A.txt\n" : "");
    EXPECT_EQ(outcome.err, "Skipped t/a.txt: its name is taken by a file imported before\n");
    EXPECT_EQ(ChecksumOf("t/a.txt"), Adler32Of("upper"));
  }
}

// A file that cannot be added is reported and the walk goes on; replace and
// update keep the stored file when its successor vanished, cannot be read or
// is too large to store.
TEST_F(ImportTest, FilesThatCannotBeAddedAreReportedAndCostNoStoredFile) {
  for (const char* name : {"t/pipe.tex", "t/huge.bin", "t/gone.tex"}) {
    Write(name, name);
    SetTime(name, 1'000'000'000);
  }
  Import("t");
  stdfs::remove(stdfs::path(base) / "t/pipe.tex");
  stdfs::remove(stdfs::path(base) / "t/gone.tex");
  ASSERT_EQ(::mkfifo((stdfs::path(base) / "t/pipe.tex").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((stdfs::path(base) / "t/new pipe").c_str(), 0600), 0);
  Write("t/z.tex", "z");
  stdfs::resize_file(stdfs::path(base) / "t/huge.bin", (uint64_t(1) << 32) + 1);  // sparse
  TamperedFileSystem tampered;
  tampered.ghostDirectory = "t";
  tampered.ghost = "gone.tex";

  Outcome added = Import("t");
  EXPECT_FALSE(added.result);
  EXPECT_EQ(added.out, "added: t/z.tex\n");
  EXPECT_EQ(added.err, "Failed to add t/new pipe\n");
  for (int mode : {ImportReplace, ImportUpdate}) {
    SCOPED_TRACE(mode);
    Outcome outcome = Import("t", mode, nullptr, tampered);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.out, mode == ImportReplace ? "added: t/z.tex\n" : "");
    const std::string gone = mode == ImportReplace
                                 ? "Failed to add t/gone.tex\n"
                                 : "Cannot read the last-write time of t/gone.tex\n";
    EXPECT_EQ(outcome.err,
              "Failed to add t/huge.bin\nFailed to add t/new pipe\n"
              "Failed to add t/pipe.tex\n" +
                  gone);
    for (const char* name : {"t/pipe.tex", "t/huge.bin", "t/gone.tex"}) {
      EXPECT_EQ(ChecksumOf(name), Adler32Of(name)) << name;
    }
  }
}

// An interrupt is recorded process-wide for good, so it is raised in a child
// (whose standard error the death test captures).
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
        bool kept = Names(archive) == std::vector<std::string>{"textures/a/1.tex"};
        std::_Exit(kept ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "");
}

}  // namespace
