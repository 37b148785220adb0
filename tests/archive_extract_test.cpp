// Extracting entries to disk: the destination used as typed, old targets
// truncated, and names that must not be extracted (plain extraction is tried
// with the injected faults and the parallel tests).
#include <filesystem>

#ifndef _WIN32
#include "platform/Native.h"
#endif
#include "support/TestSystem.h"
#include "support/WritableArchive.h"

namespace {

namespace fsys = std::filesystem;
using namespace testing_support;
using ArchiveExtract = ArchiveFileTest;

// The destination is not lower-cased, backslashes are taken as '/', "." and
// ".." are kept, and none means the current directory; a longer old file is
// replaced, under its name on disk when that differs only in case. Names
// with a ".." component, or that would write over the archive itself,
// create nothing; a leading '/' or drive stays below the destination.
TEST_F(ArchiveExtract, ExtractsOnlyUnderTheDestinationAsTyped) {
  if (kWindows) GTEST_SKIP() << "Linux only: \"c:\" is no directory name on Windows";
  RawArchiveBuilder built;
  for (const char* name : {"f", "s/g", "test.arc", "../evil", "a/../../evil", "a\\..\\..\\evil",
                           "/abs", "c:/evil", "dir/", "a/.."}) {
    built.Stored(name, name);
  }
  const std::string typed[] = {dir / "Abs", "Back\\Slash", "./Dot",
                               "../" + dir.Path().filename().string() + "/Up"};
  const fsys::path cwd = fsys::current_path();
  OpenBuilt(built);  // for writing: its own file is locked and rewritten at Close
  const std::vector<unsigned char> original = ReadWholeFile(path);
  fsys::current_path(dir.Path());
  WriteWholeFile("F", std::vector<unsigned char>(100, 'o'));
  bool extracted = archive.ExtractFileToDisk(0, nullptr) && archive.ExtractFileToDisk(1, "");
  for (const std::string& t : typed)
    extracted = archive.ExtractFileToDisk(0, t.c_str()) && extracted;
  bool refused = !archive.ExtractFileToDisk(2, dir.Path().string().c_str());
  for (int i : {3, 4, 5, 8, 9}) refused = !archive.ExtractFileToDisk(i, "d/e") && refused;
  for (int i : {6, 7}) extracted = archive.ExtractFileToDisk(i, "d/e") && extracted;
  fsys::current_path(cwd);
  EXPECT_TRUE(extracted && refused);
  EXPECT_EQ(ReadWholeFile(path), original);
  EXPECT_EQ(ReadWholeFile(dir / "F"), std::vector<unsigned char>{'f'});
  EXPECT_EQ(Tree(dir.Path()),
            (std::vector<std::string>{"Abs", "Abs/f", "Back", "Back/Slash", "Back/Slash/f", "Dot",
                                      "Dot/f", "F", "Up", "Up/f", "d", "d/e", "d/e/abs", "d/e/c:",
                                      "d/e/c:/evil", "s", "s/g", "test.arc"}));
}

// Extraction writes through no symbolic link below the destination. Each
// attack places a link in dest; the file it stands for is refused, the link
// named, and the victim outside left byte for byte; a link above the
// destination (in the path typed) is followed. A damaged entry leaves the
// old file of its name as it was.
TEST_F(ArchiveExtract, WritesThroughNoLinkBelowTheDestination) {
  RawArchiveBuilder built;
  for (const char* name : {"sub/file", "file2", "dangling", "sub2/f", "ok", "keep"}) {
    built.Stored(name, name);
  }
  RawArchive raw = built.Build();
  raw.entries[5].checksum ^= 1;  // "keep" is damaged
  WriteWholeFile(path, raw.Bytes());
  if (kWindows) GTEST_SKIP() << "Linux only: symbolic links (Wine makes none)";
  ASSERT_TRUE(archive.Open(path.c_str(), Archive::ModeRead));
  const fsys::path dest = dir / "dest", outside = dir / "outside";
  fsys::create_directories(dest);
  fsys::create_directories(outside);
  WriteWholeFile(outside / "victim", {'v'});
  WriteWholeFile(dest / "keep", {'o', 'l', 'd'});
  fsys::create_directory_symlink("../outside", dest / "sub");      // a directory
  fsys::create_symlink("../outside/victim", dest / "file2");       // a file
  fsys::create_symlink("../outside/new", dest / "dangling");       // dangling
  fsys::create_directory_symlink("../outside", dest / "SUB2");     // a case variant
  fsys::create_directory_symlink(dest, dir / "typed");             // above: followed
  const std::pair<int, const char*> refused[] = {{0, "sub"}, {1, "file2"}, {2, "dangling"}, {3, "sub2"}};
  for (const auto& [index, link] : refused) {
    EXPECT_FALSE(archive.ExtractFileToDisk(index, dest.string().c_str())) << link;
    EXPECT_EQ(archive.ExtractionLink(index, dest.string().c_str()), (dest / link).string());
  }
  EXPECT_FALSE(archive.ExtractAll((dir / "typed").c_str(), nullptr));
  EXPECT_EQ(ReadWholeFile(dest / "ok"), (std::vector<unsigned char>{'o', 'k'}));
  EXPECT_EQ(ReadWholeFile(dest / "keep"), (std::vector<unsigned char>{'o', 'l', 'd'}));
  EXPECT_EQ(Tree(outside), std::vector<std::string>{"victim"});
  EXPECT_EQ(ReadWholeFile(outside / "victim"), std::vector<unsigned char>{'v'});
  EXPECT_EQ(Tree(dest), (std::vector<std::string>{"SUB2", "dangling", "file2", "keep", "ok", "sub"}));
}

// A command's file system lists a directory once for the searches ignoring
// case, however many new files go into it, and finds the names it made in
// whatever case they are asked for.
TEST_F(ArchiveExtract, ListsADirectoryABoundedNumberOfTimesWhateverTheFileCount) {
#ifdef _WIN32
  GTEST_SKIP() << "Linux only: Windows looks names up ignoring case itself";
#else
  const auto extract = [&](int files) {
    RawArchiveBuilder built;
    for (int i = 0; i < files; ++i) built.Stored("out/f" + std::to_string(i), "x");
    WriteWholeFile(path, built.Build().Bytes());
    const fsys::path dest = dir / ("dest" + std::to_string(files));
    platform::native::ResolutionCache cache;
    const std::unique_ptr<platform::FileSystem> fs = platform::native::NativeFileSystemWith(cache);
    Archive own(*fs);
    EXPECT_TRUE(own.Open(path.c_str(), Archive::ModeRead) &&
                own.ExtractAll(dest.c_str(), nullptr) && own.Close(false));
    EXPECT_EQ(Tree(dest).size(), size_t(files) + 1);
    EXPECT_TRUE(platform::File(*fs, fs->Open(dest.string() + "/OUT/F1", platform::Access::Read,
                                             platform::Creation::OpenExisting,
                                             platform::Lock::None))
                    .IsOpen());
    return cache.Listings();
  };
  const size_t few = extract(10);
  EXPECT_LE(few, 3u);  // the destination, the directory in it, the archive's (for its journal)
  EXPECT_EQ(extract(300), few);
#endif
}

}  // namespace