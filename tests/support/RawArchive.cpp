// Byte-level writer and reader of archive files for tests.
#include "support/RawArchive.h"

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr uint32_t kBlock = 262144;

void Put(std::vector<unsigned char>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

uint32_t Get(const std::vector<unsigned char>& in, size_t at) {
  return uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 |
         uint32_t(in[at + 3]) << 24;
}

}  // namespace

std::vector<unsigned char> RawArchive::Bytes() const {
  std::vector<unsigned char> out;
  out.insert(out.end(), header.magic.begin(), header.magic.end());
  for (uint32_t v : {header.version, header.numEntries, header.numParts, header.partTableSize,
                     header.nameTableSize, header.indexOffset}) {
    Put(out, v);
  }
  out.resize(2048, 0);
  out.insert(out.end(), data.begin(), data.end());
  for (const RawPart& p : parts) {
    for (uint32_t v : {p.offset, p.storedSize, p.realSize}) Put(out, v);
  }
  out.insert(out.end(), nameTable.begin(), nameTable.end());
  for (const RawEntry& e : entries) {
    for (uint32_t v : {e.flags, e.offset, e.storedSize, e.realSize, e.checksum, e.fileTimeLow,
                       e.fileTimeHigh, e.numParts, e.firstPart, e.nameLength, e.nameOffset}) {
      Put(out, v);
    }
  }
  return out;
}

bool RawArchive::Parse(const std::vector<unsigned char>& bytes, RawArchive& out) {
  if (bytes.size() < 2048) return false;
  out = RawArchive{};
  out.header.magic.assign(bytes.begin(), bytes.begin() + 4);
  out.header.version = Get(bytes, 4);
  out.header.numEntries = Get(bytes, 8);
  out.header.numParts = Get(bytes, 12);
  out.header.partTableSize = Get(bytes, 16);
  out.header.nameTableSize = Get(bytes, 20);
  out.header.indexOffset = Get(bytes, 24);
  const uint64_t end = uint64_t(out.header.indexOffset) + 12ull * out.header.numParts +
                       out.header.nameTableSize + 44ull * out.header.numEntries;
  if (end != bytes.size() || out.header.indexOffset < 2048) return false;
  out.data.assign(bytes.begin() + 2048, bytes.begin() + out.header.indexOffset);
  size_t at = out.header.indexOffset;
  for (uint32_t k = 0; k < out.header.numParts; ++k, at += 12) {
    out.parts.push_back({Get(bytes, at), Get(bytes, at + 4), Get(bytes, at + 8)});
  }
  out.nameTable.assign(bytes.begin() + static_cast<long>(at),
                       bytes.begin() + static_cast<long>(at + out.header.nameTableSize));
  at += out.header.nameTableSize;
  for (uint32_t i = 0; i < out.header.numEntries; ++i, at += 44) {
    RawEntry e;
    uint32_t* fields[] = {&e.flags,       &e.offset,   &e.storedSize, &e.realSize,
                          &e.checksum,    &e.fileTimeLow, &e.fileTimeHigh, &e.numParts,
                          &e.firstPart,   &e.nameLength, &e.nameOffset};
    for (int f = 0; f < 11; ++f) *fields[f] = Get(bytes, at + 4 * static_cast<size_t>(f));
    out.entries.push_back(e);
  }
  return true;
}

void RawArchiveBuilder::Add(RawEntry entry, const std::string& name,
                            const std::vector<unsigned char>& bytes,
                            const std::vector<RawPart>& parts) {
  RawArchive& a = archive_;
  entry.offset = 2048 + static_cast<uint32_t>(a.data.size());
  entry.storedSize = static_cast<uint32_t>(bytes.size());
  entry.firstPart = a.header.numParts;
  entry.numParts = static_cast<uint32_t>(parts.size());
  entry.nameOffset = a.header.nameTableSize;
  if (entry.flags != 0) {
    entry.nameLength = static_cast<uint32_t>(name.size());
    a.nameTable += name;
    a.nameTable += '\0';
  }
  for (RawPart p : parts) {
    p.offset += entry.offset;
    a.parts.push_back(p);
  }
  a.data.insert(a.data.end(), bytes.begin(), bytes.end());
  a.entries.push_back(entry);
  a.header.numEntries = static_cast<uint32_t>(a.entries.size());
  a.header.numParts = static_cast<uint32_t>(a.parts.size());
  a.header.partTableSize = a.header.numParts * 12;
  a.header.nameTableSize = static_cast<uint32_t>(a.nameTable.size());
  a.header.indexOffset = 2048 + static_cast<uint32_t>(a.data.size());
}

RawArchiveBuilder& RawArchiveBuilder::Stored(const std::string& name, const std::string& content) {
  RawEntry e;
  e.flags = 1;
  e.realSize = static_cast<uint32_t>(content.size());
  e.checksum = Adler32Of(content);
  Add(e, name, std::vector<unsigned char>(content.begin(), content.end()), {});
  return *this;
}

RawArchiveBuilder& RawArchiveBuilder::Compressed(const std::string& name,
                                                 const std::string& content) {
  RawEntry e;
  e.flags = 3;
  e.realSize = static_cast<uint32_t>(content.size());
  e.checksum = Adler32Of(content);
  std::vector<unsigned char> bytes;
  std::vector<RawPart> parts;
  for (size_t at = 0; at < content.size(); at += kBlock) {
    const size_t n = std::min<size_t>(kBlock, content.size() - at);
    std::vector<unsigned char> out(compressBound(n));
    uLongf outLength = out.size();
    if (compress2(out.data(), &outLength, reinterpret_cast<const Bytef*>(content.data() + at), n,
                  6) != Z_OK) {
      throw std::runtime_error("compress2 failed");
    }
    parts.push_back({static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(outLength),
                     static_cast<uint32_t>(n)});
    bytes.insert(bytes.end(), out.begin(), out.begin() + static_cast<long>(outLength));
  }
  Add(e, name, bytes, parts);
  return *this;
}

RawArchiveBuilder& RawArchiveBuilder::Removed(uint32_t size) {
  Add(RawEntry{}, "", std::vector<unsigned char>(size, 0xEE), {});
  return *this;
}

std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t Adler32Of(const std::string& content) {
  return static_cast<uint32_t>(adler32(adler32(0, nullptr, 0),
                                       reinterpret_cast<const Bytef*>(content.data()),
                                       static_cast<uInt>(content.size())));
}

}  // namespace testing_support
