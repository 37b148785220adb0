// The fuzz checks: arbitrary bytes taken as an archive file or as a name, run
// through the archive's public methods over an in-memory file system, with
// the promises those methods make checked against each other.
#include "fuzz/ArchiveChecks.h"

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/Names.h"
#include "fuzz/MemoryFileSystem.h"
#include "mem/Vector.h"

namespace fuzzing {

namespace {

using GAME::Archive;
using Bytes = std::vector<unsigned char>;

constexpr char kArchivePath[] = "/a.arc";
constexpr char kOutDir[] = "/out";
constexpr uint32_t kActive = 1;
constexpr uint32_t kReadCap = 300000;  // content read back per entry: past the first part
constexpr unsigned kExtractLimit = 8;  // entries extracted per archive

// Keeps the first broken promise.
class Findings {
 public:
  void Require(bool holds, const std::string& what) {
    if (!holds && first_.empty()) first_ = what;
  }
  const std::string& First() const { return first_; }

 private:
  std::string first_;
};

std::string At(unsigned index, const char* what) {
  return "entry " + std::to_string(index) + ": " + what;
}

std::string Normalized(const char* name) {
  std::string out;
  GAME::names::NormalizeName(name, out);
  return out;
}

uint32_t Adler(const unsigned char* data, size_t size) {
  return static_cast<uint32_t>(adler32_z(adler32(0, nullptr, 0), data, size));
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
  if (suffix.size() > text.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<long>(suffix.size()),
                    [](char a, char b) { return Lower(a) == Lower(b); });
}

bool IsActive(const Archive& archive, int index) {
  return index >= 0 && static_cast<unsigned>(index) < archive.GetNumFiles() &&
         (archive.GetFileEntry(index).flags & kActive) != 0;
}

std::string NameOf(const Archive& archive, int index) {
  const Archive::FileEntry& entry = archive.GetFileEntry(index);
  return entry.name == nullptr ? std::string() : std::string(entry.name, entry.nameLength);
}

// A caller-owned part cache with its two areas.
class OwnBuffer {
 public:
  OwnBuffer()
      : area_(std::make_unique_for_overwrite<unsigned char[]>(size_t(Archive::MaxPartSize()) +
                                                              262144)) {
    buffer.compressedData = area_.get();
    buffer.uncompressedData = area_.get() + Archive::MaxPartSize();
  }
  OwnBuffer(const OwnBuffer&) = delete;
  OwnBuffer& operator=(const OwnBuffer&) = delete;
  Archive::BlockBuffer buffer{Archive::kNoPart, nullptr, nullptr};

