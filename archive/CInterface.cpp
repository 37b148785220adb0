// The C interface of korvat/korvat.h: opaque handles over GAME::Archive and
// Archive::Reader, results as numbers with a message per handle and thread,
// and no exception crossing into C.
#include "archive/korvat.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "archive/Format.h"

using GAME::Archive;

namespace {

// The outcome of one call: a result and what failed.
struct Outcome {
  int result = KORVAT_OK;
  std::string message;
};

Outcome Ok() { return {}; }
Outcome Fail(int result, std::string message) { return {result, std::move(message)}; }

std::string Quoted(const char* text) { return std::string("\"") + (text ? text : "") + "\""; }

// Each thread's last outcome on one handle: threads that read one archive
// at once each see their own. A thread that never failed has no slot.
class Outcomes {
 public:
  void Record(Outcome outcome) {
    const std::lock_guard<std::mutex> hold(lock_);
    const auto slot = slots_.find(std::this_thread::get_id());
    if (slot != slots_.end()) {
      slot->second = std::move(outcome);
    } else if (outcome.result != KORVAT_OK) {
      slots_.emplace(std::this_thread::get_id(), std::move(outcome));
    }
  }
  const Outcome& Last() {
    static const Outcome kNone;
    const std::lock_guard<std::mutex> hold(lock_);
    const auto slot = slots_.find(std::this_thread::get_id());
    return slot != slots_.end() ? slot->second : kNone;
  }

 private:
  std::mutex lock_;
  std::map<std::thread::id, Outcome> slots_;  // nodes stay put: messages stay valid
};

// Runs work (returning an Outcome), turning exceptions into results.
template <class Work>
Outcome Guarded(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return Fail(KORVAT_ERROR_NO_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return Fail(KORVAT_ERROR_IO, e.what());
  } catch (...) {
    return Fail(KORVAT_ERROR_IO, "unexpected failure");
  }
}

int ResultOf(GAME::ErrorCode code) {
  using GAME::ErrorCode;
  switch (code) {
    case ErrorCode::None: return KORVAT_ERROR_IO;  // a failure that left no reason
    case ErrorCode::NotFound: return KORVAT_ERROR_NOT_FOUND;
    case ErrorCode::Locked: return KORVAT_ERROR_LOCKED;
    case ErrorCode::NotAnArchive: return KORVAT_ERROR_NOT_AN_ARCHIVE;
    case ErrorCode::Damaged: return KORVAT_ERROR_DAMAGED;
    case ErrorCode::NameTaken: return KORVAT_ERROR_NAME_TAKEN;
    case ErrorCode::BadLevel: return KORVAT_ERROR_BAD_LEVEL;
    case ErrorCode::TooLarge: return KORVAT_ERROR_TOO_LARGE;
    case ErrorCode::IO: return KORVAT_ERROR_IO;
    case ErrorCode::ReadOnly: return KORVAT_ERROR_READ_ONLY;
    case ErrorCode::PermissionDenied: return KORVAT_ERROR_PERMISSION_DENIED;
    case ErrorCode::DiskFull: return KORVAT_ERROR_DISK_FULL;
    case ErrorCode::JournalInTheWay: return KORVAT_ERROR_JOURNAL;
    case ErrorCode::BadArgument: return KORVAT_ERROR_INVALID_ARGUMENT;
    case ErrorCode::NotOpen: return KORVAT_ERROR_WRONG_MODE;
    case ErrorCode::IsDirectory: return KORVAT_ERROR_IS_DIRECTORY;
    case ErrorCode::NotAFile: return KORVAT_ERROR_NOT_A_FILE;
    case ErrorCode::OutsideDirectory: return KORVAT_ERROR_OUTSIDE_DIRECTORY;
  }
  return KORVAT_ERROR_IO;
}

// The calling thread's last failure on archive, after what was being done.
Outcome FromArchive(const Archive& archive, const std::string& doing) {
  const GAME::Error error = archive.LastError();
  return Fail(ResultOf(error.code), doing + ": " + GAME::ErrorMessage(error));
}

bool Active(const Archive::FileEntry* entry) {
  return entry != nullptr && (entry->flags & GAME::format::kFlagActive);
}

}  // namespace

