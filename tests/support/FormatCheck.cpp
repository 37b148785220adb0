// Format rules and content of parsed archive files, checked without the
// archive class.
#include <zlib.h>

#include <algorithm>

#include "support/WritableArchive.h"

namespace testing_support {

std::string FormatProblem(const RawArchive& a) {
  const RawHeader& h = a.header;
  if (h.magic != std::string("ARC\0", 4) || h.version != 1 || h.partTableSize != h.numParts * 12) {
    return "header";
  }
  uint64_t dataEnd = 2048;
  uint32_t parts = 0;
  uint32_t names = 0;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const RawEntry& e = a.entries[i];
    const std::string at = " at entry " + std::to_string(i);
    if (e.offset < dataEnd || e.firstPart != parts || e.nameOffset != names) return "order" + at;
    dataEnd = uint64_t(e.offset) + e.storedSize;
    const uint32_t unset = e.realSize | e.checksum | e.fileTimeLow | e.fileTimeHigh | e.nameLength;
    if (e.flags == 0 && (unset | e.numParts) != 0) return "inactive record not zeroed" + at;
    if (e.flags == 0) continue;
    names += e.nameLength + 1;
    if (e.nameLength == 0 || names > a.nameTable.size() || a.nameTable[names - 1] != '\0') {
      return "name" + at;
    }
    const uint64_t wanted = e.flags == 1 ? 0 : (uint64_t(e.realSize) + kBlock - 1) / kBlock;
    if ((e.flags != 1 && e.flags != 3) || e.numParts != wanted) return "flags or part count" + at;
    uint64_t end = e.offset;
    for (uint32_t k = 0; k < e.numParts && parts < a.parts.size(); ++k, ++parts) {
      const RawPart& p = a.parts[parts];
      if (p.offset != end || p.realSize != std::min(kBlock, e.realSize - k * kBlock)) {
        return "part" + at;
      }
      end += p.storedSize;
    }
    std::string content;
    if ((e.flags == 1 ? e.realSize : end - e.offset) != e.storedSize ||
        !EntryContent(a, i, content)) {
      return "size or content" + at;
    }
  }
  if (parts != h.numParts || names != h.nameTableSize) return "table sizes";
  return dataEnd == h.indexOffset ? "" : "index does not follow the last region";
}

bool EntryContent(const RawArchive& a, size_t index, std::string& content) {
  const RawEntry& e = a.entries[index];
  if (uint64_t(e.firstPart) + e.numParts > a.parts.size()) return false;
  std::vector<RawPart> parts(a.parts.begin() + e.firstPart,
                             a.parts.begin() + e.firstPart + e.numParts);
  if (e.flags == 1) parts = {{e.offset, e.storedSize, e.storedSize}};
  content.clear();
  for (const RawPart& p : parts) {
    if (p.offset < 2048 || uint64_t(p.offset) - 2048 + p.storedSize > a.data.size()) return false;
    const unsigned char* packed = a.data.data() + (p.offset - 2048);
    std::string block(packed, packed + p.storedSize);
    uLongf length = p.realSize;
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
