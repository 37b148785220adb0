// Extracting entries to disk: directories made on the way, old targets
// truncated, removed entries skipped, the destination used as typed, and
// names that must not be extracted.
#include <algorithm>
#include <filesystem>

#include "support/WritableArchive.h"

namespace {

namespace fsys = std::filesystem;
using namespace testing_support;
using ArchiveExtract = ArchiveFileTest;

const std::string kBig = Noise(kBlock + 5000, 3);

// Every path below root, relative to it, sorted.
std::vector<std::string> Tree(const fsys::path& root) {
  std::vector<std::string> out;
  for (const auto& item : fsys::recursive_directory_iterator(root)) {
    out.push_back(fsys::relative(item.path(), root).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The callback cannot carry context, so it records into this list.
std::vector<std::string> progress;
void RecordProgress(const Archive::FileEntry& entry, unsigned int index, unsigned int count) {
  progress.push_back(std::to_string(index) + "/" + std::to_string(count) +
                     (entry.name != nullptr ? entry.name : "-"));
}

TEST_F(ArchiveExtract, ExtractAllWritesEveryActiveEntryUnderAMissingTree) {
  const std::string contents[] = {"stored", "", kBig, "", ""};
  RawArchiveBuilder built;
  built.Stored("t/a/b", contents[0]).Removed(5).Compressed("w", kBig).Stored("e/s", "");
  built.Compressed("e/c", "");
  const fsys::path out = dir.Path() / "out.d/x";
  for (Archive::FileMode mode : {Archive::ModeRead, Archive::ModeWrite}) {
    // The second time every target exists and is longer; a trailing '/' gets
    // no second one.
    const std::string typed = out.string() + (mode == Archive::ModeRead ? "" : "/");
    progress.clear();
    OpenBuilt(built, mode);
    EXPECT_TRUE(archive.ExtractAll(typed.c_str(), RecordProgress));
    EXPECT_EQ(progress, (std::vector<std::string>{"0/5t/a/b", "1/5-", "2/5w", "3/5e/s", "4/5e/c"}));
    EXPECT_EQ(Tree(out), (std::vector<std::string>{"e", "e/c", "e/s", "t", "t/a", "t/a/b", "w"}));
    for (int i : {0, 2, 3, 4}) {
      const std::string target = (out / Entry(i).name).string();
      const std::vector<unsigned char> bytes = ReadWholeFile(target);
      EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == contents[i]) << i;
      WriteWholeFile(target, std::vector<unsigned char>(kBig.size() + 9, 'o'));
    }
  }
}

// The destination is not lower-cased, backslashes are taken as '/', "." and
// ".." are kept, and none means the current directory. Names that would
// leave it, or write over the archive itself, create nothing.
TEST_F(ArchiveExtract, ExtractsOnlyUnderTheDestinationAsTyped) {
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
  bool extracted = archive.ExtractFileToDisk(0, nullptr) && archive.ExtractFileToDisk(1, "");
  for (const std::string& t : typed)
    extracted = archive.ExtractFileToDisk(0, t.c_str()) && extracted;
  bool refused = !archive.ExtractFileToDisk(2, dir.Path().c_str());
  for (int i = 3; i < 10; ++i) refused = !archive.ExtractFileToDisk(i, "d/e") && refused;
  fsys::current_path(cwd);
  EXPECT_TRUE(extracted && refused);
  EXPECT_EQ(ReadWholeFile(path), original);
  EXPECT_EQ(Tree(dir.Path()),
            (std::vector<std::string>{"Abs", "Abs/f", "Back", "Back/Slash", "Back/Slash/f", "Dot",
                                      "Dot/f", "Up", "Up/f", "f", "s", "s/g", "test.arc"}));
}

}  // namespace
