// Format rules and content of parsed archive files, for tests.
#include "support/FormatCheck.h"

#include <zlib.h>

namespace testing_support {

namespace {

constexpr uint32_t kBlock = 262144;

// The bytes of [offset, offset + size) of the data region, if it holds them.
bool DataBytes(const RawArchive& a, uint32_t offset, uint32_t size, std::string& out) {
  if (offset < 2048 || uint64_t(offset) - 2048 + size > a.data.size()) return false;
  const auto* begin = a.data.data() + (offset - 2048);
  out.assign(begin, begin + size);
  return true;
}

std::string PartsProblem(const RawArchive& a, const RawEntry& e) {
  if (e.numParts != (uint64_t(e.realSize) + kBlock - 1) / kBlock) return "part count";
  uint64_t position = e.offset;
  for (uint32_t k = 0; k < e.numParts; ++k) {
    const RawPart& p = a.parts[e.firstPart + k];
    const uint32_t wanted = k + 1 < e.numParts ? kBlock : e.realSize - k * kBlock;
    if (p.offset != position) return "parts not contiguous";
    if (p.realSize != wanted) return "part real size";
    position += p.storedSize;
  }
  return position - e.offset == e.storedSize ? "" : "parts do not add up to the stored size";
}

std::string EntryProblem(const RawArchive& a, const RawEntry& e, uint32_t parts, uint32_t names) {
  if (e.firstPart != parts || e.nameOffset != names) return "part or name table order";
  if (e.flags == 0) {
    const bool zeroed = e.realSize == 0 && e.checksum == 0 && e.fileTimeLow == 0 &&
                        e.fileTimeHigh == 0 && e.numParts == 0 && e.nameLength == 0;
    return zeroed ? "" : "inactive record not zeroed";
  }
  if (e.flags != 1 && e.flags != 3) return "flags";
  if (uint64_t(names) + e.nameLength + 1 > a.nameTable.size() ||
      a.nameTable[names + e.nameLength] != '\0' || e.nameLength == 0) {
    return "name";
  }
  if (uint64_t(parts) + e.numParts > a.parts.size()) return "part range";
  if (e.flags == 1 && (e.numParts != 0 || e.storedSize != e.realSize)) return "stored entry sizes";
  if (e.flags == 3) return PartsProblem(a, e);
  return "";
}

}  // namespace

std::string FormatProblem(const RawArchive& a) {
  const RawHeader& h = a.header;
  if (h.magic != std::string("ARC\0", 4) || h.version != 1) return "header";
  if (h.numEntries != a.entries.size() || h.numParts != a.parts.size() ||
      h.partTableSize != h.numParts * 12 || h.nameTableSize != a.nameTable.size()) {
    return "header counts";
  }
  uint64_t dataEnd = 2048;
  uint32_t parts = 0;
  uint32_t names = 0;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const RawEntry& e = a.entries[i];
    if (e.offset < dataEnd) return "region order at entry " + std::to_string(i);
    dataEnd = uint64_t(e.offset) + e.storedSize;
    const std::string problem = EntryProblem(a, e, parts, names);
    if (!problem.empty()) return problem + " at entry " + std::to_string(i);
    std::string content;
    if (e.flags != 0 && !EntryContent(a, i, content)) return "content of entry " + std::to_string(i);
    parts += e.numParts;
    if (e.flags != 0) names += e.nameLength + 1;
  }
  if (dataEnd != h.indexOffset) return "index does not follow the last region";
  if (parts != h.numParts || names != h.nameTableSize) return "table sizes";
  return "";
}

bool EntryContent(const RawArchive& a, size_t index, std::string& content) {
  const RawEntry& e = a.entries[index];
  content.clear();
  if (e.flags == 1 && !DataBytes(a, e.offset, e.storedSize, content)) return false;
  for (uint32_t k = 0; e.flags == 3 && k < e.numParts; ++k) {
    const RawPart& p = a.parts[e.firstPart + k];
    std::string packed;
    if (!DataBytes(a, p.offset, p.storedSize, packed)) return false;
    std::string block(p.realSize, '\0');
    uLongf length = p.realSize;
    if (uncompress(reinterpret_cast<Bytef*>(block.data()), &length,
                   reinterpret_cast<const Bytef*>(packed.data()), packed.size()) != Z_OK ||
        length != p.realSize) {
      return false;
    }
    content += block;
  }
  return content.size() == e.realSize && Adler32Of(content) == e.checksum;
}

}  // namespace testing_support