 private:
  std::unique_ptr<unsigned char[]> area_;
};

// Byte ranges read through a cache agree with the bounds and (for an entry
// that verified) with its content; the first two also read the same without
// a cache (each such read takes a part-sized scratch area, which is slow
// under the sanitizers).
void CheckRanges(const Archive& archive, unsigned i, const Bytes& head, bool verified,
                 OwnBuffer& cache, Findings& findings) {
  const uint64_t realSize = archive.GetFileEntry(static_cast<int>(i)).realSize;
  const uint64_t ranges[][2] = {
      {0, 1}, {realSize / 2, 100}, {262141, 10}, {realSize, 5}, {realSize + 1, 1}};
  for (size_t r = 0; r < std::size(ranges); ++r) {
    const auto [offset, length] = ranges[r];
    if (offset > 0xFFFFFFFF) continue;
    Bytes cached(length), plain(length);
    const auto at = static_cast<unsigned>(offset);
    const bool read = archive.ReadFromFile(static_cast<int>(i), cached.data(), at,
                                           static_cast<unsigned>(length), &cache.buffer);
    if (r < 2) {
      const bool readPlain = archive.ReadFromFile(static_cast<int>(i), plain.data(), at,
                                                  static_cast<unsigned>(length), nullptr);
      findings.Require(readPlain == read && (!read || plain == cached),
                       At(i, "reads with and without a cache differ"));
    }
    if (offset > realSize) {
      findings.Require(!read, At(i, "a read beyond the end succeeds"));
      continue;
    }
    findings.Require(offset < realSize || read, At(i, "an empty read at the end fails"));
    if (!verified) continue;
    findings.Require(read, At(i, "a range of a verified entry does not read"));
    const size_t n = std::min<uint64_t>(length, realSize - offset);
    if (offset + n <= head.size()) {
      findings.Require(
          std::equal(cached.begin(), cached.begin() + long(n), head.begin() + long(offset)),
          At(i, "a range differs from the whole content"));
    }
  }
}

// The suffix search for the last three characters of entry i's name finds
// entry i, appends to what the vector held, and finds only what matches.
void CheckSuffixSearch(Archive& archive, unsigned i, Findings& findings) {
  const std::string name = NameOf(archive, static_cast<int>(i));
  const std::string suffix = name.substr(name.size() - std::min<size_t>(3, name.size()));
  mem::vector<int> found;
  found.push_back(-7);
  const unsigned count = archive.FindMatchingFilesEnd(found, suffix);
  findings.Require(found.size() == count + 1u && found[0] == -7,
                   At(i, "the suffix search miscounts"));
  bool self = false;
  for (size_t k = 1; k < found.size(); ++k) {
    findings.Require(
        IsActive(archive, found[k]) && EndsWithIgnoringCase(NameOf(archive, found[k]), suffix),
        At(i, "the suffix search finds a name that does not match"));
    self = self || found[k] == static_cast<int>(i);
  }
  findings.Require(self, At(i, "the suffix search misses the entry"));
}

// Checks entry i by every read path; true when it verified.
bool CheckEntry(Archive& archive, unsigned i, OwnBuffer& cache, Findings& findings) {
  const Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
  std::string reason;
  const bool verified = archive.VerifyFile(static_cast<int>(i), &reason);
  findings.Require(verified || !reason.empty(), At(i, "verification fails without a reason"));
  Bytes one(1);
  if (!(entry.flags & kActive)) {
    findings.Require(!verified, At(i, "a removed entry verifies"));
    // A removed entry has no content: offset 0 gives nothing, any other fails.
    one[0] = 0x5A;
    findings.Require(archive.ReadFromFile(static_cast<int>(i), one.data(), 0, 1, nullptr) &&
                         one[0] == 0x5A,
                     At(i, "a removed entry does not read as empty"));
    findings.Require(!archive.ReadFromFile(static_cast<int>(i), one.data(), 1, 1, nullptr),
                     At(i, "a removed entry reads past offset 0"));
    return false;
  }
  findings.Require(entry.name != nullptr, At(i, "an active entry has no name"));
  if (entry.name == nullptr) return false;

  // One byte more than read, so that an empty entry still has a destination.
  const uint32_t n = std::min(entry.realSize, kReadCap);
  auto area = std::make_unique_for_overwrite<unsigned char[]>(n + 1u);
  const bool extracted = archive.ExtractFileToMemory(static_cast<int>(i), area.get(), n);
  const Bytes head(area.get(), area.get() + (extracted ? n : 0));
  if (verified) {
    findings.Require(extracted, At(i, "a verified entry does not extract to memory"));
    findings.Require(entry.realSize > kReadCap || Adler(area.get(), n) == entry.checksum,
                     At(i, "a verified entry reads back with another checksum"));
  }
  cache.buffer.currentPart = Archive::kNoPart;
  CheckRanges(archive, i, head, verified, cache, findings);

  const std::string normalized = Normalized(entry.name);
  const int found = archive.FindFile(entry.name);
  findings.Require(found < 0 || (IsActive(archive, found) && NameOf(archive, found) == normalized),
                   At(i, "FindFile returns an entry of another name"));
  findings.Require(found >= 0 || normalized.empty() || normalized != NameOf(archive, int(i)),
                   At(i, "FindFile misses a stored name"));
  CheckSuffixSearch(archive, i, findings);
  return verified;
}

// Where files may be after extracting: the archive, its journal (beside it
// while it is written) and kOutDir.
bool MayHoldFile(const std::string& path) {
  return path == kArchivePath || path == std::string(kArchivePath) + "-journal" ||
         path.rfind(std::string(kOutDir) + "/", 0) == 0;
}

struct Counts {
  unsigned active = 0;
  unsigned verified = 0;
  bool operator==(const Counts&) const = default;
};

// Extracts a few entries under kOutDir: whatever reports success wrote its
// exact content there, and nothing lands outside kOutDir.
void CheckExtraction(const Archive& archive, const MemoryFileSystem& fs,
                     const std::vector<bool>& verified, Findings& findings) {
  fs.CreateDirectory(kOutDir);
  unsigned tried = 0;
  for (unsigned i = 0; i < archive.GetNumFiles() && tried < kExtractLimit; ++i) {
    const Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    if (!(entry.flags & kActive) || entry.realSize > kReadCap) continue;
    ++tried;
    if (!archive.ExtractFileToDisk(static_cast<int>(i), kOutDir)) continue;
    findings.Require(verified[i], At(i, "an entry that does not verify extracts"));
    const Bytes* written = fs.FileBytes(std::string(kOutDir) + "/" + NameOf(archive, int(i)));
    findings.Require(written != nullptr && written->size() == entry.realSize &&
                         Adler(written->data(), written->size()) == entry.checksum,
                     At(i, "extraction reports success but wrote something else"));
  }
  for (const std::string& path : fs.FilePaths()) {
    findings.Require(MayHoldFile(path), "extraction wrote outside its directory: " + path);
  }
}

Counts CheckAll(Archive& archive, const MemoryFileSystem& fs, OwnBuffer& cache, bool extract,
                Findings& findings) {
  Counts counts;
  std::vector<bool> verified(archive.GetNumFiles());
  for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
    counts.active += (archive.GetFileEntry(static_cast<int>(i)).flags & kActive) != 0;
    verified[i] = CheckEntry(archive, i, cache, findings);
    counts.verified += verified[i];
  }
  Archive::Stats stats;
  archive.CalcStats(stats);
  findings.Require(stats.fileEntries == archive.GetNumFiles() && stats.activeFiles == counts.active,
                   "CalcStats miscounts the entries");
  if (extract) CheckExtraction(archive, fs, verified, findings);
  return counts;
}

struct Addition {
  const char* name;
  std::string content;
  int level;
};

// Removes the first active entry, adds what is not stored yet and compacts;
// returns what the archive should hold afterwards.
Counts Change(Archive& archive, Counts counts, const std::vector<Addition>& additions,
              Findings& findings) {
  for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
    if (!IsActive(archive, static_cast<int>(i))) continue;
    const bool verified = archive.VerifyFile(static_cast<int>(i), nullptr);
    findings.Require(archive.RemoveFile(static_cast<int>(i)), At(i, "RemoveFile fails"));
    findings.Require(!archive.RemoveFile(static_cast<int>(i)), At(i, "RemoveFile repeats"));
    counts.active -= 1;
    counts.verified -= verified;
    break;
  }
  for (const Addition& a : additions) {
    std::string content = a.content;
    const int index =
        archive.AddFileFromMemory(a.name, reinterpret_cast<unsigned char*>(content.data()),
                                  static_cast<unsigned>(content.size()), a.level);
    findings.Require(index >= 0, std::string("adding ") + a.name + " fails");
    counts.active += index >= 0;
    counts.verified += index >= 0;
  }
  findings.Require(archive.Compact(), "Compact fails");
  findings.Require(archive.GetNumFiles() == counts.active, "Compact keeps a removed entry");
  return counts;
}

