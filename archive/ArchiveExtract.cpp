// Extracting stored files to disk: the destination path, the directories it
// needs, and the writers that copy or inflate an entry's content into it
// while checking it against the entry's Adler-32 (a large compressed entry
// with its parts inflated on several threads).
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "archive/Archive.h"
#include "archive/ErrorSlots.h"
#include "archive/Format.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

constexpr uint32_t kCopyChunk = 1u << 20;  // stored files are copied this much at a time

// Calls visit for every text between '/' separators, empty ones included.
template <class Visit>
void ForEachComponent(std::string_view path, Visit visit) {
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('/', start);
    visit(path.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return;
    start = end + 1;
  }
}

std::string WithSlashes(std::string_view text) {
  std::string out(text);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

// The components of a stored name that stay inside the destination: every
// one but empty and "." ones, the last an ordinary file name. Nothing when a
// component is ".." or no file name ends it.
std::optional<std::vector<std::string>> NameBelow(const std::string& name) {
  std::vector<std::string> components;
  bool inside = true;
  std::string_view last;
  ForEachComponent(name, [&](std::string_view component) {
    if (component == "..") inside = false;
    if (!component.empty() && component != ".") components.emplace_back(component);
    last = component;
  });
  if (!inside || last.empty() || last == ".") return std::nullopt;
  return components;
}

// The directory as typed (backslashes taken as '/'), with a '/' at its end;
// none means the current one.
std::string DestinationPrefix(const char* directory) {
  if (directory == nullptr || directory[0] == '\0') return std::string();
  std::string path = WithSlashes(directory);
  if (path.back() != '/') path += '/';
  return path;
}

bool IsDirectory(const platform::FileSystem& fs, const std::string& path) {
  const platform::Attributes attributes = fs.GetAttributes(path);
  return attributes.exists && attributes.isDirectory;
}

// Creates every directory along path, from its first component on (from the
// root when it starts with '/'). True when the directory exists afterwards.
bool CreateDirectoryPath(const platform::FileSystem& fs, const std::string& path) {
  if (IsDirectory(fs, path)) return true;
  std::string prefix = path.front() == '/' ? "/" : "";
  ForEachComponent(path, [&](std::string_view component) {
    if (component.empty()) return;
    prefix += component;
    fs.CreateDirectory(prefix);  // one that exists already is passed over
    prefix += '/';
  });
  return IsDirectory(fs, path);
}

// Where an entry lands: the destination as typed, the directories below it
// and the file, each a whole path.
struct Landing {
  std::string destination;        // empty: the current directory
  std::vector<std::string> below;  // directories under it, outermost first
  std::string file;
};

std::optional<Landing> LandingOf(const char* directory, const std::string& name) {
  const std::optional<std::vector<std::string>> components = NameBelow(WithSlashes(name));
  if (!components) return std::nullopt;
  Landing landing;
  std::string path = DestinationPrefix(directory);
  if (!path.empty()) landing.destination = path.size() > 1 ? path.substr(0, path.size() - 1) : path;
  for (size_t i = 0; i < components->size(); ++i) {
    path += (*components)[i];
    if (i + 1 == components->size()) break;
    landing.below.push_back(path);
    path += '/';
  }
  landing.file = path;
  return landing;
}

// The first path of the landing below the destination that is a symbolic
// link; empty when none is.
std::string FirstLink(const platform::FileSystem& fs, const Landing& landing) {
  for (const std::string& directory : landing.below) {
    const platform::Attributes attributes = fs.GetAttributes(directory);
    if (attributes.isLink) return directory;
    if (!attributes.exists) return std::string();  // nothing further down exists
  }
  return fs.GetAttributes(landing.file).isLink ? landing.file : std::string();
}

// Creates the destination as typed, then the directories below it, none of
// which may be a symbolic link. Empty when all of them are directories, else
// the first that is not.
std::string PrepareDirectories(const platform::FileSystem& fs, const Landing& landing) {
  if (!landing.destination.empty() && !CreateDirectoryPath(fs, landing.destination)) {
    return landing.destination;
  }
  for (const std::string& directory : landing.below) {
    platform::Attributes attributes = fs.GetAttributes(directory);
    if (attributes.isLink) return directory;
    if (!attributes.exists) {
      fs.CreateDirectory(directory);  // made meanwhile by another thread: passed over
      attributes = fs.GetAttributes(directory);
    }
    if (attributes.isLink || !attributes.exists || !attributes.isDirectory) return directory;
  }
  return std::string();
}

// A new file beside target, made exclusively: the content is written there
// and moved onto target once verified.
constexpr int kTemporaryTries = 16;
std::optional<std::string> CreateTemporary(const platform::FileSystem& fs,
                                           const std::string& target, int index,
                                           platform::File& file) {
  for (int attempt = 0; attempt < kTemporaryTries; ++attempt) {
    std::string path = target + ".korvat-" + std::to_string(index) + "-" + std::to_string(attempt);
    file = platform::File(fs, fs.Open(path, platform::Access::ReadWrite,
                                      platform::Creation::CreateNew, platform::Lock::None));
    if (file.IsOpen()) return path;
    // Only a name already taken is worth another try.
    if (fs.LastError().failure != platform::Failure::Exists) break;
  }
  return std::nullopt;
}

// How writing an entry's content ended.
enum class Written { Whole, SourceFailed, WriteFailed, Mismatch };

// Produces piece k of an entry's content, in order; false when it cannot be
// read or inflated.
using ChunkSource = std::function<bool(uint32_t k, std::span<const unsigned char>& chunk)>;

// Writes pieces 0..count-1 one after another into target. Whole when every
// write succeeded and the bytes add up to realSize with the given checksum.
Written WriteChunks(const platform::FileSystem& fs, platform::FileHandle target, uint32_t count,
                 const ChunkSource& source, uint32_t realSize, uint32_t checksum) {
  uint64_t written = 0;
  uLong adler = adler32(0, nullptr, 0);
  for (uint32_t k = 0; k < count; ++k) {
    std::span<const unsigned char> chunk;
    if (!source(k, chunk)) return Written::SourceFailed;
    const platform::IoResult wrote = fs.WriteAt(target, written, chunk.data(), chunk.size());
    if (!wrote.ok || wrote.count != chunk.size()) return Written::WriteFailed;
    adler = adler32(adler, chunk.data(), static_cast<uInt>(chunk.size()));
    written += chunk.size();
  }
  return written == realSize && adler == checksum ? Written::Whole : Written::Mismatch;
}

// Loads part k of the entry being extracted into a buffer.
using PartLoader = std::function<bool(uint32_t k, Archive::BlockBuffer& buffer)>;

// The areas of one BlockBuffer that can hold any part.
struct PartArea {
  std::unique_ptr<unsigned char[]> bytes = std::make_unique_for_overwrite<unsigned char[]>(
      size_t(Archive::MaxPartSize()) + format::kBlockSize);
  Archive::BlockBuffer buffer{Archive::kNoPart, bytes.get(), bytes.get() + Archive::MaxPartSize()};
};

// Inflates an entry's parts on up to workers threads, one part in hand per
// thread, each written at its place: the sum of the sizes of the parts
// before it. Ends as WriteChunks does: the same bytes on disk and the same
// result. When a part fails, the file is cut after the parts before it, as
// the sequential writer would have left it.
Written WritePartsInParallel(const platform::FileSystem& fs, platform::FileHandle target,
                          const Archive::FileEntry& entry, const PartLoader& loadPart,
                          unsigned int workers) {
  const uint32_t count = entry.numParts;
  std::vector<uint64_t> place(size_t(count) + 1, 0);
  for (uint32_t k = 0; k < count; ++k) place[k + 1] = place[k] + entry.parts[k].realSize;
  std::vector<uLong> partAdler(count);
  std::atomic<uint32_t> next{0};
  std::atomic<uint32_t> firstFailed{count};
  std::atomic<bool> writeFailed{false};
  std::mutex errorLock;
  std::exception_ptr error;

  const auto fail = [&](uint32_t k) {
    uint32_t seen = firstFailed.load();
    while (k < seen && !firstFailed.compare_exchange_weak(seen, k)) {
    }
  };
  const auto work = [&] {
    try {
      PartArea area;
      for (uint32_t k = next++; k < count && firstFailed.load() == count; k = next++) {
        const uint32_t size = entry.parts[k].realSize;
        if (!loadPart(k, area.buffer)) {
          fail(k);
          break;
        }
        const platform::IoResult wrote =
            fs.WriteAt(target, place[k], area.buffer.uncompressedData, size);
        if (!wrote.ok || wrote.count != size) {
          writeFailed = true;
          fail(k);
          break;
        }
        partAdler[k] = adler32(adler32(0, nullptr, 0), area.buffer.uncompressedData, size);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> hold(errorLock);
      if (!error) error = std::current_exception();
      fail(0);
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (unsigned int w = 1; w < std::min<unsigned int>(workers, count); ++w) {
      helpers.emplace_back(work);
    }
    work();
  }
  if (error) std::rethrow_exception(error);
  if (const uint32_t failed = firstFailed.load(); failed < count) {
    // Parts after the failed one may be written already; what lies before
    // it is whole, since every part taken before it was finished.
    static_cast<void>(fs.Truncate(target, place[failed]));  // a failure either way
    return writeFailed ? Written::WriteFailed : Written::SourceFailed;
  }
  uLong adler = adler32(0, nullptr, 0);
  for (uint32_t k = 0; k < count; ++k) {
    adler = adler32_combine(adler, partAdler[k], static_cast<z_off_t>(entry.parts[k].realSize));
  }
  return place[count] == entry.realSize && adler == entry.checksum ? Written::Whole
                                                                    : Written::Mismatch;
}

}  // namespace

bool Archive::ExtractFileToDisk(int index, const char* directory) const {
  return ExtractFileParallel(index, directory, 1);
}

std::string Archive::ExtractionLink(int index, const char* directory) const {
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) return std::string();
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  if (!(entry.flags & format::kFlagActive) || entry.name == nullptr) return std::string();
  const std::optional<Landing> landing =
      LandingOf(directory, std::string(entry.name, entry.nameLength));
  return landing ? FirstLink(*fs, *landing) : std::string();
}

bool Archive::ExtractFileParallel(int index, const char* directory, unsigned int workers) const {
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) {
    return Fail(ErrorCode::BadArgument, "no such entry");
  }
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  if (!(entry.flags & format::kFlagActive) || entry.name == nullptr) {
    return Fail(ErrorCode::BadArgument, "a removed entry");
  }
  if (fileHandle == platform::InvalidHandle()) return Fail(ErrorCode::NotOpen, "archive closed");
  const std::optional<Landing> landing =
      LandingOf(directory, std::string(entry.name, entry.nameLength));
  if (!landing) return Fail(ErrorCode::OutsideDirectory, std::string(entry.name));
  if (const std::string blocked = PrepareDirectories(*fs, *landing); !blocked.empty()) {
    const platform::Attributes attributes = fs->GetAttributes(blocked);
    if (attributes.exists && !attributes.isDirectory) {
      return Fail(ErrorCode::IO, blocked + " is not a directory");
    }
    return FailSystem(ErrorCode::IO, "making the directory " + blocked);
  }
  platform::Attributes existing = fs->GetAttributes(landing->file);
  if (!existing.isLink && !existing.exists) {
    // Nothing there: the content goes to a file with no name, which gets the
    // target's once whole and verified (and vanishes otherwise).
    platform::File unnamed(*fs, fs->CreateUnnamed(landing->file));
    if (unnamed.IsOpen()) {
      if (!WriteExtracted(index, unnamed.Handle(), workers)) return false;
      if (fs->Publish(unnamed.Handle(), landing->file)) return true;
      // Taken meanwhile, or no name can be given that way: as below.
      existing = fs->GetAttributes(landing->file);
    }
  }
  if (existing.isLink) return Fail(ErrorCode::BadArgument, landing->file + " is a symbolic link");
  if (existing.exists && existing.isDirectory) return Fail(ErrorCode::IsDirectory, landing->file);
  // A file already there is held under an exclusive lock until it is
  // replaced, so the archive itself (locked while open) is never a target.
  platform::File held;
  if (existing.exists) {
    held = platform::File(*fs, fs->Open(landing->file, platform::Access::ReadWrite,
                                        platform::Creation::OpenExisting,
                                        platform::Lock::Exclusive));
    if (!held.IsOpen()) return FailSystem(ErrorCode::IO, landing->file);
  }
  platform::File target;
  const std::optional<std::string> temporary = CreateTemporary(*fs, landing->file, index, target);
  if (!temporary) return FailSystem(ErrorCode::IO, "creating a file beside " + landing->file);
  // Removed unless it became the target.
  struct Discard {
    const platform::FileSystem& fs;
    const std::string& path;
    platform::File& file;
    bool keep = false;
    ~Discard() {
      file.Reset();
      if (!keep) static_cast<void>(fs.RemoveFile(path));  // a leftover stays under its own name
    }
  } discard{*fs, *temporary, target};
  if (!WriteExtracted(index, target.Handle(), workers)) return false;
  // A file that replaces another is on disk before the old one goes; a new
  // name loses nothing if a crash leaves it short.
  if (held.IsOpen() && !fs->Flush(target.Handle())) {
    return FailSystem(ErrorCode::IO, "writing " + *temporary);
  }
  target.Reset();
  held.Reset();  // Windows renames over no file that is open
  discard.keep = fs->Rename(*temporary, landing->file);
  return discard.keep || FailSystem(ErrorCode::IO, "renaming " + *temporary);
}

