// Tests of the native file system's decisions: separators and case-blind
// path resolution, locks, file kinds, enumeration order, file times and long
// paths; and of the worker count setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>

#include "mem/Vector.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "support/ScratchDir.h"
#include "support/TestSystem.h"

namespace {

namespace fs = std::filesystem;
using namespace platform;
using Names = std::vector<std::string>;

void WriteText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// Each test runs in a fresh temporary directory, made the current one, with
// the stateless native file system and with one command's (its cache).
class PlatformTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { fs::current_path(dir.Path()); }
  void TearDown() override { fs::current_path(previous); }

  File OpenFile(const std::string& path, Access access = Access::Read,
                Creation creation = Creation::OpenExisting, Lock lock = Lock::None) const {
    return File(native, native.Open(path, access, creation, lock));
  }
  // The whole content of a file read through the file system, or "<none>".
  std::string ReadThrough(const std::string& path) const {
    File file = OpenFile(path);
    if (!file.IsOpen()) return "<none>";
    std::string text(native.Size(file.Handle()).value_or(0), '\0');
    text.resize(native.ReadAt(file.Handle(), 0, text.data(), text.size()).count);
    return text;
  }
  Names Enumerate(const std::string& pattern) const {
    Names names;
    for (const DirEntry& entry : native.Enumerate(pattern)) names.push_back(entry.name);
    return names;
  }

  const std::unique_ptr<FileSystem> cached = NewNativeFileSystem();
  const FileSystem& native = GetParam() ? *cached : NativeFileSystem();
  fs::path previous = fs::current_path();
  testing_support::ScratchDir dir;
};

TEST(FileTimeTest, ConvertsUnixTimesAndComparesHighHalfFirst) {
  const FileTime time = FileTimeFromUnix(1700000000, 123456789);  // whole 100 ns ticks
  EXPECT_EQ(time.low | uint64_t(time.high) << 32, 133444736001234567ull);
  EXPECT_EQ(FileTimeFromUnix(-11644473601, 0), FileTimeFromUnix(-11644473600, 0));  // clamped
  EXPECT_GT(CompareFileTime({0, 2}, {0xFFFFFFFF, 1}), 0);
}

// Linux emulates names that match ignoring case; on Windows they are the
// system's own, and two names differing in case only cannot both exist.
TEST_P(PlatformTest, ResolvesAndCreatesPathsIgnoringCaseWithEitherSeparator) {
  if (testing_support::kWindows) GTEST_SKIP() << "Linux only: names differing in case only";
  fs::create_directories("data/Sub");
  WriteText("data/Sub/file.bin", "deep");
  WriteText("data/Readme.TXT", "mixed");
  WriteText("data/README.txt", "upper");
  const std::pair<std::string, std::string> cases[] = {
      {(dir.Path() / "DATA\\SUB\\FILE.BIN").string(), "deep"},
      {"Data\\.\\sub\\..\\SUB\\file.BIN", "deep"},
      {"DATA\\Readme.TXT", "mixed"},  // an exact match wins, also below a resolved component
      {"data/readme.txt", "upper"},   // else the first in byte order
      {"data/Sub/file.bin/x", "<none>"}};
  for (const auto& [path, content] : cases) EXPECT_EQ(ReadThrough(path), content) << path;
  EXPECT_TRUE(native.RemoveFile("DATA/SUB/FILE.BIN"));
  // New names go below the existing components, whatever their case.
  EXPECT_TRUE(OpenFile("DATA/new.txt", Access::ReadWrite, Creation::OpenAlways).IsOpen());
  EXPECT_TRUE(OpenFile("data/NEW.TXT", Access::ReadWrite, Creation::CreateAlways).IsOpen());
  EXPECT_TRUE(OpenFile("Data\\README.TXT", Access::ReadWrite, Creation::CreateAlways).IsOpen());
  EXPECT_TRUE(native.CreateDirectory("DATA\\SUB\\New"));
  EXPECT_FALSE(native.CreateDirectory("missing/sub"));
  // What was made, moved or removed here is seen at once, in any case.
  EXPECT_EQ(ReadThrough("data/sub/FILE.bin"), "<none>");
  EXPECT_TRUE(OpenFile("data/SUB/NEW/x", Access::ReadWrite, Creation::CreateNew).IsOpen());
  EXPECT_TRUE(native.Rename("data/NEW.txt", "DATA/Moved.txt"));
  EXPECT_TRUE(ReadThrough("data/MOVED.TXT").empty() && ReadThrough("data/new.txt") == "<none>");
  EXPECT_EQ(testing_support::Tree("."),
            (Names{"data", "data/Moved.txt", "data/README.txt", "data/Readme.TXT", "data/Sub",
                   "data/Sub/New", "data/Sub/New/x"}));
  EXPECT_EQ(fs::file_size("data/README.txt"), 0u);  // emptied, not made anew
  EXPECT_TRUE(native.SetCurrentDirectory("DATA\\sub"));
  EXPECT_TRUE(fs::equivalent(fs::current_path(), dir.Path() / "data/Sub"));
}

