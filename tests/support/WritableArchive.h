// A fixture for tests of one archive file: an archive object over a file
// system that counts calls and injects faults, ways to craft and fill the
// file, and checks of what the class wrote.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/ArchiveTestPeer.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace testing_support {

using GAME::Archive;
using GAME::ArchiveTestPeer;
using GAME::ErrorCode;
using Call = FaultyFileSystem::Call;
using Fault = FaultyFileSystem::Fault;
using PowerLoss = FaultyFileSystem::PowerLoss;

// Bytes of `kinds` different values from a seeded generator: with all 256
// they do not compress, Text's three letters compress well.
inline std::string Noise(size_t size, unsigned seed = 1, unsigned kinds = 256) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>('a' + random() % kinds);
  return s;
}
inline std::string Text(size_t size) { return Noise(size, 5, 3); }

// Each entry's flags, offset, sizes, checksum, name length, time and parts,
// then the free list: everything an add, removal or compaction may change.
using State = std::vector<std::vector<uint32_t>>;
inline State StateOf(const Archive& archive) {
  State state;
  for (int i = 0; i < int(archive.GetNumFiles()); ++i) {
    const Archive::FileEntry& e = archive.GetFileEntry(i);
    state.push_back({e.flags, e.offset, e.storedSize, e.realSize, e.checksum, e.nameLength,
                     e.fileTime.lowDateTime, e.fileTime.highDateTime});
    for (const Archive::PartRecord& p : std::vector(e.parts, e.parts + e.numParts)) {
      state.back().insert(state.back().end(), {p.offset, p.storedSize, p.realSize});
    }
  }
  state.push_back(ArchiveTestPeer::FreeEntries(archive));
  return state;
}

class ArchiveFileTest : public ::testing::Test {
 protected:
  void Open(Archive::FileMode mode = Archive::ModeWrite) {
    ASSERT_TRUE(archive.Open(path.c_str(), mode));
  }
  // Closes the archive, writes the built file in its place and opens it.
  void OpenBuilt(const RawArchiveBuilder& built, Archive::FileMode mode = Archive::ModeWrite) {
    archive.Close(false);
    WriteWholeFile(path, built.Build().Bytes());
    Open(mode);
  }
  int Add(const std::string& name, std::string content, int level = 0) {
    auto* data = reinterpret_cast<unsigned char*>(content.data());
    return archive.AddFileFromMemory(name.c_str(), data, unsigned(content.size()), level);
  }
  std::string Source(const std::string& name, const std::string& content) {  // in dir; its path
    WriteWholeFile(dir / name, {content.begin(), content.end()});
    return dir / name;
  }
  // Closes the archive, parses the file and checks every rule of the format.
  RawArchive Saved() {
    RawArchive raw;
    EXPECT_TRUE(archive.Close(false) && RawArchive::Parse(ReadWholeFile(path), raw));
    EXPECT_EQ(FormatProblem(raw), "");
    return raw;
  }
  const Archive::FileEntry& Entry(int index) { return archive.GetFileEntry(index); }

  ScratchDir dir;
  std::string path = dir / "test.arc";
  FaultyFileSystem fs;
  Archive archive{fs};
};

}  // namespace testing_support