struct korvat_archive {
  ~korvat_archive();

  Archive archive;
  Outcomes outcomes;
  std::string path;
  // The readers open over the archive: freeing the handle closes them, so
  // that a reader freed later (a garbage collector's order) is harmless.
  std::mutex readersLock;
  std::set<korvat_reader*> readers;

  // Runs work and records its outcome for the calling thread.
  template <class Work>
  int Run(Work&& work) {
    Outcome outcome = Guarded(work);
    const int result = outcome.result;
    outcomes.Record(std::move(outcome));
    return result;
  }
  bool Reading() const { return archive.ArchiveFileMode() != Archive::ModeNone; }
  bool Writing() const { return archive.ArchiveFileMode() == Archive::ModeWrite; }
  Outcome NotOpen() const { return Fail(KORVAT_ERROR_WRONG_MODE, "no archive is open"); }
  Outcome NotWritable() const {
    return Fail(KORVAT_ERROR_WRONG_MODE, Reading() ? path + " is open for reading only"
                                                   : std::string("no archive is open"));
  }
  // The active entry index, or why there is none.
  Outcome ActiveEntry(int32_t index, const Archive::FileEntry*& entry) const {
    if (!Reading()) return NotOpen();
    entry = archive.Entry(index);
    if (!Active(entry)) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no active entry " + std::to_string(index));
    }
    return Ok();
  }
  Outcome Find(const char* name, int& index) const {
    if (!Reading()) return NotOpen();
    if (name == nullptr) return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no name given");
    index = archive.FindFile(name);
    if (index < 0) return Fail(KORVAT_ERROR_NOT_FOUND, "no entry named " + Quoted(name));
    return Ok();
  }
  // Why the data of entry index could not be read.
  Outcome Unreadable(int32_t index) const {
    const Archive::FileEntry* entry = archive.Entry(index);
    return FromArchive(archive, "cannot read " + Quoted(Active(entry) ? entry->name : ""));
  }
};

struct korvat_reader {
  ~korvat_reader() {
    if (owner == nullptr) return;
    const std::lock_guard<std::mutex> hold(owner->readersLock);
    owner->readers.erase(this);
  }

  korvat_archive* owner = nullptr;
  Archive::Reader reader;
  Outcome last;

  template <class Work>
  int Run(Work&& work) {
    last = Guarded(work);
    return last.result;
  }
  std::string Name() const {
    const Archive::FileEntry* entry = owner ? owner->archive.Entry(reader.Index()) : nullptr;
    return Quoted(Active(entry) ? entry->name : "");
  }
};

korvat_archive::~korvat_archive() {
  const std::lock_guard<std::mutex> hold(readersLock);
  for (korvat_reader* reader : readers) {
    reader->reader = Archive::Reader();
    reader->owner = nullptr;
  }
}

namespace {

// Checks shared by both adds; index receives the entry to replace or -1.
Outcome AddAllowed(korvat_archive& handle, const char* name, int level, unsigned flags,
                   int& replaced) {
  if (!handle.Writing()) return handle.NotWritable();
  if (name == nullptr || name[0] == '\0') {
    return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no name given");
  }
  if (level < 0 || level > 9) {
    return Fail(KORVAT_ERROR_BAD_LEVEL,
                "compression level " + std::to_string(level) + " is not from 0 to 9");
  }
  replaced = handle.archive.FindFile(name);
  if (replaced >= 0 && !(flags & KORVAT_ADD_REPLACE)) {
    return Fail(KORVAT_ERROR_NAME_TAKEN, "an entry named " + Quoted(name) + " exists already");
  }
  return Ok();
}

}  // namespace

