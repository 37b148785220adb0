// Tests of the platform layer: the native file system's path resolution,
// locking, file kinds, I/O, enumeration and file times, the File owner, the
// interrupt handlers and the fault-injecting test file system.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "support/FaultyFileSystem.h"

namespace {

namespace fs = std::filesystem;
using platform::Access;
using platform::Creation;
using platform::File;
using platform::FileTime;
using platform::Lock;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Each test runs in a fresh temporary directory, made the current one.
class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = ::testing::TempDir() + "korvat-platform-XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = fs::canonical(dir);
    previous_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(previous_);
    fs::remove_all(dir_);
  }

  File OpenFile(const std::string& path, Access access = Access::Read,
                Creation creation = Creation::OpenExisting, Lock lock = Lock::None) const {
    return File(native, native.Open(path, access, creation, lock));
  }
  // The whole content of a file read through the file system, or "<none>".
  std::string ReadThrough(const std::string& path) const {
    File file = OpenFile(path);
    if (!file.IsOpen()) return "<none>";
    std::string text(*native.Size(file.Handle()), '\0');
    native.ReadAt(file.Handle(), 0, text.data(), text.size());
    return text;
  }
  std::vector<std::string> Names(const std::string& pattern) const {
    std::vector<std::string> names;
    for (const platform::DirEntry& entry : native.Enumerate(pattern)) names.push_back(entry.name);
    return names;
  }

  const platform::FileSystem& native = platform::NativeFileSystem();
  fs::path dir_;
  fs::path previous_;
};

TEST(FileTimeTest, ConvertsUnixTimes) {
  struct Case {
    int64_t seconds, nanoseconds;
    uint64_t expected;
  } cases[] = {
      {0, 0, 116444736000000000ull},
      {1, 999, 116444736010000009ull},  // nanoseconds count in whole 100 ns ticks
      {1700000000, 123456789, 133444736001234567ull},
      {-11644473600, 0, 0},  // 1601-01-01
      {-11644473601, 0, 0},  // earlier times clamp to it
  };
  for (const Case& c : cases) {
    FileTime time = platform::FileTimeFromUnix(c.seconds, c.nanoseconds);
    EXPECT_EQ(time.Value(), c.expected) << c.seconds;
    EXPECT_EQ(time.low, uint32_t(c.expected));
    EXPECT_EQ(time.high, uint32_t(c.expected >> 32));
  }
}

TEST(FileTimeTest, ComparesHighHalfFirst) {
  FileTime early{0xFFFFFFFF, 1}, late{0, 2};
  EXPECT_GT(platform::CompareFileTime(late, early), 0);
  EXPECT_LT(platform::CompareFileTime(early, late), 0);
  EXPECT_EQ(platform::CompareFileTime(late, late), 0);
}

TEST(HandleTest, InvalidHandleIsDescriptorMinusOne) {
  EXPECT_EQ(reinterpret_cast<intptr_t>(platform::InvalidHandle()), -1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(platform::InvalidHandle()), ~uintptr_t(0));
}

TEST_F(PlatformTest, BackslashIsASeparator) {
  fs::create_directories("a/b");
  WriteText("a/b/c.txt", "abc");
  EXPECT_TRUE(native.GetAttributes("a\\b\\c.txt").exists);
  EXPECT_TRUE(native.GetAttributes("a\\b").isDirectory);
  EXPECT_EQ(ReadThrough("a\\b/c.txt"), "abc");
  EXPECT_EQ(Names("a\\b\\*"), std::vector<std::string>{"c.txt"});
  EXPECT_TRUE(native.CreateDirectory("a\\b\\d"));
  EXPECT_TRUE(fs::is_directory("a/b/d"));
  EXPECT_TRUE(native.SetCurrentDirectory("a\\b"));
  EXPECT_EQ(fs::current_path(), dir_ / "a/b");
}

