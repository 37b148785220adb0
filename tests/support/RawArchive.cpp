// Byte-level writer and reader of archive files for tests.
#include "support/RawArchive.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr uint32_t kBlock = 262144;

using Fields = std::vector<uint32_t*>;
// Each record's fields in file order.
Fields FieldsOf(RawHeader& h) {
  return {&h.version, &h.numEntries, &h.numParts, &h.partTableSize, &h.nameTableSize, &h.indexOffset};
}
Fields FieldsOf(RawPart& p) { return {&p.offset, &p.storedSize, &p.realSize}; }
Fields FieldsOf(RawEntry& e) {
  return {&e.flags,        &e.offset,   &e.storedSize, &e.realSize,   &e.checksum, &e.fileTimeLow,
          &e.fileTimeHigh, &e.numParts, &e.firstPart,  &e.nameLength, &e.nameOffset};
}

void Put(std::vector<unsigned char>& out, const Fields& fields) {
  for (const uint32_t* v : fields) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(*v >> (8 * i)));
  }
}

void Get(const std::vector<unsigned char>& in, size_t& at, const Fields& fields) {
  for (uint32_t* v : fields) {
    *v = uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 |
         uint32_t(in[at + 3]) << 24;
    at += 4;
  }
}

}  // namespace

void RawArchive::Recount() {
  header.numEntries = uint32_t(entries.size());
  header.numParts = uint32_t(parts.size());
  header.partTableSize = header.numParts * 12;
  header.nameTableSize = uint32_t(nameTable.size());
}

std::vector<unsigned char> RawArchive::Bytes() const {
  RawArchive a = *this;  // FieldsOf points into it
  std::vector<unsigned char> out(a.header.magic.begin(), a.header.magic.end());
  Put(out, FieldsOf(a.header));
  out.resize(2048, 0);
  out.insert(out.end(), data.begin(), data.end());
  for (RawPart& p : a.parts) Put(out, FieldsOf(p));
  out.insert(out.end(), nameTable.begin(), nameTable.end());
  for (RawEntry& e : a.entries) Put(out, FieldsOf(e));
  return out;
}

bool RawArchive::Parse(const std::vector<unsigned char>& bytes, RawArchive& out) {
  if (bytes.size() < 2048) return false;
  out = RawArchive{};
  RawHeader& h = out.header;
  h.magic.assign(bytes.begin(), bytes.begin() + 4);
  size_t at = 4;
  Get(bytes, at, FieldsOf(h));
  const uint64_t end =
      uint64_t(h.indexOffset) + 12ull * h.numParts + h.nameTableSize + 44ull * h.numEntries;
  if (end != bytes.size() || h.indexOffset < 2048) return false;
  out.data.assign(bytes.begin() + 2048, bytes.begin() + h.indexOffset);
  at = h.indexOffset;
  out.parts.resize(h.numParts);
  for (RawPart& p : out.parts) Get(bytes, at, FieldsOf(p));
  out.nameTable.assign(bytes.begin() + long(at), bytes.begin() + long(at + h.nameTableSize));
  at += h.nameTableSize;
  out.entries.resize(h.numEntries);
  for (RawEntry& e : out.entries) Get(bytes, at, FieldsOf(e));
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
  Add(1, name, content, content, {});
  return *this;
}

RawArchiveBuilder& RawArchiveBuilder::Compressed(const std::string& name,
                                                 const std::string& content) {
  std::string bytes;
  std::vector<RawPart> parts;
  for (size_t at = 0; at < content.size(); at += kBlock) {
    const size_t n = std::min<size_t>(kBlock, content.size() - at);
    std::string packed(compressBound(n), '\0');
    uLongf length = packed.size();
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &length,
                  reinterpret_cast<const Bytef*>(content.data() + at), n, 6) != Z_OK) {
      throw std::runtime_error("compress2 failed");
    }
    parts.push_back({uint32_t(bytes.size()), uint32_t(length), uint32_t(n)});
    bytes.append(packed, 0, length);
  }
  Add(3, name, content, bytes, parts);
  return *this;
}

RawArchiveBuilder& RawArchiveBuilder::Removed(uint32_t size) {
  Add(0, "", "", std::string(size, '\xEE'), {});
  return *this;
}

// One read of the file's size; empty when it cannot be read.
std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<unsigned char> bytes(in ? size_t(in.tellg()) : 0);
  in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

void WriteWholeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
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

}  // namespace testing_support