extern "C" {

const char* korvat_version(void) { return Archive::Version(); }

int korvat_version_number(void) { return KORVAT_VERSION; }

const char* korvat_result_text(int result) {
  switch (result) {
    case KORVAT_OK: return "success";
    case KORVAT_ERROR_NOT_FOUND: return "not found";
    case KORVAT_ERROR_LOCKED: return "locked";
    case KORVAT_ERROR_NOT_AN_ARCHIVE: return "not an archive";
    case KORVAT_ERROR_DAMAGED: return "damaged";
    case KORVAT_ERROR_NAME_TAKEN: return "name taken";
    case KORVAT_ERROR_BAD_LEVEL: return "bad compression level";
    case KORVAT_ERROR_TOO_LARGE: return "over 4 GiB";
    case KORVAT_ERROR_IO: return "I/O error";
    case KORVAT_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case KORVAT_ERROR_WRONG_MODE: return "wrong mode";
    case KORVAT_ERROR_BUFFER_TOO_SMALL: return "buffer too small";
    case KORVAT_ERROR_NO_MEMORY: return "out of memory";
    case KORVAT_ERROR_READ_ONLY: return "read-only";
    case KORVAT_ERROR_PERMISSION_DENIED: return "permission denied";
    case KORVAT_ERROR_DISK_FULL: return "disk full";
    case KORVAT_ERROR_JOURNAL: return "journal in the way";
    case KORVAT_ERROR_IS_DIRECTORY: return "is a directory";
    case KORVAT_ERROR_NOT_A_FILE: return "not a regular file";
    case KORVAT_ERROR_OUTSIDE_DIRECTORY: return "name leaves the directory";
    default: return "unknown result";
  }
}

korvat_archive* korvat_new(void) { return new (std::nothrow) korvat_archive; }

void korvat_free(korvat_archive* archive) { delete archive; }

int korvat_open(korvat_archive* h, const char* path, int mode, unsigned flags,
                unsigned lock_timeout_ms) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    if (path == nullptr || path[0] == '\0') {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no archive path given");
    }
    if (mode != KORVAT_MODE_READ && mode != KORVAT_MODE_WRITE) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "mode " + std::to_string(mode) + " is unknown");
    }
    const auto fileMode = mode == KORVAT_MODE_READ ? Archive::ModeRead : Archive::ModeWrite;
    const unsigned int create = (flags & KORVAT_OPEN_CREATE) ? unsigned(Archive::OpenCreate) : 0u;
    h->path = Quoted(path);
    if (!h->archive.Open(path, fileMode, create, lock_timeout_ms)) {
      return FromArchive(h->archive, "cannot open " + h->path);
    }
    return Ok();
  });
}

int korvat_close(korvat_archive* h) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    if (!h->Reading()) return h->NotOpen();
    if (!h->archive.Close(false)) {
      return FromArchive(h->archive, "cannot save " + h->path +
                                         " (the changes are rolled back at the next open)");
    }
    return Ok();
  });
}

int korvat_last_error(korvat_archive* h) {
  return h == nullptr ? KORVAT_ERROR_INVALID_ARGUMENT : h->outcomes.Last().result;
}

const char* korvat_last_message(korvat_archive* h) {
  return h == nullptr ? "no archive handle" : h->outcomes.Last().message.c_str();
}

int korvat_count(korvat_archive* h, uint32_t* count) {
  if (h == nullptr || count == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    *count = h->archive.GetNumFiles();
    return Ok();
  });
}

int korvat_find(korvat_archive* h, const char* name, int32_t* index) {
  if (h == nullptr || index == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    int found = -1;
    Outcome outcome = h->Find(name, found);
    *index = found;
    return outcome;
  });
}