TEST_F(PlatformTest, ResolvesPathsIgnoringCase) {
  fs::create_directories("data/Sub");
  WriteText("data/Sub/file.bin", "deep");
  WriteText("data/Readme.TXT", "mixed");
  WriteText("data/README.txt", "upper");
  const std::string absolute = (dir_ / "DATA/SUB/FILE.BIN").string();
  struct Case {
    std::string path, content;
  } cases[] = {
      {"DATA/sub/FILE.bin", "deep"},
      {absolute, "deep"},
      {"data/Readme.TXT", "mixed"},  // an exact match wins
      {"DATA/Readme.TXT", "mixed"},  // also below a resolved component
      {"data/readme.txt", "upper"},  // else the first in byte order
      {"Data\\.\\sub\\..\\SUB\\file.BIN", "deep"},
      {"nothere/file.bin", "<none>"},  // a missing component fails
      {"data/missing/file.bin", "<none>"},
      {"data/Sub/file.bin/x", "<none>"},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadThrough(c.path), c.content) << c.path;

  EXPECT_TRUE(native.GetAttributes("DATA/SUB").isDirectory);
  EXPECT_EQ(native.LastWriteTime("Data/sub/File.Bin"), native.LastWriteTime("data/Sub/file.bin"));
  EXPECT_FALSE(native.LastWriteTime("data/sub/nofile").has_value());
  EXPECT_EQ(Names("DATA/SUB/*"), std::vector<std::string>{"file.bin"});
  EXPECT_TRUE(native.RemoveFile("DATA/SUB/FILE.BIN"));
  EXPECT_FALSE(fs::exists("data/Sub/file.bin"));
  EXPECT_TRUE(native.SetCurrentDirectory("DATA/sub"));
  EXPECT_EQ(fs::current_path(), dir_ / "data/Sub");
}

TEST_F(PlatformTest, CreatesUnderExistingDirectoriesOfAnotherCase) {
  fs::create_directories("data");
  WriteText("data/Old.txt", "old");
  {
    File created = OpenFile("DATA/new.txt", Access::ReadWrite, Creation::OpenAlways);
    ASSERT_TRUE(created.IsOpen());
    File reopened = OpenFile("Data/OLD.TXT", Access::ReadWrite, Creation::OpenAlways);
    ASSERT_TRUE(reopened.IsOpen());
    EXPECT_EQ(native.WriteAt(reopened.Handle(), 0, "new", 3).count, 3u);
  }
  EXPECT_TRUE(fs::exists("data/new.txt"));
  EXPECT_EQ(ReadText("data/Old.txt"), "new");  // opened, not created anew
  EXPECT_FALSE(fs::exists("DATA"));
  EXPECT_FALSE(fs::exists("data/OLD.TXT"));

  EXPECT_TRUE(native.CreateDirectory("DATA/NewDir"));
  EXPECT_TRUE(fs::is_directory("data/NewDir"));
  EXPECT_FALSE(native.CreateDirectory("Data"));  // exists already
  EXPECT_FALSE(native.CreateDirectory("missing/sub"));
  EXPECT_FALSE(OpenFile("missing/x.txt", Access::ReadWrite, Creation::OpenAlways).IsOpen());
}

TEST_F(PlatformTest, LocksExcludeAsTwoProcessesWould) {
  WriteText("archive.bin", "data");
  struct Case {
    Access firstAccess;
    Lock first;
    Access secondAccess;
    Lock second;
    bool secondOpens;
  } cases[] = {
      {Access::ReadWrite, Lock::Exclusive, Access::ReadWrite, Lock::Exclusive, false},
      {Access::ReadWrite, Lock::Exclusive, Access::Read, Lock::Shared, false},
      {Access::Read, Lock::Shared, Access::Read, Lock::Shared, true},
      {Access::Read, Lock::Shared, Access::ReadWrite, Lock::Exclusive, false},
      {Access::ReadWrite, Lock::Exclusive, Access::Read, Lock::None, true},
  };
  for (const Case& c : cases) {
    File first = OpenFile("archive.bin", c.firstAccess, Creation::OpenAlways, c.first);
    ASSERT_TRUE(first.IsOpen());
    File second = OpenFile("archive.bin", c.secondAccess, Creation::OpenAlways, c.second);
    EXPECT_EQ(second.IsOpen(), c.secondOpens) << int(c.first) << " then " << int(c.second);
  }
}

