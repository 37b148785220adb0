// Format rules and content of parsed archive files, checked without the
// archive class.
#include <zlib.h>

#include <algorithm>

#include "support/WritableArchive.h"

namespace testing_support {

namespace {

// The problem of entry i, whose parts and name must start at parts and names.
std::string EntryProblem(const RawArchive& a, size_t i, uint32_t parts, uint32_t names) {
  const RawEntry& e = a.entries[i];
  if (e.firstPart != parts || e.nameOffset != names) return "part or name table order";
  if (e.flags == 0) {
    const uint32_t set = e.realSize | e.checksum | e.fileTimeLow | e.fileTimeHigh | e.numParts;
    return (set | e.nameLength) == 0 ? "" : "inactive record not zeroed";
  }
  if (e.flags != 1 && e.flags != 3) return "flags";
  if (e.nameLength == 0 || uint64_t(names) + e.nameLength >= a.nameTable.size() ||
      a.nameTable[names + e.nameLength] != '\0') {
    return "name";
  }
  const uint64_t wanted = e.flags == 1 ? 0 : (uint64_t(e.realSize) + kBlock - 1) / kBlock;
  if (e.numParts != wanted || uint64_t(parts) + e.numParts > a.parts.size()) return "parts";
  uint64_t end = e.offset;
  for (uint32_t k = 0; k < e.numParts; ++k) {
    const RawPart& p = a.parts[parts + k];
    if (p.offset != end || p.realSize != std::min(kBlock, e.realSize - k * kBlock)) return "part";
    end += p.storedSize;
  }
  if (e.flags == 1 ? e.storedSize != e.realSize : end - e.offset != e.storedSize) {
    return "stored size";
  }
  std::string content;
  return EntryContent(a, i, content) ? "" : "content";
}

}  // namespace

std::string FormatProblem(const RawArchive& a) {
  const RawHeader& h = a.header;
  if (h.magic != std::string("ARC\0", 4) || h.version != 1 || h.numEntries != a.entries.size() ||
      h.numParts != a.parts.size() || h.partTableSize != h.numParts * 12 ||
      h.nameTableSize != a.nameTable.size()) {
    return "header";
  }
  uint64_t dataEnd = 2048;
  uint32_t parts = 0;
  uint32_t names = 0;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const RawEntry& e = a.entries[i];
    const std::string problem = e.offset < dataEnd ? "order" : EntryProblem(a, i, parts, names);
    if (!problem.empty()) return problem + " at entry " + std::to_string(i);
    dataEnd = uint64_t(e.offset) + e.storedSize;
    parts += e.numParts;
    names += e.flags != 0 ? e.nameLength + 1 : 0;
  }
  if (dataEnd != h.indexOffset) return "index does not follow the last region";
  return parts == h.numParts && names == h.nameTableSize ? "" : "table sizes";
}

bool EntryContent(const RawArchive& a, size_t index, std::string& content) {
  const RawEntry& e = a.entries[index];
  if (uint64_t(e.firstPart) + e.numParts > a.parts.size()) return false;
  const auto first = a.parts.begin() + e.firstPart;
  std::vector<RawPart> parts(first, first + e.numParts);
  if (e.flags == 1) parts = {{e.offset, e.storedSize, e.storedSize}};
  content.clear();
  for (const RawPart& p : parts) {
    if (p.offset < 2048 || uint64_t(p.offset) - 2048 + p.storedSize > a.data.size()) return false;
    const unsigned char* packed = a.data.data() + (p.offset - 2048);
    uLongf length = p.realSize;
    std::string block(packed, packed + p.storedSize);
    if (e.flags == 3) {
      block.assign(p.realSize, '\0');
      const int status =
          uncompress(reinterpret_cast<Bytef*>(block.data()), &length, packed, p.storedSize);
      if (status != Z_OK || length != p.realSize) return false;
    }
    content += block;
  }
  return e.flags != 0 && content.size() == e.realSize && Adler32Of(content) == e.checksum;
}

}  // namespace testing_support