int korvat_stat(korvat_archive* h, int32_t index, korvat_entry* out) {
  if (h == nullptr || out == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    const Archive::FileEntry* entry = h->archive.Entry(index);
    if (entry == nullptr) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no entry " + std::to_string(index));
    }
    *out = korvat_entry{};
    out->index = index;
    out->flags = entry->flags & (KORVAT_ENTRY_ACTIVE | KORVAT_ENTRY_COMPRESSED);
    out->real_size = entry->realSize;
    out->stored_size = entry->storedSize;
    out->checksum = entry->checksum;
    out->parts = entry->numParts;
    out->file_time = (uint64_t(entry->fileTime.highDateTime) << 32) | entry->fileTime.lowDateTime;
    out->name_length = entry->name != nullptr ? entry->nameLength : 0;
    return Ok();
  });
}

int korvat_name(korvat_archive* h, int32_t index, char* buffer, size_t capacity,
                size_t* length) {
  if (h == nullptr || length == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    const Archive::FileEntry* entry = nullptr;
    if (Outcome o = h->ActiveEntry(index, entry); o.result != KORVAT_OK) return o;
    *length = entry->nameLength;
    if (buffer == nullptr || capacity <= entry->nameLength) {
      return Fail(KORVAT_ERROR_BUFFER_TOO_SMALL,
                  "the name takes " + std::to_string(entry->nameLength + 1) + " bytes");
    }
    std::memcpy(buffer, entry->name, entry->nameLength);
    buffer[entry->nameLength] = '\0';
    return Ok();
  });
}

int korvat_list(korvat_archive* h, const char* directory, int recursive, int32_t* indices,
                size_t capacity, size_t* count) {
  if (h == nullptr || count == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    if (!h->Reading()) return h->NotOpen();
    const std::vector<int> found = h->archive.ActiveFiles(directory, recursive != 0);
    *count = found.size();
    if (found.size() > capacity || (indices == nullptr && !found.empty())) {
      return Fail(KORVAT_ERROR_BUFFER_TOO_SMALL,
                  "the list holds " + std::to_string(found.size()) + " indices");
    }
    std::copy(found.begin(), found.end(), indices);
    return Ok();
  });
}

int korvat_names(korvat_archive* h, const char* directory, int recursive, char* buffer,
                 size_t capacity, size_t* size) {
  if (h == nullptr || size == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    if (!h->Reading()) return h->NotOpen();
    const std::vector<int> found = h->archive.ActiveFiles(directory, recursive != 0);
    size_t needed = 0;
    for (int i : found) needed += h->archive.GetFileEntry(i).nameLength + 1;
    *size = needed;
    if (needed > capacity || (buffer == nullptr && needed != 0)) {
      return Fail(KORVAT_ERROR_BUFFER_TOO_SMALL,
                  "the names take " + std::to_string(needed) + " bytes");
    }
    for (int i : found) {
      const Archive::FileEntry& entry = h->archive.GetFileEntry(i);
      std::memcpy(buffer, entry.name, entry.nameLength);
      buffer[entry.nameLength] = '\0';
      buffer += entry.nameLength + 1;
    }
    return Ok();
  });
}

int korvat_read(korvat_archive* h, int32_t index, uint64_t offset, void* buffer, size_t size,
                size_t* read) {
  if (h == nullptr || read == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  *read = 0;
  return h->Run([&] {
    const Archive::FileEntry* entry = nullptr;
    if (Outcome o = h->ActiveEntry(index, entry); o.result != KORVAT_OK) return o;
    if (offset > entry->realSize) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "offset " + std::to_string(offset) +
                                                     " lies beyond the end of " +
                                                     Quoted(entry->name));
    }
    const auto count = static_cast<unsigned int>(
        std::min<uint64_t>(size, entry->realSize - offset));
    if (buffer == nullptr && count != 0) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no buffer given");
    }
    if (count != 0 && !h->archive.ReadFromFile(index, static_cast<unsigned char*>(buffer),
                                               static_cast<unsigned int>(offset), count,
                                               nullptr)) {
      return h->Unreadable(index);
    }
    *read = count;
    return Ok();
  });
}