// Two opens exclude each other as two processes would; a refused open must
// not truncate first. Only regular files open. CreateNew makes nothing over
// anything there.
TEST_P(PlatformTest, LocksOpensRegularFilesOnlyAndCreatesNewFilesExactly) {
  WriteText("a.bin", "data");
  fs::create_directory("dir");  // made before a lookup lists the directory
  File held = OpenFile("a.bin", Access::Read, Creation::OpenExisting, Lock::Shared);
  const auto overwrite = [&] {
    return OpenFile("A.BIN", Access::ReadWrite, Creation::CreateAlways, Lock::Exclusive).IsOpen();
  };
  EXPECT_FALSE(overwrite());
  EXPECT_EQ(ReadThrough("a.bin"), "data");
  held = File();  // closing releases the lock
  EXPECT_TRUE(overwrite() && ReadThrough("a.bin").empty());
  WriteText("a.bin", "data");
  for (const char* path : {"dir", testing_support::kWindows ? "NUL" : "/dev/null"}) {
    EXPECT_FALSE(OpenFile(path).IsOpen()) << path;
    EXPECT_FALSE(OpenFile(path, Access::ReadWrite, Creation::OpenAlways).IsOpen()) << path;
  }
  EXPECT_EQ(native.LastError().failure, Failure::NotRegularFile);
  EXPECT_FALSE(OpenFile("a.bin", Access::ReadWrite, Creation::CreateNew).IsOpen());
  EXPECT_EQ(native.LastError().failure, Failure::Exists);
}

// Links to regular files open (a FIFO is the import's case). CreateNew and
// Publish make exactly the name given and nothing over a link (dangling or
// not); links are seen as links; a rename replaces a link without following it.
TEST_P(PlatformTest, OpensThroughLinksButCreatesNewFilesExactly) {
  if (testing_support::kWindows) GTEST_SKIP() << "Linux only: links and letter case";
  WriteText("a.bin", "data");
  fs::create_symlink("a.bin", "link");
  fs::create_symlink("nowhere", "dangling");
  EXPECT_TRUE(OpenFile("LINK").IsOpen() && !OpenFile("dangling").IsOpen());
  for (const char* taken : {"link", "dangling"}) {
    EXPECT_FALSE(OpenFile(taken, Access::ReadWrite, Creation::CreateNew).IsOpen()) << taken;
  }
  EXPECT_FALSE(fs::exists("nowhere"));
  EXPECT_TRUE(OpenFile("A.BIN", Access::ReadWrite, Creation::CreateNew).IsOpen());
  EXPECT_TRUE(fs::exists("A.BIN") && ReadThrough("a.bin") == "data");
  const Attributes link = native.GetAttributes("LINK"), dangling = native.GetAttributes("dangling");
  EXPECT_TRUE(link.isLink && link.exists && !link.isDirectory && link.ownedByCaller);
  EXPECT_TRUE(dangling.isLink && !dangling.exists);
  EXPECT_FALSE(native.GetAttributes("a.bin").isLink);
  WriteText("new", "fresh");
  EXPECT_TRUE(native.Rename("new", "link"));
  EXPECT_TRUE(!fs::is_symlink("link") && ReadThrough("link") == "fresh");
  EXPECT_EQ(ReadThrough("a.bin"), "data");
  EXPECT_EQ(native.OnDiskPath("A.bin"), (dir.Path() / "A.BIN").string());
  // A file made with no name shows only once published, and over nothing.
  const File unnamed(native, native.CreateUnnamed("made"));
  ASSERT_TRUE(unnamed.IsOpen());
  EXPECT_TRUE(native.WriteAt(unnamed.Handle(), 0, "whole", 5).ok && !fs::exists("made"));
  EXPECT_FALSE(native.Publish(unnamed.Handle(), "dangling"));
  EXPECT_TRUE(native.Publish(unnamed.Handle(), "made") && ReadThrough("MADE") == "whole");
}