// Each addition is stored under its name with its content.
void CheckAdditions(const Archive& archive, const std::vector<Addition>& additions,
                    Findings& findings) {
  for (const Addition& a : additions) {
    const int index = archive.FindFile(a.name);
    Bytes content(a.content.size() + 1);
    findings.Require(index >= 0 &&
                         archive.ExtractFileToMemory(index, content.data(),
                                                     static_cast<unsigned>(a.content.size())) &&
                         std::equal(a.content.begin(), a.content.end(), content.begin()),
                     std::string(a.name) + " does not read back");
  }
}

}  // namespace

std::string CheckArchiveBytes(const uint8_t* data, size_t size) {
  const Bytes bytes(data, data + size);
  MemoryFileSystem fs;
  fs.SetFile(kArchivePath, bytes);
  Findings findings;
  OwnBuffer cache;

  Counts read;
  bool openedForReading = false;
  {
    Archive archive(fs);
    openedForReading = archive.Open(kArchivePath, Archive::ModeRead);
    if (openedForReading) read = CheckAll(archive, fs, cache, true, findings);
    findings.Require(archive.Close(false), "Close after reading fails");
  }
  findings.Require(*fs.FileBytes(kArchivePath) == bytes, "reading changed the archive file");

  Archive archive(fs);
  const bool opened = archive.Open(kArchivePath, Archive::ModeWrite);
  findings.Require(opened == openedForReading, "opens for reading but not writing, or back");
  if (!opened) {
    findings.Require(*fs.FileBytes(kArchivePath) == bytes, "a failed Open changed the file");
    return findings.First();
  }
  findings.Require(CheckAll(archive, fs, cache, false, findings) == read,
                   "entries check differently when opened for writing");
  std::vector<Addition> additions;
  if (archive.FindFile("fuzz/stored.txt") < 0) {
    additions.push_back({"fuzz/stored.txt", "stored by the fuzz check", 0});
  }
  if (archive.FindFile("fuzz/packed.txt") < 0) {
    std::string text;
    while (text.size() < 3000) text += "packed line " + std::to_string(text.size()) + "\n";
    additions.push_back({"fuzz/packed.txt", text, 6});
  }
  const Counts expected = Change(archive, read, additions, findings);
  findings.Require(archive.Close(false), "Close after changes fails");

  Archive reopened(fs);
  if (!reopened.Open(kArchivePath, Archive::ModeRead)) return "the closed archive does not open";
  findings.Require(CheckAll(reopened, fs, cache, false, findings) == expected,
                   "the closed archive holds other entries than it should");
  CheckAdditions(reopened, additions, findings);
  return findings.First();
}

