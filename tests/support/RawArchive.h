// Writes and reads archive files byte by byte, independently of the archive
// class, so tests can craft exact (also malformed) files and look at what the
// class wrote; and checks such files through the class.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Format.h"

namespace testing_support {

constexpr uint32_t kBlock = 262144;  // the real size of every part but an entry's last

struct RawPart { uint32_t offset = 0, storedSize = 0, realSize = 0; };

using RawEntry = GAME::format::EntryRecord;

struct RawHeader {
  std::string magic = std::string("ARC\0", 4);
  uint32_t version = 1, numEntries = 0, numParts = 0, partTableSize = 0, nameTableSize = 0,
           indexOffset = 2048;
};

// A whole archive file as plain values.
struct RawArchive {
  RawHeader header;
  std::vector<unsigned char> data;  // bytes from offset 2048 to indexOffset
  std::vector<RawPart> parts;
  std::string nameTable;
  std::vector<RawEntry> entries;

  void Recount();  // the header's counts and table sizes from the tables
  std::vector<unsigned char> Bytes() const;
  // False when the bytes are not laid out as an archive.
  static bool Parse(const std::vector<unsigned char>& bytes, RawArchive& out);
};

// Builds a well-formed archive from file contents.
class RawArchiveBuilder {
 public:
  RawArchiveBuilder& Stored(const std::string& name, const std::string& content);
  RawArchiveBuilder& Compressed(const std::string& name, const std::string& content);
  RawArchiveBuilder& Removed(uint32_t size);  // a removed entry's region of size bytes
  RawArchive Build() const { return archive_; }

 private:
  void Add(uint32_t flags, const std::string& name, const std::string& content,
           const std::string& bytes, const std::vector<RawPart>& parts);
  RawArchive archive_;
};

std::vector<unsigned char> ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const std::vector<unsigned char>& bytes);
// Writes the header and the index at its offset, leaving the data a hole:
// files of gigabytes cost no disk space.
void WriteSparse(const std::string& path, RawArchive archive);
uint32_t Adler32Of(const std::string& content);
std::string Deflated(const std::string& bytes);  // a zlib stream at level 6
// Stores bytes as part k, moving what follows and growing its entry.
void ReplacePart(RawArchive& archive, size_t k, const std::string& bytes);
// The first broken rule of the format, or "": the class must open the file
// and verify every active entry, and the index must be packed (records of
// removed entries zeroed, parts and names in entry order, no gap before it).
std::string FormatProblem(const RawArchive& archive);
// The content of entry index as the class reads it, or "<not readable>" when
// it does not open the file or the entry does not verify.
std::string ContentOf(const RawArchive& archive, size_t index);

}  // namespace testing_support