TEST_F(PlatformTest, LockedFileIsNeitherTruncatedNorKeptLockedAfterClose) {
  WriteText("archive.bin", "data");
  {
    File holder = OpenFile("archive.bin", Access::ReadWrite, Creation::OpenAlways, Lock::Exclusive);
    ASSERT_TRUE(holder.IsOpen());
    EXPECT_FALSE(OpenFile("archive.bin", Access::ReadWrite, Creation::CreateAlways, Lock::Exclusive)
                     .IsOpen());
    EXPECT_EQ(ReadText("archive.bin"), "data");
  }
  EXPECT_TRUE(
      OpenFile("archive.bin", Access::ReadWrite, Creation::OpenExisting, Lock::Exclusive).IsOpen());
}

TEST_F(PlatformTest, FileOwnerClosesOnResetAndMove) {
  WriteText("a.bin", "a");
  WriteText("b.bin", "b");
  auto lockable = [&](const char* path) {
    return OpenFile(path, Access::Read, Creation::OpenExisting, Lock::Exclusive).IsOpen();
  };
  File a = OpenFile("a.bin", Access::Read, Creation::OpenExisting, Lock::Exclusive);
  File b = OpenFile("b.bin", Access::Read, Creation::OpenExisting, Lock::Exclusive);
  EXPECT_FALSE(lockable("a.bin"));
  a = std::move(b);  // closes a.bin, takes over b.bin
  EXPECT_TRUE(lockable("a.bin"));
  EXPECT_FALSE(lockable("b.bin"));
  EXPECT_FALSE(b.IsOpen());
  platform::FileHandle raw = a.Release();
  EXPECT_FALSE(lockable("b.bin"));  // released, still open
  native.Close(raw);
  EXPECT_TRUE(lockable("b.bin"));
}

TEST_F(PlatformTest, RefusesAnythingButRegularFiles) {
  fs::create_directory("dir");
  ASSERT_EQ(::mkfifo("fifo", 0666), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string socketPath = "sock";
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  for (const char* path : {"dir", "fifo", "sock", "/dev/null", "DIR", "FIFO"}) {
    for (Creation creation : {Creation::OpenExisting, Creation::OpenAlways}) {
      for (Access access : {Access::Read, Access::ReadWrite}) {
        EXPECT_FALSE(OpenFile(path, access, creation).IsOpen()) << path;
      }
    }
  }
  ::close(sock);
}

TEST_F(PlatformTest, FollowsLinksToFiles) {
  fs::create_directory("dir");
  WriteText("target.txt", "through the link");
  fs::create_symlink("target.txt", "link.txt");
  fs::create_directory_symlink("dir", "dirlink");
  fs::create_symlink("nowhere", "dangling");
  EXPECT_EQ(ReadThrough("LINK.txt"), "through the link");
  EXPECT_TRUE(native.GetAttributes("dirlink").isDirectory);
  EXPECT_FALSE(native.GetAttributes("dangling").exists);
  EXPECT_FALSE(OpenFile("dangling").IsOpen());
}

TEST_F(PlatformTest, ReadsShortAtEndOfFileAndWritesAnywhere) {
  WriteText("f.bin", "0123456789");
  File file = OpenFile("f.bin", Access::ReadWrite);
  char buffer[16] = {};
  platform::IoResult read = native.ReadAt(file.Handle(), 4, buffer, sizeof buffer);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(std::string(buffer, read.count), "456789");
  read = native.ReadAt(file.Handle(), 100, buffer, sizeof buffer);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 0u);

  EXPECT_EQ(native.WriteAt(file.Handle(), 12, "xy", 2).count, 2u);
  EXPECT_EQ(native.Size(file.Handle()), 14u);
  EXPECT_TRUE(native.Truncate(file.Handle(), 3));
  EXPECT_TRUE(native.Flush(file.Handle()));
  EXPECT_EQ(ReadText("f.bin"), "012");

  EXPECT_FALSE(native.ReadAt(platform::InvalidHandle(), 0, buffer, 1).ok);
  EXPECT_FALSE(native.WriteAt(platform::InvalidHandle(), 0, buffer, 1).ok);
  EXPECT_FALSE(native.Size(platform::InvalidHandle()).has_value());
  File readOnly = OpenFile("f.bin");
  EXPECT_FALSE(native.WriteAt(readOnly.Handle(), 0, "z", 1).ok);
}

