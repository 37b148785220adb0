// Byte-level writer and reader of archive files for tests, and the checks of
// what the class wrote.
#include "support/RawArchive.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "archive/Archive.h"
#include "fuzz/MemoryFileSystem.h"

namespace testing_support {

namespace {

using GAME::format::LoadU32;
using GAME::format::StoreU32;

// The header's fields after the magic, in file order.
std::vector<uint32_t*> FieldsOf(RawHeader& h) {
  return {&h.version, &h.numEntries, &h.numParts, &h.partTableSize, &h.nameTableSize, &h.indexOffset};
}

// Runs f(opened, archive) on the file as the class opens it for reading, from memory.
template <class F>
auto WithOpened(const RawArchive& a, F f) {
  fuzzing::MemoryFileSystem fs;
  fs.SetFile("/a.arc", a.Bytes());
  GAME::Archive archive(fs);
  const bool opened = archive.Open("/a.arc", GAME::Archive::ModeRead);
  return f(opened, archive);
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
  const RawEntry e{flags, 2048 + uint32_t(a.data.size()), uint32_t(bytes.size()),
                   uint32_t(content.size()), flags != 0 ? Adler32Of(content) : 0, 0, 0,
                   uint32_t(parts.size()), uint32_t(a.parts.size()), uint32_t(name.size()),
                   uint32_t(a.nameTable.size())};
  if (flags != 0) a.nameTable.append(name).push_back('\0');
  for (const RawPart& p : parts) a.parts.push_back({p.offset + e.offset, p.storedSize, p.realSize});
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
  // The class refuses at Open every file that breaks a rule of the layout
  // (the index tests give each rule a case): left to check are the rules it
  // lets pass, and each entry's content.
  return WithOpened(a, [&](bool opened, const GAME::Archive& archive) -> std::string {
    if (!opened) return "refused: " + archive.LastError().detail;
    uint64_t dataEnd = 2048;
    uint32_t parts = 0, names = 0;
    for (size_t i = 0; i < a.entries.size(); ++i) {
      const RawEntry& e = a.entries[i];
      const uint32_t unset =
          e.realSize | e.checksum | e.fileTimeLow | e.fileTimeHigh | e.nameLength | e.numParts;
      if (e.firstPart != parts || e.nameOffset != names ||
          (e.flags == 0 ? unset != 0 : !archive.VerifyFile(int(i), nullptr))) {
        return "entry " + std::to_string(i);
      }
      parts += e.numParts;
      names += e.flags == 0 ? 0 : e.nameLength + 1;
      dataEnd = uint64_t(e.offset) + e.storedSize;
    }
    if (parts != a.header.numParts || names != a.header.nameTableSize) return "table sizes";
    return dataEnd == a.header.indexOffset ? "" : "index does not follow the last region";
  });
}

std::string ContentOf(const RawArchive& a, size_t index) {
  return WithOpened(a, [&](bool opened, const GAME::Archive& archive) {
    std::string content(index < a.entries.size() ? a.entries[index].realSize : 0, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(content.data());
    const bool read = opened && archive.VerifyFile(int(index), nullptr) &&
                      archive.ExtractFileToMemory(int(index), bytes, unsigned(content.size()));
    return read ? content : "<not readable>";
  });
}

}  // namespace testing_support
