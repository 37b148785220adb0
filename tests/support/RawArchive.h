// Writes and reads archive files byte by byte, independently of the archive
// class, so tests can craft exact (also malformed) files and check what the
// class wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct RawPart {
  uint32_t offset = 0, storedSize = 0, realSize = 0;
};

struct RawEntry {
  uint32_t flags = 0, offset = 0, storedSize = 0, realSize = 0, checksum = 0, fileTimeLow = 0,
           fileTimeHigh = 0, numParts = 0, firstPart = 0, nameLength = 0, nameOffset = 0;
};

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

  // Sets the header's counts and table sizes from the tables.
  void Recount();
  std::vector<unsigned char> Bytes() const;
  // Parses a file laid out as the format says; false when it is not.
  static bool Parse(const std::vector<unsigned char>& bytes, RawArchive& out);
};

// Builds a well-formed archive from file contents, laying out data, parts,
// names and counts the way the format requires.
class RawArchiveBuilder {
 public:
  // A file stored unchanged.
  RawArchiveBuilder& Stored(const std::string& name, const std::string& content);
  // A file stored as zlib-compressed 262144-byte parts.
  RawArchiveBuilder& Compressed(const std::string& name, const std::string& content);
  // A removed entry whose region is size bytes long.
  RawArchiveBuilder& Removed(uint32_t size);
  RawArchive Build() const { return archive_; }

 private:
  // Appends an entry (flags 0: removed) whose region holds bytes.
  void Add(uint32_t flags, const std::string& name, const std::string& content,
           const std::string& bytes, const std::vector<RawPart>& parts);
  RawArchive archive_;
};

std::vector<unsigned char> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes);
// Writes the header and the index at its offset, leaving the data a hole:
// files of gigabytes cost no disk space.
void WriteSparse(const std::string& path, RawArchive archive);
uint32_t Adler32Of(const std::string& content);

}  // namespace testing_support