TEST_F(PlatformTest, CreationModesKeepOrDropContent) {
  WriteText("keep.bin", "kept");
  WriteText("drop.bin", "dropped");
  EXPECT_TRUE(OpenFile("keep.bin", Access::ReadWrite, Creation::OpenAlways).IsOpen());
  EXPECT_TRUE(OpenFile("drop.bin", Access::ReadWrite, Creation::CreateAlways).IsOpen());
  EXPECT_EQ(ReadText("keep.bin"), "kept");
  EXPECT_EQ(ReadText("drop.bin"), "");
  EXPECT_FALSE(OpenFile("absent.bin").IsOpen());

  mode_t previous = ::umask(027);
  EXPECT_TRUE(OpenFile("new.bin", Access::ReadWrite, Creation::CreateAlways).IsOpen());
  ::umask(previous);
  EXPECT_EQ(fs::status("new.bin").permissions(), fs::perms(0640));
}

TEST_F(PlatformTest, EnumeratesInCaseFoldedOrder) {
  for (const char* name : {"b.dat", "a.TXT", "README", "A.txt", ".hidden", "c10.txt"}) {
    WriteText(name, name);
  }
  fs::create_directory("sub");
  fs::create_directory_symlink("sub", "link");
  const std::vector<std::string> all = {".hidden", "A.txt", "a.TXT",  "b.dat",
                                        "c10.txt", "link",  "README", "sub"};
  struct Case {
    std::string pattern;
    std::vector<std::string> names;
  } cases[] = {
      {"*", all},
      {"*.*", all},
      {"./*", all},
      {(dir_ / "*").string(), all},
      {"*.txt", {"A.txt", "a.TXT", "c10.txt"}},
      {"*.TXT", {"A.txt", "a.TXT", "c10.txt"}},
      {"?.txt", {"A.txt", "a.TXT"}},
      {"c??.txt", {"c10.txt"}},
      {"*e*", {".hidden", "README"}},
      {"Readme", {"README"}},
      {"*1*t", {"c10.txt"}},
      {"nomatch*", {}},
      {"missing/*", {}},
      {"README/*", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Names(c.pattern), c.names) << c.pattern;
}

TEST_F(PlatformTest, EnumerationDescribesEntries) {
  fs::create_directory("sub");
  fs::create_directory_symlink("sub", "dirlink");
  WriteText("small.txt", "12345");
  fs::create_symlink("small.txt", "filelink");
  WriteText("big.bin", "");
  fs::resize_file("big.bin", (uint64_t(1) << 32) + 7);  // sparse
  struct Expected {
    std::string name;
    bool isDirectory, isLink;
    uint32_t sizeLow;
  } expected[] = {
      {"big.bin", false, false, 7},   {"dirlink", false, true, 0}, {"filelink", false, true, 5},
      {"small.txt", false, false, 5}, {"sub", true, false, 0},
  };
  std::vector<platform::DirEntry> entries = native.Enumerate("*");
  ASSERT_EQ(entries.size(), std::size(expected));
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, expected[i].name);
    EXPECT_EQ(entries[i].isDirectory, expected[i].isDirectory) << expected[i].name;
    EXPECT_EQ(entries[i].isLink, expected[i].isLink) << expected[i].name;
    EXPECT_EQ(entries[i].sizeLow, expected[i].sizeLow) << expected[i].name;
  }
  std::vector<std::string> root = Names("/*");
  EXPECT_FALSE(root.empty());
  EXPECT_EQ(std::count(root.begin(), root.end(), "."), 0);
  EXPECT_EQ(std::count(root.begin(), root.end(), ".."), 0);
}