int korvat_read_file(korvat_archive* h, const char* name, void* buffer, size_t capacity,
                     size_t* size) {
  if (h == nullptr || size == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    int index = -1;
    if (Outcome o = h->Find(name, index); o.result != KORVAT_OK) return o;
    const Archive::FileEntry& entry = h->archive.GetFileEntry(index);
    *size = entry.realSize;
    if (capacity < entry.realSize || (buffer == nullptr && entry.realSize != 0)) {
      return Fail(KORVAT_ERROR_BUFFER_TOO_SMALL,
                  Quoted(name) + " takes " + std::to_string(entry.realSize) + " bytes");
    }
    Archive::Reader reader(h->archive, index);
    if (reader.Read(buffer, entry.realSize) != int64_t(entry.realSize)) {
      return h->Unreadable(index);
    }
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    if (adler32_z(adler32_z(0, nullptr, 0), bytes, entry.realSize) != entry.checksum) {
      return Fail(KORVAT_ERROR_DAMAGED, Quoted(name) + " is damaged: checksum mismatch");
    }
    return Ok();
  });
}

int korvat_verify(korvat_archive* h, int32_t index) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    const Archive::FileEntry* entry = nullptr;
    if (Outcome o = h->ActiveEntry(index, entry); o.result != KORVAT_OK) return o;
    std::string reason;
    if (!h->archive.VerifyFile(index, &reason)) {
      return Fail(KORVAT_ERROR_DAMAGED, Quoted(entry->name) + " is damaged: " + reason);
    }
    return Ok();
  });
}

int korvat_extract(korvat_archive* h, const char* name, const char* directory) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    std::vector<int> targets;
    if (name != nullptr) {
      int index = -1;
      if (Outcome o = h->Find(name, index); o.result != KORVAT_OK) return o;
      targets.push_back(index);
    } else {
      if (!h->Reading()) return h->NotOpen();
      targets = h->archive.ActiveFiles(nullptr, true);
    }
    size_t failed = 0;
    Outcome first;
    for (int index : targets) {
      if (h->archive.ExtractFileToDisk(index, directory)) continue;
      if (failed++ == 0) {
        first = FromArchive(h->archive, "cannot extract " +
                                            Quoted(h->archive.GetFileEntry(index).name) +
                                            " under " + Quoted(directory));
      }
    }
    if (failed > 1) {
      first.message += " (and " + std::to_string(failed - 1) + " more entries)";
    }
    return first;
  });
}

