// A fixture for tests that change archives: an archive object over a file
// system that can inject faults, ways to fill it, and ways to read back what
// it wrote independently of the class.
#pragma once

#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "support/ArchiveTestPeer.h"
#include "support/FaultyFileSystem.h"
#include "support/FormatCheck.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace testing_support {

inline std::string Noise(size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

inline std::string Text(size_t size) {
  std::string s;
  while (s.size() < size) s += "line " + std::to_string(s.size()) + " of some text\n";
  s.resize(size);
  return s;
}

// A fault-injecting file system whose writes can also raise an out-of-memory.
class TestFileSystem : public FaultyFileSystem {
 public:
  platform::IoResult WriteAt(platform::FileHandle file, uint64_t offset, const void* data,
                             size_t size) const override {
    if (throwOnWrite) throw std::bad_alloc();
    return FaultyFileSystem::WriteAt(file, offset, data, size);
  }
  mutable bool throwOnWrite = false;
};

// Everything in memory that adding, removing and compacting may change.
struct EntryState {
  uint32_t flags, offset, storedSize, realSize, numParts, checksum, timeLow, timeHigh;
  std::string name;
  std::vector<uint32_t> parts;  // offset, storedSize, realSize of each
  bool operator==(const EntryState&) const = default;
};

struct ArchiveState {
  std::vector<EntryState> entries;
  std::vector<uint32_t> freeEntries;
  bool operator==(const ArchiveState&) const = default;
};

inline ArchiveState StateOf(const GAME::Archive& archive) {
  ArchiveState state;
  for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
    const GAME::Archive::FileEntry& e = archive.GetFileEntry(static_cast<int>(i));
    EntryState s{e.flags,    e.offset,   e.storedSize,          e.realSize,
                 e.numParts, e.checksum, e.fileTime.lowDateTime, e.fileTime.highDateTime,
                 e.name != nullptr ? std::string(e.name, e.nameLength) : "", {}};
    for (uint32_t k = 0; k < e.numParts; ++k) {
      s.parts.insert(s.parts.end(), {e.parts[k].offset, e.parts[k].storedSize, e.parts[k].realSize});
    }
    state.entries.push_back(s);
  }
  state.freeEntries = GAME::ArchiveTestPeer::FreeEntries(archive);
  return state;
}

class WritableArchiveTest : public ::testing::Test {
 protected:
  void OpenNew() { ASSERT_TRUE(archive.Open(path.c_str(), GAME::Archive::ModeWrite)); }
  void OpenBuilt(const RawArchiveBuilder& builder) {
    WriteWholeFile(path, builder.Build().Bytes());
    OpenNew();
  }
  int Add(const std::string& name, std::string content, int level = 0) {
    return archive.AddFileFromMemory(name.c_str(), reinterpret_cast<unsigned char*>(content.data()),
                                     static_cast<unsigned int>(content.size()), level);
  }
  // Writes a source file into the scratch directory; returns its path.
  std::string Source(const std::string& name, const std::string& content) {
    WriteWholeFile(dir / name, std::vector<unsigned char>(content.begin(), content.end()));
    return dir / name;
  }
  // Closes the archive and reads the file back byte by byte, checking it.
  RawArchive Saved() {
    EXPECT_TRUE(archive.Close(false));
    RawArchive raw;
    EXPECT_TRUE(RawArchive::Parse(ReadWholeFile(path), raw));
    EXPECT_EQ(FormatProblem(raw), "");
    return raw;
  }
  static std::string ContentOf(const RawArchive& raw, size_t index) {
    std::string content;
    EXPECT_TRUE(EntryContent(raw, index, content));
    return content;
  }
  const GAME::Archive::FileEntry& Entry(int index) { return archive.GetFileEntry(index); }

  ScratchDir dir;
  std::string path = dir / "test.arc";
  TestFileSystem fs;
  GAME::Archive archive{fs};
};

}  // namespace testing_support
