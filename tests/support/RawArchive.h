// Writes and reads archive files byte by byte, independently of the archive
// class, so tests can craft exact (also malformed) files and check what the
// class wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct RawPart {
  uint32_t offset = 0;
  uint32_t storedSize = 0;
  uint32_t realSize = 0;
};

struct RawEntry {
  uint32_t flags = 0;
  uint32_t offset = 0;
  uint32_t storedSize = 0;
  uint32_t realSize = 0;
  uint32_t checksum = 0;
  uint32_t fileTimeLow = 0;
  uint32_t fileTimeHigh = 0;
  uint32_t numParts = 0;
  uint32_t firstPart = 0;
  uint32_t nameLength = 0;
  uint32_t nameOffset = 0;
};

struct RawHeader {
  std::string magic = std::string("ARC\0", 4);
  uint32_t version = 1;
  uint32_t numEntries = 0;
  uint32_t numParts = 0;
  uint32_t partTableSize = 0;
  uint32_t nameTableSize = 0;
  uint32_t indexOffset = 2048;
};

// A whole archive file as plain values.
struct RawArchive {
  RawHeader header;
  std::vector<unsigned char> data;  // bytes from offset 2048 to indexOffset
  std::vector<RawPart> parts;
  std::string nameTable;
  std::vector<RawEntry> entries;

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
  void Add(RawEntry entry, const std::string& name, const std::vector<unsigned char>& bytes,
           const std::vector<RawPart>& parts);
  RawArchive archive_;
};

std::vector<unsigned char> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes);
uint32_t Adler32Of(const std::string& content);

}  // namespace testing_support