int korvat_reader_open(korvat_archive* h, int32_t index, korvat_reader** reader) {
  if (h == nullptr || reader == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  *reader = nullptr;
  return h->Run([&] {
    const Archive::FileEntry* entry = nullptr;
    if (Outcome o = h->ActiveEntry(index, entry); o.result != KORVAT_OK) return o;
    auto made = std::make_unique<korvat_reader>();
    made->reader = Archive::Reader(h->archive, index);
    const std::lock_guard<std::mutex> hold(h->readersLock);
    h->readers.insert(made.get());
    made->owner = h;
    *reader = made.release();
    return Ok();
  });
}

void korvat_reader_free(korvat_reader* reader) { delete reader; }

int korvat_reader_read(korvat_reader* r, void* buffer, size_t size, size_t* read) {
  if (r == nullptr || read == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  *read = 0;
  return r->Run([&] {
    if (buffer == nullptr && size != 0) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no buffer given");
    }
    const int64_t got = r->reader.Read(buffer, size);
    if (got < 0 && r->owner != nullptr && r->reader.IsOpen()) {
      return FromArchive(r->owner->archive, "cannot read " + r->Name());
    }
    if (got < 0) return Fail(KORVAT_ERROR_WRONG_MODE, "the reader's archive is gone");
    *read = static_cast<size_t>(got);
    return Ok();
  });
}

int korvat_reader_seek(korvat_reader* r, int64_t offset, int origin, uint64_t* position) {
  if (r == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return r->Run([&] {
    int64_t base = 0;
    if (origin == KORVAT_SEEK_CUR) base = r->reader.Tell();
    if (origin == KORVAT_SEEK_END) base = r->reader.Size();
    const bool known = origin == KORVAT_SEEK_SET || origin == KORVAT_SEEK_CUR ||
                       origin == KORVAT_SEEK_END;
    const int64_t target = base + offset;  // both far below 2^63 in size
    if (!known || offset > INT64_MAX / 2 || offset < INT64_MIN / 2 || target < 0 ||
        target > int64_t(r->reader.Size()) ||
        !r->reader.Seek(static_cast<unsigned int>(target))) {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT,
                  "cannot seek " + r->Name() + " outside its " +
                      std::to_string(r->reader.Size()) + " bytes");
    }
    if (position != nullptr) *position = uint64_t(target);
    return Ok();
  });
}

uint64_t korvat_reader_tell(const korvat_reader* r) { return r ? r->reader.Tell() : 0; }

uint64_t korvat_reader_size(const korvat_reader* r) { return r ? r->reader.Size() : 0; }

int korvat_reader_last_error(const korvat_reader* r) {
  return r ? r->last.result : KORVAT_ERROR_INVALID_ARGUMENT;
}

const char* korvat_reader_last_message(const korvat_reader* r) {
  return r ? r->last.message.c_str() : "no reader handle";
}

int korvat_add_memory(korvat_archive* h, const char* name, const void* data, size_t size,
                      int level, uint64_t file_time, unsigned flags, int32_t* index) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  if (index != nullptr) *index = -1;
  return h->Run([&] {
    int replaced = -1;
    if (Outcome o = AddAllowed(*h, name, level, flags, replaced); o.result != KORVAT_OK) return o;
    if (data == nullptr && size != 0) return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no data given");
    if (size > UINT32_MAX) {
      return Fail(KORVAT_ERROR_TOO_LARGE, Quoted(name) + " reaches 4 GiB");
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    const Archive::FileTime time{static_cast<uint32_t>(file_time),
                                 static_cast<uint32_t>(file_time >> 32)};
    const auto n = static_cast<unsigned int>(size);
    const int added = replaced >= 0
                          ? h->archive.ReplaceFileFromMemory(replaced, name, bytes, n, level, time)
                          : h->archive.AddFileFromMemory(name, bytes, n, level, time);
    if (added < 0) return FromArchive(h->archive, "cannot add " + Quoted(name));
    if (index != nullptr) *index = added;
    return Ok();
  });
}

int korvat_add_file(korvat_archive* h, const char* path, const char* name, int level,
                    unsigned flags, int32_t* index) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  if (index != nullptr) *index = -1;
  return h->Run([&] {
    if (path == nullptr || path[0] == '\0') {
      return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no file path given");
    }
    if (name == nullptr) name = path;
    int replaced = -1;
    if (Outcome o = AddAllowed(*h, name, level, flags, replaced); o.result != KORVAT_OK) return o;
    const int added = replaced >= 0 ? h->archive.ReplaceFileFromDisk(replaced, path, name, level)
                                    : h->archive.AddFileFromDisk(path, name, level);
    if (added < 0) return FromArchive(h->archive, "cannot add " + Quoted(name));
    if (index != nullptr) *index = added;
    return Ok();
  });
}

int korvat_remove(korvat_archive* h, const char* name) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    if (!h->Writing()) return h->NotWritable();
    if (name == nullptr) return Fail(KORVAT_ERROR_INVALID_ARGUMENT, "no name given");
    if (!h->archive.RemoveFileByName(name)) {
      return FromArchive(h->archive, "cannot remove " + Quoted(name));
    }
    return Ok();
  });
}

int korvat_compact(korvat_archive* h) {
  if (h == nullptr) return KORVAT_ERROR_INVALID_ARGUMENT;
  return h->Run([&] {
    if (!h->Writing()) return h->NotWritable();
    if (!h->archive.Compact()) {
      return FromArchive(h->archive, "cannot compact " + h->path + " (no data was lost)");
    }
    return Ok();
  });
}

}  // extern "C"