bool Archive::WriteExtracted(int index, void* target, unsigned int workers) const {
  const FileEntry& entry = entries[static_cast<size_t>(index)];
  // The sequential writers' outcome as a result; a source's failure was
  // recorded where it happened.
  const auto extracted = [this](Written outcome) {
    switch (outcome) {
      case Written::Whole: return true;
      case Written::SourceFailed: return false;
      case Written::WriteFailed: return FailSystem(ErrorCode::IO, "writing the file");
      case Written::Mismatch: break;
    }
    return Fail(ErrorCode::Damaged, "checksum mismatch");
  };
  if (entry.flags & format::kFlagCompressed) {
    // The failure of the first part that failed, whichever thread met it.
    std::mutex failureLock;
    std::optional<std::pair<uint32_t, Error>> partFailure;
    const PartLoader loadPart = [&](uint32_t k, BlockBuffer& buffer) {
      if (LoadPart(index, k, buffer)) return true;
      const std::lock_guard<std::mutex> hold(failureLock);
      if (!partFailure || k < partFailure->first) partFailure.emplace(k, LastError());
      return false;
    };
    if (workers > 1 && entry.numParts > 1) {
      const Written outcome = WritePartsInParallel(*fs, target, entry, loadPart, workers);
      if (outcome == Written::SourceFailed) {
        if (partFailure) errors->Set(std::move(partFailure->second));
        return false;
      }
      if (outcome == Written::WriteFailed) return Fail(ErrorCode::IO, "writing the file");
      return outcome == Written::Whole || Fail(ErrorCode::Damaged, "checksum mismatch");
    }
    // One part at a time, whatever the size of the file.
    PartArea area;
    const ChunkSource inflatePart = [&](uint32_t k, std::span<const unsigned char>& chunk) {
      if (!loadPart(k, area.buffer)) return false;
      chunk = {area.buffer.uncompressedData, entry.parts[k].realSize};
      return true;
    };
    return extracted(WriteChunks(*fs, target, entry.numParts, inflatePart, entry.realSize,
                                 entry.checksum));
  }

  const uint32_t chunks = entry.realSize / kCopyChunk + (entry.realSize % kCopyChunk != 0);
  auto area = std::make_unique_for_overwrite<unsigned char[]>(std::min(entry.realSize, kCopyChunk));
  const ChunkSource copyChunk = [&](uint32_t k, std::span<const unsigned char>& chunk) {
    const uint32_t at = k * kCopyChunk;
    const uint32_t n = std::min(kCopyChunk, entry.realSize - at);
    if (!ReadStored(uint64_t(entry.offset) + at, area.get(), n)) return false;
    chunk = {area.get(), n};
    return true;
  };
  return extracted(WriteChunks(*fs, target, chunks, copyChunk, entry.realSize, entry.checksum));
}

bool Archive::ExtractAll(const char* directory, ProgressCallback callback) const {
  bool allExtracted = true;
  const auto count = static_cast<unsigned int>(entries.size());
  for (unsigned int i = 0; i < count; ++i) {
    if (callback != nullptr) callback(entries[i], i, count);
    // A removed entry has nothing to extract and is no failure.
    if (!(entries[i].flags & format::kFlagActive)) continue;
    if (!ExtractFileToDisk(static_cast<int>(i), directory)) allExtracted = false;
  }
  return allExtracted;
}

}  // namespace GAME