std::string CheckName(const uint8_t* data, size_t size) {
  const std::string name = std::string(reinterpret_cast<const char*>(data), size).c_str();
  const std::string normalized = Normalized(name.c_str());
  Findings findings;
  findings.Require(normalized.size() <= name.size() &&
                       std::none_of(normalized.begin(), normalized.end(),
                                    [](char c) { return c == '\\' || (c >= 'A' && c <= 'Z'); }),
                   "NormalizeName leaves a capital or a backslash, or lengthens the name");

  MemoryFileSystem fs;
  Archive archive(fs);
  if (!archive.Open(kArchivePath, Archive::ModeWrite)) return "a new archive does not open";
  const std::vector<std::string> stored = {"textures/stone.tex", "sounds/a.wav", "readme",
                                           "a/b/c/d.txt"};
  unsigned char byte = 'x';
  for (const std::string& s : stored) archive.AddFileFromMemory(s.c_str(), &byte, 1, 0);

  const auto position = std::find(stored.begin(), stored.end(), normalized);
  const int expected = position == stored.end() ? -1 : int(position - stored.begin());
  findings.Require(archive.FindFile(name.c_str()) == expected, "FindFile finds the wrong entry");
  mem::vector<int> found;
  const unsigned count = archive.FindMatchingFilesEnd(found, name);
  const auto matching = std::count_if(stored.begin(), stored.end(), [&](const std::string& s) {
    return EndsWithIgnoringCase(s, name);
  });
  findings.Require(count == found.size() && count == unsigned(matching),
                   "the suffix search miscounts");

  const int added = archive.AddFileFromMemory(name.c_str(), &byte, 1, 0);
  findings.Require((added >= 0) == (!normalized.empty() && expected < 0),
                   "AddFileFromMemory takes a name it should refuse, or back");
  if (added >= 0) {
    findings.Require(archive.FindFile(name.c_str()) == added, "the added name is not found");
    findings.Require(archive.VerifyFile(added, nullptr), "the added file does not verify");
    fs.CreateDirectory(kOutDir);
    if (archive.ExtractFileToDisk(added, kOutDir)) {
      const Bytes* written = fs.FileBytes(std::string(kOutDir) + "/" + normalized);
      findings.Require(written != nullptr && *written == Bytes{byte},
                       "extraction reports success but wrote something else");
    }
    for (const std::string& path : fs.FilePaths()) {
      findings.Require(MayHoldFile(path), "extraction wrote outside its directory: " + path);
    }
  }
  findings.Require(archive.Close(false), "Close fails");
  Archive reopened(fs);
  if (!reopened.Open(kArchivePath, Archive::ModeRead)) return "the closed archive does not open";
  findings.Require(reopened.FindFile(name.c_str()) == (added >= 0 ? added : expected),
                   "the name is found elsewhere after reloading");
  return findings.First();
}

}  // namespace fuzzing
