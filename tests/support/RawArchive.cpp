// Byte-level writer, reader and checker of archive files for tests.
#include "support/RawArchive.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace testing_support {

namespace {

using GAME::format::LoadU32;
using GAME::format::StoreU32;

// The header's fields after the magic, in file order.
std::vector<uint32_t*> FieldsOf(RawHeader& h) {
  return {&h.version, &h.numEntries, &h.numParts, &h.partTableSize, &h.nameTableSize, &h.indexOffset};
}

}  // namespace

void RawArchive::Recount() {
  header.numEntries = uint32_t(entries.size());
  header.numParts = uint32_t(parts.size());
  header.partTableSize = header.numParts * 12;
  header.nameTableSize = uint32_t(nameTable.size());
}

std::vector<unsigned char> RawArchive::Bytes() const {
  RawHeader h = header;
  std::vector<unsigned char> out(2048 + data.size() + 12 * parts.size() + nameTable.size() +
                                 44 * entries.size());
  std::copy_n(h.magic.begin(), std::min<size_t>(4, h.magic.size()), out.begin());
  unsigned char* at = out.data() + 4;
  for (const uint32_t* v : FieldsOf(h)) StoreU32(at, *v), at += 4;
  at = std::copy(data.begin(), data.end(), out.data() + 2048);
  for (const RawPart& p : parts) {
    for (uint32_t v : {p.offset, p.storedSize, p.realSize}) StoreU32(at, v), at += 4;
  }
  at = std::copy(nameTable.begin(), nameTable.end(), at);
  for (const RawEntry& e : entries) GAME::format::EncodeEntryRecord(e, at), at += 44;
  return out;
}

bool RawArchive::Parse(const std::vector<unsigned char>& bytes, RawArchive& out) {
  if (bytes.size() < 2048) return false;
  out = RawArchive{};
  RawHeader& h = out.header;
  const unsigned char* at = bytes.data();
  h.magic.assign(at, at + 4);
  for (uint32_t* v : FieldsOf(h)) *v = LoadU32(at += 4);
  const uint64_t end =
      uint64_t(h.indexOffset) + 12ull * h.numParts + h.nameTableSize + 44ull * h.numEntries;
  if (end != bytes.size() || h.indexOffset < 2048) return false;
  out.data.assign(bytes.data() + 2048, at = bytes.data() + h.indexOffset);
  for (uint32_t k = 0; k < h.numParts; ++k, at += 12) {
    out.parts.push_back({LoadU32(at), LoadU32(at + 4), LoadU32(at + 8)});
  }
  out.nameTable.assign(at, at + h.nameTableSize);
  at += h.nameTableSize;
  for (uint32_t k = 0; k < h.numEntries; ++k, at += 44) {
    out.entries.push_back(GAME::format::DecodeEntryRecord(at));
  }
  return true;
}

void RawArchiveBuilder::Add(uint32_t flags, const std::string& name, const std::string& content,
                            const std::string& bytes, const std::vector<RawPart>& parts) {
  RawArchive& a = archive_;
  RawEntry e;
  e.flags = flags;
  e.offset = 2048 + uint32_t(a.data.size());
  e.storedSize = uint32_t(bytes.size());
  e.firstPart = uint32_t(a.parts.size());
  e.numParts = uint32_t(parts.size());
  e.nameOffset = uint32_t(a.nameTable.size());
  if (flags != 0) {
    e.realSize = uint32_t(content.size());
    e.checksum = Adler32Of(content);
    e.nameLength = uint32_t(name.size());
    a.nameTable.append(name).push_back('\0');
  }
  for (RawPart p : parts) {
    p.offset += e.offset;
    a.parts.push_back(p);
  }
  a.data.insert(a.data.end(), bytes.begin(), bytes.end());
  a.entries.push_back(e);
  a.Recount();
  a.header.indexOffset = 2048 + uint32_t(a.data.size());
}

RawArchiveBuilder& RawArchiveBuilder::Stored(const std::string& name, const std::string& content) {
  return Add(1, name, content, content, {}), *this;
}

RawArchiveBuilder& RawArchiveBuilder::Compressed(const std::string& name,
                                                 const std::string& content) {
  std::string bytes;
  std::vector<RawPart> parts;
  for (size_t at = 0; at < content.size(); at += kBlock) {
    const std::string packed = Deflated(content.substr(at, kBlock));
    parts.push_back({uint32_t(bytes.size()), uint32_t(packed.size()),
                     uint32_t(std::min<size_t>(kBlock, content.size() - at))});
    bytes += packed;
  }
  return Add(3, name, content, bytes, parts), *this;
}

RawArchiveBuilder& RawArchiveBuilder::Removed(uint32_t size) {
  return Add(0, "", "", std::string(size, '\xEE'), {}), *this;
}

// One read of the file's size; empty when it is no regular file or cannot be read.
std::vector<unsigned char> ReadWholeFile(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return {};
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<unsigned char> bytes(in ? size_t(in.tellg()) : 0);
  in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

void WriteWholeFile(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void WriteSparse(const std::string& path, RawArchive archive) {
  archive.data.clear();
  const std::vector<unsigned char> bytes = archive.Bytes();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), 2048)
      .seekp(archive.header.indexOffset)
      .write(reinterpret_cast<const char*>(bytes.data()) + 2048, std::streamsize(bytes.size() - 2048));
}

uint32_t Adler32Of(const std::string& content) {
  return uint32_t(adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(content.data()),
                          uInt(content.size())));
}

std::string Deflated(const std::string& bytes) {
  uLongf length = compressBound(uLong(bytes.size()));
  std::string packed(length, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                reinterpret_cast<const Bytef*>(bytes.data()), uLong(bytes.size()), 6) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  return packed.substr(0, length);
}

void ReplacePart(RawArchive& a, size_t k, const std::string& bytes) {
  RawPart& part = a.parts[k];
  const uint32_t end = part.offset + part.storedSize, grown = uint32_t(bytes.size()) - part.storedSize;
  const auto at = a.data.begin() + (part.offset - 2048);
  a.data.insert(a.data.erase(at, at + part.storedSize), bytes.begin(), bytes.end());
  part.storedSize = uint32_t(bytes.size());
  for (RawEntry& e : a.entries) {
    e.storedSize += e.firstPart <= k && k < e.firstPart + e.numParts ? grown : 0;
    e.offset += e.offset >= end ? grown : 0;  // sizes wrap modulo 2^32 when the part shrinks
  }
  for (RawPart& p : a.parts) p.offset += p.offset >= end ? grown : 0;
  a.header.indexOffset += grown;
}

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
