// The archive object's life: construction, Open, Close, ReOpen and the small
// accessors. Loading and saving the index itself live in ArchiveIndex.cpp.
#include <algorithm>
#include <cstring>

#include "archive/Archive.h"
#include "archive/ErrorSlots.h"
#include "archive/Format.h"
#include "archive/Journal.h"
#include "archive/NameIndex.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

Archive::FileTime ToArchiveTime(const std::optional<platform::FileTime>& time) {
  if (!time) return {0, 0};
  return {time->low, time->high};
}

bool SameTime(const Archive::FileTime& a, const Archive::FileTime& b) {
  return a.lowDateTime == b.lowDateTime && a.highDateTime == b.highDateTime;
}

// What the index as opened refers to: every active entry's data and the
// index itself, with whatever follows it. A loaded index has its entries in
// file order (Open checks that), so neighbours are joined as they come and a
// packed archive gives a few ranges, not one per entry; the journal sorts
// whatever else comes out of order.
std::vector<ByteRange> NeededRanges(const mem::large_vector<Archive::FileEntry>& entries,
                                    uint32_t dataEnd, uint64_t fileSize) {
  std::vector<ByteRange> needed;
  const auto add = [&needed](uint64_t begin, uint64_t end) {
    if (!needed.empty() && needed.back().begin <= begin && begin <= needed.back().end) {
      needed.back().end = std::max(needed.back().end, end);
    } else {
      needed.push_back({begin, end});
    }
  };
  for (const Archive::FileEntry& entry : entries) {
    if (entry.flags & format::kFlagActive) {
      add(entry.offset, uint64_t(entry.offset) + entry.storedSize);
    }
  }
  add(dataEnd, fileSize);
  return needed;
}

}  // namespace

Archive::Archive() : Archive(platform::NativeFileSystem()) {}

Archive::Archive(const platform::FileSystem& fileSystem)
    : fs(&fileSystem),
      fileHandle(platform::InvalidHandle()),
      blockSize(format::kBlockSize),
      errors(std::make_unique<ErrorSlots>()) {}

Archive::~Archive() { Close(false); }

Error Archive::LastError() const { return errors->Get(); }

bool Archive::Fail(ErrorCode code, std::string detail) const {
  errors->Set(Error{code, 0, std::move(detail)});
  return false;
}

int Archive::FailIndex(ErrorCode code, std::string detail) const {
  Fail(code, std::move(detail));
  return -1;
}

bool Archive::FailSystem(ErrorCode fallback, const std::string& what) const {
  errors->Set(SystemFailure(*fs, fallback, what));
  return false;
}