TEST_P(PlatformTest, EnumeratesMatchesInCaseFoldedOrder) {
  for (const char* name : {"b.dat", "a.TXT", "README", "A.txt", ".hidden"}) WriteText(name, "5");
  fs::create_directory("sub");
  if (!testing_support::kWindows) fs::create_directory_symlink("sub", "link");  // Wine: none
  fs::resize_file("b.dat", (uint64_t(1) << 32) + 7);  // sparse
  // On Windows "A.txt" opens "a.TXT": one file.
  EXPECT_EQ(Enumerate((dir.Path() / "*.TXT").string()),
            testing_support::kWindows ? Names{"a.TXT"} : (Names{"A.txt", "a.TXT"}));
  EXPECT_EQ(Enumerate("*e*"), (Names{".hidden", "README"}));
  EXPECT_EQ(Enumerate("README/*"), Names{});
  std::string described;  // each name, d for a directory, l for a link, the low size
  for (const DirEntry& e : native.Enumerate("*.*")) {
    described += e.name + (e.isDirectory ? " d " : " ") + (e.isLink ? "l " : "") +
                 std::to_string(e.sizeLow) + ";";
  }
  EXPECT_EQ(described, testing_support::kWindows
                           ? ".hidden 1;a.TXT 1;b.dat 7;README 1;sub d 0;"
                           : ".hidden 1;A.txt 1;a.TXT 1;b.dat 7;link l 0;README 1;sub d 0;");
}

TEST_P(PlatformTest, HandlesPathsLongerThanTheSystemLimit) {
  std::string path = ".";
  while (path.size() <= PATH_MAX) {
    path += "/" + std::string(200, 'd');
    ASSERT_TRUE(native.CreateDirectory(path));
  }
  File file = OpenFile(path + "/FILE.txt", Access::ReadWrite, Creation::CreateAlways);
  ASSERT_TRUE(native.WriteAt(file.Handle(), 0, "far", 3).ok);
  EXPECT_EQ(Enumerate(path + "/*.TXT"), Names{"FILE.txt"});
  ASSERT_TRUE(native.SetCurrentDirectory(path));
  EXPECT_GT(native.CurrentDirectory().value_or("").size(), size_t(PATH_MAX));
  EXPECT_EQ(ReadThrough("file.txt"), "far");
}

INSTANTIATE_TEST_SUITE_P(StatelessAndCached, PlatformTest, ::testing::Bool());

// Blocks either side of the heap/mapping line and of a large page hold all
// their bytes at once, apart, and a growing array keeps its contents.
TEST(LargeBlocks, HoldTheirBytesApartAndGrowingKeepsThem) {
  std::vector<mem::LargeArray<unsigned char>> blocks;
  const std::vector<size_t> sizes = {0, 1, (512 << 10) - 65, 512 << 10, (2 << 20) - 64, 2 << 20,
                                     (5 << 20) + 3};
  for (size_t size : sizes) {
    blocks.push_back(mem::MakeLargeArray<unsigned char>(size));
    std::fill_n(blocks.back().get(), size, static_cast<unsigned char>(blocks.size()));
  }
  for (size_t i = sizes.size(); i-- > 0;) {
    EXPECT_EQ(std::count(blocks[i].get(), blocks[i].get() + sizes[i], i + 1), sizes[i]) << i;
    blocks[i].reset();
  }
  mem::large_vector<uint32_t> grown;
  for (uint32_t k = 0; k < (3u << 20); ++k) grown.push_back(k);
  for (uint32_t k = 0; k < grown.size(); k += 4099) ASSERT_EQ(grown[k], k);
}

TEST(ProcessTest, WorkerCountFollowsTheSettingWithinItsRange) {
  testing_support::SetEnvironment("KORVAT_THREADS", nullptr);
  const unsigned cores = WorkerCount();
  EXPECT_GE(cores, 1u);
  const std::pair<const char*, unsigned> cases[] = {{"1", 1},       {"256", 256},  {"0", cores},
                                                    {"257", cores}, {"2x", cores}, {"", cores}};
  for (const auto& [setting, expected] : cases) {
    testing_support::SetEnvironment("KORVAT_THREADS", setting);
    EXPECT_EQ(WorkerCount(), expected) << setting;
  }
  testing_support::SetEnvironment("KORVAT_THREADS", nullptr);
}

}  // namespace
