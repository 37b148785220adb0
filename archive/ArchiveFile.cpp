// The archive object's life: construction, Open, Close, ReOpen and the small
// accessors. Loading and saving the index itself live in ArchiveIndex.cpp.
#include <cstring>

#include "archive/Archive.h"
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
// index itself, with whatever follows it.
std::vector<ByteRange> NeededRanges(const mem::vector<Archive::FileEntry>& entries,
                                    uint32_t dataEnd, uint64_t fileSize) {
  std::vector<ByteRange> needed;
  for (const Archive::FileEntry& entry : entries) {
    if (entry.flags & format::kFlagActive) {
      needed.push_back({entry.offset, uint64_t(entry.offset) + entry.storedSize});
    }
  }
  needed.push_back({dataEnd, fileSize});
  return needed;
}

}  // namespace

Archive::Archive() : Archive(platform::NativeFileSystem()) {}

Archive::Archive(const platform::FileSystem& fileSystem)
    : fs(&fileSystem), fileHandle(platform::InvalidHandle()), blockSize(format::kBlockSize) {}

Archive::~Archive() { Close(false); }

bool Archive::Open(const char* name, FileMode mode) {
  if (name == nullptr || name[0] == '\0') return false;
  if (mode != ModeRead && mode != ModeWrite) return false;
  if (fileHandle != platform::InvalidHandle()) Close(false);

  const bool write = mode == ModeWrite;
  platform::File file(*fs, fs->Open(name, write ? platform::Access::ReadWrite : platform::Access::Read,
                                    write ? platform::Creation::OpenAlways
                                          : platform::Creation::OpenExisting,
                                    write ? platform::Lock::Exclusive : platform::Lock::Shared));
  fileTime = ToArchiveTime(fs->LastWriteTime(name));
  if (!file.IsOpen()) return false;

  ResetIndex();
  journalView.reset();
  fileHandle = file.Handle();
  fileMode = mode;
  // An interrupted write is rolled back under the exclusive lock; a reader
  // sees the archive as it was through the journal, writing nothing.
  const std::optional<std::string> journalPath = JournalPath(*fs, name);
  bool recovered = journalPath.has_value();
  if (recovered && write) {
    recovered = RecoverFromJournal(*fs, *journalPath, fileHandle);
  } else if (recovered) {
    bool failed = false;
    journalView = JournalView::Find(*fs, *journalPath, fileHandle, failed);
    recovered = !failed;
  }
  const std::optional<uint64_t> size =
      journalView ? std::optional<uint64_t>(journalView->Length()) : fs->Size(fileHandle);
  if (!recovered || !size || (*size != 0 && !LoadIndex(*size))) {
    // Not an archive, or its interrupted write could not be rolled back:
    // nothing will be written at Close.
    fileHandle = platform::InvalidHandle();
    fileMode = ModeNone;
    ResetIndex();
    journalView.reset();
    return false;
  }
  if (write) {
    journal = std::make_unique<Journal>(*fs, *journalPath, fileHandle, *size,
                                        NeededRanges(entries, DataEnd(), *size));
  }
  fileName = name;
  file.Release();
  BuildTable();
  return true;
}

bool Archive::ReOpen() {
  if (!reopenable || fileMode != ModeRead || fileHandle != platform::InvalidHandle()) return false;
  reopenable = false;
  const auto time = fs->LastWriteTime(fileName);
  if (time && SameTime(ToArchiveTime(time), fileTime)) {
    fileHandle = fs->Open(fileName, platform::Access::Read, platform::Creation::OpenExisting,
                          platform::Lock::Shared);
    return fileHandle != platform::InvalidHandle();
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
    for (unsigned int i = 0; i < entries.size(); ++i) ReleaseEntryBlocks(i);
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
  return entries[static_cast<size_t>(index)];
}

unsigned int Archive::BlockSize() const { return blockSize; }

void* Archive::ArchiveFileHandle() const { return fileHandle; }

Archive::FileMode Archive::ArchiveFileMode() const { return fileMode; }

void Archive::FreeFileBuffer() {
  fileBuffer.reset();
  fileBufferSize = 0;
}

}  // namespace GAME