bool Archive::Open(const char* name, FileMode mode) {
  if (name == nullptr || name[0] == '\0') return Fail(ErrorCode::BadArgument, "no file name");
  if (mode != ModeRead && mode != ModeWrite) return Fail(ErrorCode::BadArgument, "bad mode");
  if (fileHandle != platform::InvalidHandle()) Close(false);

  const bool write = mode == ModeWrite;
  platform::File file(*fs, fs->Open(name, write ? platform::Access::ReadWrite : platform::Access::Read,
                                    write ? platform::Creation::OpenAlways
                                          : platform::Creation::OpenExisting,
                                    write ? platform::Lock::Exclusive : platform::Lock::Shared));
  if (!file.IsOpen()) return FailSystem(ErrorCode::IO, name);
  fileTime = ToArchiveTime(fs->LastWriteTime(name));

  ResetIndex();
  journalView.reset();
  fileHandle = file.Handle();
  fileMode = mode;
  // An interrupted write of this archive is rolled back under the exclusive
  // lock; a reader sees the archive as it was through the journal, writing
  // nothing. Anything else at the journal path is left alone, and refuses
  // changes.
  const std::optional<std::string> journalPath = JournalPath(*fs, name);
  journalFile = journalPath.value_or(std::string());
  journalState = JournalState::Ready;
  bool usable = journalPath.has_value();
  if (!usable) FailSystem(ErrorCode::IO, "the current directory");
  if (usable) {
    const uint64_t chunk = journalChunk != 0 ? journalChunk : kJournalChunk;
    JournalFinding finding = ExamineJournal(*fs, *journalPath, fileHandle, chunk);
    journalState = finding.state;
    if (write) {
      const bool remove = finding.view || finding.stale;
      usable = finding.state == JournalState::Ready;
      if (finding.state == JournalState::Unreadable) {
        FailSystem(ErrorCode::IO, "reading " + *journalPath);
      } else if (!usable) {
        Fail(ErrorCode::JournalInTheWay, *journalPath);
      } else if (finding.view && !finding.view->RollBack(fileHandle)) {
        usable = FailSystem(ErrorCode::IO, "rolling back from " + *journalPath);
      }
      finding.view.reset();
      // Where no file can be removed the journal stays, harmless: the archive
      // is now what it saved.
      if (usable && remove) {
        usable = (fs->RemoveFile(*journalPath) && fs->FlushDirectory(DirectoryOf(*journalPath))) ||
                 !fs->CanCreateIn(DirectoryOf(*journalPath)) ||
                 FailSystem(ErrorCode::IO, "removing " + *journalPath);
      }
    } else if (finding.state == JournalState::Unreadable) {
      // Whether the archive needs its journal to be read as it was is
      // unknown: it is not read at all.
      usable = FailSystem(ErrorCode::IO, "reading " + *journalPath);
    } else {
      journalView = std::move(finding.view);
    }
  }
  const std::optional<uint64_t> size =
      journalView ? std::optional<uint64_t>(journalView->Length()) : fs->Size(fileHandle);
  if (usable && !size) FailSystem(ErrorCode::IO, name);
  if (!usable || !size || (*size != 0 && !LoadIndex(*size))) {
    // Not an archive, its interrupted write could not be rolled back, or
    // something else holds its journal's place: nothing will be written at
    // Close.
    fileHandle = platform::InvalidHandle();
    fileMode = ModeNone;
    ResetIndex();
    journalView.reset();
    return false;
  }
  if (write) {
    // Without a writable directory there can be no journal; the change goes
    // ahead all the same, marked in the header.
    if (!fs->CanCreateIn(DirectoryOf(*journalPath))) journalState = JournalState::NoJournal;
    NewJournal(*size);
  }
  fileName = name;
  file.Release();
  BuildTable();
  indexChanged = false;  // linking the loaded entries changed nothing
  return true;
}

void Archive::NewJournal(uint64_t size) {
  journal = std::make_unique<Journal>(*fs, journalFile, fileHandle, size,
                                      NeededRanges(entries, DataEnd(), size),
                                      journalState != JournalState::NoJournal,
                                      journalChunk != 0 ? journalChunk : kJournalChunk);
}

bool Archive::ReOpen() {
  if (!reopenable || fileMode != ModeRead || fileHandle != platform::InvalidHandle()) {
    return Fail(ErrorCode::NotOpen, "not closed for reopening");
  }
  reopenable = false;
  const auto time = fs->LastWriteTime(fileName);
  if (time && SameTime(ToArchiveTime(time), fileTime)) {
    fileHandle = fs->Open(fileName, platform::Access::Read, platform::Creation::OpenExisting,
                          platform::Lock::Shared);
    return fileHandle != platform::InvalidHandle() || FailSystem(ErrorCode::IO, fileName);
  }
  // The file changed (or its time cannot be read): load its index anew.
  const std::string name = fileName;
  Close(false);
  return Open(name.c_str(), ModeRead);
}

bool Archive::Close(bool allowReopen) {
  bool saved = true;
  const bool open = fileHandle != platform::InvalidHandle();
  if (fileMode == ModeWrite) {
    if (open) saved = SaveIndex();
    journal.reset();
  }
  if (open) {
    fs->Close(fileHandle);
    fileHandle = platform::InvalidHandle();
  }
  if (allowReopen && fileMode != ModeWrite) {
    reopenable = true;
    return saved;
  }
  reopenable = false;
  ResetIndex();
  journalView.reset();
  FreeFileBuffer();
  fileName.clear();
  return saved;
}

unsigned int Archive::GetNumFiles() const { return static_cast<unsigned int>(entries.size()); }

const Archive::FileEntry& Archive::GetFileEntry(int index) const {
  // Out of range: an inactive entry with no name, instead of memory
  // outside the array.
  static constexpr FileEntry kNoEntry{};
  const FileEntry* entry = Entry(index);
  return entry != nullptr ? *entry : kNoEntry;
}

unsigned int Archive::BlockSize() const { return blockSize; }

void* Archive::ArchiveFileHandle() const { return fileHandle; }

Archive::FileMode Archive::ArchiveFileMode() const { return fileMode; }

void Archive::FreeFileBuffer() {
  fileBuffer.reset();
  fileBufferSize = 0;
}

}  // namespace GAME