TEST_F(PlatformTest, HandlesPathsLongerThanTheSystemLimit) {
  std::string path = ".";
  const std::string component(200, 'd');
  while (path.size() <= PATH_MAX) {
    path += "/" + component;
    ASSERT_TRUE(native.CreateDirectory(path));
  }
  const std::string filePath = path + "/FILE.txt";
  File file = OpenFile(filePath, Access::ReadWrite, Creation::CreateAlways);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_TRUE(native.WriteAt(file.Handle(), 0, "far", 3).ok);
  EXPECT_TRUE(native.GetAttributes(path).isDirectory);
  EXPECT_TRUE(native.LastWriteTime(filePath).has_value());
  EXPECT_EQ(Names(path + "/*.TXT"), std::vector<std::string>{"FILE.txt"});
  ASSERT_TRUE(native.SetCurrentDirectory(path));
  std::optional<std::string> current = native.CurrentDirectory();
  ASSERT_TRUE(current.has_value());
  EXPECT_GT(current->size(), size_t(PATH_MAX));
  EXPECT_EQ(ReadThrough("file.txt"), "far");
}

TEST(ProcessTest, RecordsTheFirstInterruptSignal) {
  EXPECT_EXIT(
      {
        platform::InstallCrashFilter();
        int before = platform::PendingInterrupt();
        platform::InstallInterruptHandlers();
        std::raise(SIGTERM);
        std::raise(SIGINT);
        _exit(before == 0 && platform::PendingInterrupt() == SIGTERM ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(PlatformTest, FaultyFileSystemFailsTheChosenCall) {
  using testing_support::FaultyFileSystem;
  FaultyFileSystem faulty;
  File file(faulty, faulty.Open("f.bin", Access::ReadWrite, Creation::CreateAlways, Lock::None));
  ASSERT_TRUE(file.IsOpen());
  faulty.Inject(FaultyFileSystem::Call::WriteAt, 2);
  EXPECT_TRUE(faulty.WriteAt(file.Handle(), 0, "aaaa", 4).ok);
  platform::IoResult failed = faulty.WriteAt(file.Handle(), 4, "bbbb", 4);
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.count, 0u);
  EXPECT_TRUE(faulty.WriteAt(file.Handle(), 4, "cccc", 4).ok);
  EXPECT_EQ(faulty.Count(FaultyFileSystem::Call::WriteAt), 3u);
  EXPECT_EQ(ReadText("f.bin"), "aaaacccc");

  faulty.Inject(FaultyFileSystem::Call::WriteAt, 4, FaultyFileSystem::Fault::Short, true);
  platform::IoResult partial = faulty.WriteAt(file.Handle(), 8, "dddd", 4);
  EXPECT_FALSE(partial.ok);
  EXPECT_EQ(partial.count, 2u);
  EXPECT_FALSE(faulty.WriteAt(file.Handle(), 10, "ee", 2).ok);  // onward
  EXPECT_EQ(ReadText("f.bin"), "aaaaccccdde");

  faulty.Inject(FaultyFileSystem::Call::ReadAt, 1, FaultyFileSystem::Fault::Short);
  char buffer[8];
  platform::IoResult read = faulty.ReadAt(file.Handle(), 0, buffer, 8);
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.count, 4u);
  faulty.Inject(FaultyFileSystem::Call::Flush, 1);
  faulty.Inject(FaultyFileSystem::Call::Truncate, 2);
  EXPECT_FALSE(faulty.Flush(file.Handle()));
  EXPECT_TRUE(faulty.Truncate(file.Handle(), 4));
  EXPECT_FALSE(faulty.Truncate(file.Handle(), 0));
  EXPECT_EQ(ReadText("f.bin"), "aaaa");
}

}  // namespace
