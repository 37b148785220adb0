// GAME::Archive: one archive file of many named files, with its whole index in
// memory. A file's data is stored unchanged or as independently
// zlib-compressed 262144-byte parts; the index (part records, names, one
// record per entry) lies at the end of the file and is written back by Close.
//
// Thread safety: an object that nothing changes (no add, remove, compact,
// open or close running) may serve these const methods from several threads
// at once: FindFile, GetNumFiles, GetFileEntry, ReadFromFile (each thread
// with its own BlockBuffer, or none), ExtractFileToMemory, ExtractFileToDisk
// (to distinct files; directories they share may be created concurrently),
// ExtractFileParallel, VerifyFile, Entry, ActiveFiles and ReadFile, and
// Readers (each used by one thread). They read the index and the archive
// file only by positioned reads and keep no state between calls. Every other
// method needs the object to itself. Two objects may not write one archive at
// once: opening for writing takes an exclusive lock on the file, opening for
// reading a shared one, and Open fails when the lock cannot be had.
//
// Crash safety: changes are written in place, but the bytes the archive as
// opened still needs are first saved to a journal beside it (NAME-journal)
// and the archive is marked as being changed; Close deletes the journal to
// commit. The next Open of an archive whose writer died rolls it back
// (ModeRead reads it as it was without writing). A journal is applied only
// to the archive marked with its token; anything else at its path refuses
// ModeWrite and is left alone.
//
// Failures are reported through results (bool, or -1 for an index), and
// LastError() says why; running out of memory raises std::bad_alloc, which
// the class does not catch.
//
// Installed as <korvat/Archive.h>; its own includes are relative to it.
// Archive::Reader (below the class) is the safe way to read an entry in
// pieces; korvat/korvat.h is the same library's C interface.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "Error.h"
#include "Version.h"
#include "mem/Vector.h"

namespace platform {
class File;
class FileSystem;
}

namespace GAME {

class ErrorSlots;
class Journal;
class JournalView;
class NameIndex;
class PackedFile;

class KORVAT_API Archive {
 public:
  enum FileMode { ModeNone = 0, ModeRead = 1, ModeWrite = 2 };

  // A Windows FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
  struct FileTime {
    uint32_t lowDateTime;
    uint32_t highDateTime;
  };

  // One compressed part: its absolute offset in the archive file, its
  // compressed size and the size it inflates to.
  struct PartRecord {
    uint32_t offset;
    uint32_t storedSize;
    uint32_t realSize;
  };

  // The in-memory record of one entry. An inactive (removed) entry has flags
  // 0 and null name, parts and next; its offset and storedSize still describe
  // the region it occupied.
  struct FileEntry {
    uint32_t flags;       // bit 0: active; bit 1: stored as compressed parts
    uint32_t offset;      // start of the data region
    uint32_t storedSize;  // length of the data region
    uint32_t realSize;    // uncompressed size
    uint32_t numParts;
    uint32_t checksum;    // Adler-32 of the uncompressed content
    FileTime fileTime;    // last-write time of the source; 0 from memory
    PartRecord* parts;
    uint32_t nameLength;  // without the NUL
    char* name;           // normalised, NUL-terminated
    FileEntry* next;      // next entry of the same hash bucket
  };

  struct Stats {
    uint32_t fileEntries;      // entries, active and inactive
    uint32_t activeFiles;
    uint32_t tableSize;        // hash buckets
    uint32_t maxTableDepth;    // longest bucket chain
    uint32_t indexSize;        // sum of nameLength + 12 * numParts + 49
    uint32_t longestFilename;
    float averageDepth;        // active entries per occupied bucket; 0 if none
  };

  // A caller-owned cache of one inflated part for ReadFromFile. The caller
  // allocates both areas: uncompressedData must hold kUncompressedAreaSize
  // (BlockSize()) bytes and compressedData kCompressedAreaSize
  // (MaxPartSize(), the largest part the format allows): a smaller area
  // overflows on a part that does not compress. Set currentPart to kNoPart
  // before using the buffer for another file or after the archive changed.
  // Reader below owns correctly sized areas and tracks its entry: prefer it.
  struct BlockBuffer {
    uint32_t currentPart;
    unsigned char* compressedData;
    unsigned char* uncompressedData;
  };
  static constexpr uint32_t kNoPart = 0xFFFFFFFF;
  // The sizes BlockBuffer's areas need: the block size, and zlib's
  // compressBound of one block.
  static constexpr uint32_t kUncompressedAreaSize = 262144;
  static constexpr uint32_t kCompressedAreaSize =
      262144 + (262144 >> 12) + (262144 >> 14) + (262144 >> 25) + 13;

  using ProgressCallback = void (*)(const FileEntry& entry, unsigned int index,
                                    unsigned int count);

  // An unopened archive that uses the real file system.
  Archive();
  // An unopened archive whose every I/O call goes through fileSystem, which
  // must outlive the object.
  explicit Archive(const platform::FileSystem& fileSystem);
  ~Archive();
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  // --- Opening and closing -------------------------------------------------

  // Opens fileName (created when missing in ModeWrite) and loads its index,
  // first rolling back a write that died (ModeWrite). False for a null or
  // empty name, a mode other than ModeRead or ModeWrite, a file that cannot
  // be opened or locked, a non-empty file that is not a well-formed archive
  // (the file is then left as it was), a rollback that failed, or
  // (ModeWrite) a file at the journal path that is not this archive's
  // journal (JournalProblem says which; ModeRead still opens).
  bool Open(const char* fileName, FileMode mode);

  // What the last Open found at the journal path (the archive's on-disk
  // name plus "-journal"), or could not make there.
  enum class JournalState {
    Ready,        // nothing in the way
    NoJournal,    // opened for writing, but the directory is not writable:
                  // changes go ahead without a journal
    NotAJournal,  // a file that is not a journal
    OtherChange,  // a journal of another archive or of another change
    Directory,    // a directory
    Link,         // a symbolic link
    OtherOwner,   // a file of another user
    Unreadable,   // a file that cannot be read
  };
  JournalState JournalProblem() const { return journalState; }
  // The journal path of the last Open; empty when it had none.
  const std::string& JournalFile() const { return journalFile; }
  // Reopens an archive closed with Close(true) in ModeRead, reloading the
  // index when the file changed meanwhile. False when not in that state or
  // when the file cannot be opened again.
  bool ReOpen();
  // In ModeWrite writes the index after the last data region, cuts the file
  // there, flushes, writes the header last, flushes and deletes the journal,
  // which commits; an archive that did not change is not rewritten (bytes
  // after its index are cut off). Then closes the file. Close(true) in
  // ModeRead keeps the index for lookups and ReOpen. False when saving the
  // index failed (the file is closed all the same; the next Open rolls the
  // changes back).
  bool Close(bool allowReopen);

  // The last failure of the calling thread on this object: the reason the
  // latest of its calls that reported failure (false or -1) failed. Calls
  // that succeed leave it as it was. ErrorCode::None when none failed yet.
  Error LastError() const;

  // --- Entries ---------------------------------------------------------------

  unsigned int GetNumFiles() const;
  // An index out of range gives an inactive entry with no name (all zero).
  const FileEntry& GetFileEntry(int index) const;
  unsigned int BlockSize() const;
  static constexpr unsigned int MaxPartSize() { return kMaxPartSize; }
  void* ArchiveFileHandle() const;
  FileMode ArchiveFileMode() const;
  void FreeFileBuffer();

  // --- Lookup ----------------------------------------------------------------

  // Index of the active entry named like name after normalisation, or -1.
  int FindFile(const char* name) const;
  void CalcStats(Stats& stats) const;
  // Appends the indices of the entries whose names end with pattern (ASCII
  // case-insensitive) in index order; returns how many were appended.
  unsigned int FindMatchingFilesEnd(mem::vector<int>& result, const std::string& pattern);

  // --- Adding, removing, compacting (ModeWrite only) -------------------------

  // Adds size bytes under name; level 0 stores them, 1..9 compresses them.
  // The new entry's index, or -1 (name taken or empty, write failed, archive
  // would pass 4 GiB); on -1 the archive is as before.
  int AddFileFromMemory(const char* name, unsigned char* data, unsigned int size, int level);
  // Adds the file at path under the name path normalises to, with its
  // last-write time. The index, or -1 as above (also for an unreadable file).
  int AddFileFromDisk(const char* path, int level);
  // Replaces the active entry index, which must be the one path names, by
  // the file at path. The new content is read (and compressed) first; then
  // the old entry is removed and the new one placed by best fit, its old
  // slot and record included (old entries over 64 MiB stored excepted), so
  // an unchanged file is written back where it was. When the add fails (-1)
  // the old entry is kept as it was; on success the new index.
  int ReplaceFileFromDisk(int index, const char* path, int level);
  // AddFileFromDisk and ReplaceFileFromDisk for a file a Packer prepared
  // (archive/Packer.h), compressed at the Packer's level: the same results,
  // entries and bytes.
  int AddPackedFile(PackedFile& file);
  int ReplacePackedFile(int index, PackedFile& file);
  // Marks the entry inactive, keeping its region for reuse. False when not
  // in ModeWrite, out of range or already inactive.
  bool RemoveFile(int index);
  // Moves every active entry's data together from byte 2048, drops inactive
  // entries and renumbers the rest. False when not open for writing, or when
  // a read or write failed: compaction then stops, and no entry points at a
  // place its data has not reached. It may commit the archive on the way
  // (what the opening changed before included).
  bool Compact();

  // --- Reading ---------------------------------------------------------------

  // Copies up to size bytes of entry index from offset of its content. False
  // for a bad index or destination, an offset beyond the content, a failed
  // read or damaged data.
  bool ReadFromFile(int index, unsigned char* destination, unsigned int offset, unsigned int size,
                    BlockBuffer* buffer) const;
  // Copies the first min(size, realSize) bytes of the entry.
  bool ExtractFileToMemory(int index, unsigned char* destination, unsigned int size) const;
  // Writes the entry to directory/name, creating the directories on the way.
  // The name's components are taken below directory (a leading '/' or a
  // drive-like "c:" included). The content goes to a new file beside the
  // target, which replaces the target only once whole and verified. False
  // for an inactive entry, a name with a ".." component, a symbolic link on
  // the way below directory (directory itself is followed as given), a
  // target locked or not writable, a failed write or a checksum that does
  // not match; the target is then left as it was.
  bool ExtractFileToDisk(int index, const char* directory) const;
  // The path of a symbolic link that stands where the entry would be
  // extracted below directory (a directory on its way or the file itself);
  // empty when there is none.
  std::string ExtractionLink(int index, const char* directory) const;
  // ExtractFileToDisk with the parts of a compressed entry inflated by up to
  // workers threads at once, each writing its parts in place; the same
  // result and the same bytes, with memory for one part per thread.
  bool ExtractFileParallel(int index, const char* directory, unsigned int workers) const;
  // Extracts every active entry, calling callback (may be null) before each
  // entry, inactive ones included. True when every active entry extracted.
  bool ExtractAll(const char* directory, ProgressCallback callback) const;

  // --- Checking ---------------------------------------------------------------

  // Reads the active entry index whole without keeping it: true when every
  // part inflates to exactly its size, every stored byte is there and the
  // content's Adler-32 equals the entry's checksum. Otherwise false, with a
  // short reason in *reason when reason is not null ("checksum mismatch",
  // "part 2 of 3 does not inflate", ...). Writes nothing.
  bool VerifyFile(int index, std::string* reason) const;

  // --- Safe reading and pipeline conveniences ---------------------------------

  class Reader;
  class StreamBuf;

  // The library's version at run time ("0.2.0"); KORVAT_VERSION_STRING is the
  // one compiled against.
  static const char* Version();

  enum OpenFlags : unsigned int { OpenCreate = 1 };
  // Open, except that in ModeWrite a missing file is created only with
  // OpenCreate in flags, and a lock another object holds is waited for up to
  // lockTimeoutMs milliseconds (0: not at all). False as Open, or when the
  // file is missing without OpenCreate.
  bool Open(const char* fileName, FileMode mode, unsigned int flags, unsigned int lockTimeoutMs);
  // The entry at index, or null when index is out of range.
  const FileEntry* Entry(int index) const;
  // The indices of the active entries, in index order: all of them for a
  // null or empty directory, otherwise those under it (a stored directory
  // name such as "textures/walls"), in its subdirectories too when
  // recursive.
  std::vector<int> ActiveFiles(const char* directory, bool recursive) const;
  // Reads the active entry name whole into content, checking its Adler-32.
  // False (content emptied) when there is no such entry or its data is
  // missing or damaged.
  bool ReadFile(const char* name, std::vector<unsigned char>& content) const;

  // AddFileFromMemory for constant data, recording fileTime as the entry's
  // time. The same results.
  int AddFileFromMemory(const char* name, const unsigned char* data, unsigned int size, int level,
                        FileTime fileTime);
  // AddFileFromDisk storing the file at path under name instead of the name
  // path normalises to. The same results.
  int AddFileFromDisk(const char* path, const char* name, int level);
  // ReplaceFileFromDisk and the memory form, for the active entry index,
  // which must be the one name names; the same results and guarantees.
  int ReplaceFileFromDisk(int index, const char* path, const char* name, int level);
  int ReplaceFileFromMemory(int index, const char* name, const unsigned char* data,
                            unsigned int size, int level, FileTime fileTime);
  // RemoveFile of the active entry name; false when there is none.
  bool RemoveFileByName(const char* name);

 private:
  friend class ArchiveTestPeer;

  // Largest compressed part: zlib's compressBound of one block.
  static constexpr unsigned int kMaxPartSize =
      262144 + (262144 >> 12) + (262144 >> 14) + (262144 >> 25) + 13;

  // Heap blocks an active entry owns in ModeWrite; kept beside entries.
  struct EntryBlocks {
    std::unique_ptr<char[]> name;
    std::unique_ptr<PartRecord[]> parts;
  };

  // Failure recording (ArchiveFile.cpp): each records the calling thread's
  // error and returns false (FailIndex: -1). FailSystem takes the cause from
  // the file system's last error, fallback when it names none; what says
  // what failed ("writing the archive").
  KORVAT_LOCAL bool Fail(ErrorCode code, std::string detail = {}) const;
  KORVAT_LOCAL int FailIndex(ErrorCode code, std::string detail = {}) const;
  KORVAT_LOCAL bool FailSystem(ErrorCode fallback, const std::string& what) const;
  // An add's source could not be opened or read (-1), or its size is unknown
  // or 4 GiB and more.
  KORVAT_LOCAL int FailSource(const char* path) const;
  KORVAT_LOCAL int FailSourceSize(const platform::File& source, const char* path) const;

  // Index persistence (ArchiveIndex.cpp).
  KORVAT_LOCAL bool LoadIndex(uint64_t fileSize);
  KORVAT_LOCAL bool SaveIndex();
  // A journal for the archive as it is now (size bytes long on disk).
  KORVAT_LOCAL void NewJournal(uint64_t size);
  // Compaction (ArchiveRemove.cpp): drops the entries [kept, next) that the
  // moves left behind, so that the index is whole again.
  KORVAT_LOCAL void SettleCompacted(size_t next, size_t kept);
  KORVAT_LOCAL void ResetIndex();
  KORVAT_LOCAL int FindFreeEntry(unsigned int size) const;
  KORVAT_LOCAL void RemoveFreeEntry(unsigned int index);
  // Reads size bytes at offset, through journalView when there is one; false
  // unless all were read.
  KORVAT_LOCAL bool ReadArchive(uint64_t offset, void* data, size_t size) const;

  // Name lookup (ArchiveLookup.cpp).
  KORVAT_LOCAL unsigned int HashName(const char* name, unsigned int length) const;
  KORVAT_LOCAL void BuildTable();
  KORVAT_LOCAL void LinkEntry(FileEntry& entry);
  KORVAT_LOCAL void UnlinkEntry(FileEntry& entry);

  // Entry ownership helpers (ArchiveIndex.cpp).
  KORVAT_LOCAL void SetEntryName(unsigned int index, const std::string& name);
  KORVAT_LOCAL void SetEntryParts(unsigned int index, std::unique_ptr<PartRecord[]> parts,
                                 unsigned int count);
  KORVAT_LOCAL void ReleaseEntryBlocks(unsigned int index);
  // Makes entryBlocks one per entry, as it must be before an entry owns a
  // block or entries are moved.
  KORVAT_LOCAL void ClaimEntryBlocks();
  KORVAT_LOCAL uint32_t DataEnd() const;  // end of the last entry's region, or 2048

  // Adding (ArchiveAdd.cpp).
  // A reusable entry as it was before an add, so that a failed add can be undone.
  struct FreeSlot {
    uint32_t index;
    uint32_t storedSize;
  };
  KORVAT_LOCAL int AddEntry(const char* name, unsigned int storedSize, unsigned int realSize,
                            bool compressed);
  KORVAT_LOCAL void GrowEntries();
  template <class WriteContent>
  KORVAT_LOCAL int PlaceEntry(const char* name, unsigned int storedSize, unsigned int realSize,
                              bool compressed, WriteContent&& writeContent);
  KORVAT_LOCAL void WithdrawEntry(int index, const std::vector<FreeSlot>& freeBefore);
  // An entry a replacement removed, kept so that it can be put back.
  struct TakenEntry {
    unsigned int index;
    FileEntry entry;
    std::string name;
    std::vector<PartRecord> parts;
  };
  KORVAT_LOCAL TakenEntry TakeOutEntry(unsigned int index);
  KORVAT_LOCAL void PutBackEntry(TakenEntry taken);
  template <class NextPart>
  KORVAT_LOCAL int PlaceCompressed(const char* name, unsigned int realSize, NextPart&& nextPart);
  template <class Add>
  KORVAT_LOCAL int ReplaceEntry(int index, const char* path, Add&& add);
  KORVAT_LOCAL int StoreFileFromDisk(const char* path, const char* name);
  KORVAT_LOCAL int CompressFileFromDisk(const char* path, const char* name, int level);
  KORVAT_LOCAL bool Writable() const;

  // Reading (ArchiveRead.cpp).
  KORVAT_LOCAL bool ReadCompressedRange(int index, unsigned char* destination,
                                        unsigned int offset, unsigned int count,
                                        BlockBuffer* buffer) const;
  KORVAT_LOCAL bool LoadPart(int index, unsigned int part, BlockBuffer& buffer) const;
  // Writes an active entry's content into the open file target from offset
  // 0; true when whole and matching its checksum (ArchiveExtract.cpp).
  KORVAT_LOCAL bool WriteExtracted(int index, void* target, unsigned int workers) const;
  KORVAT_LOCAL bool ReadStored(uint64_t offset, unsigned char* destination,
                                unsigned int size) const;

  const platform::FileSystem* fs;
  bool reopenable = false;
  // ModeWrite: whether the index as loaded is byte for byte the one Close
  // would write for it, where it lies and with nothing after it; and whether
  // anything changed the entries since. Then a Close with nothing written
  // has only the header to compare.
  bool loadedAsWritten = false;
  bool indexChanged = false;
  FileTime fileTime = {0, 0};
  void* fileHandle;
  FileMode fileMode = ModeNone;
  std::string fileName;
  mem::large_vector<FileEntry> entries;
  // The capacity entries had when it grew by 256 at a time: the hash table
  // is rebuilt whenever it is reached, as it always was, while the storage
  // itself grows geometrically.
  size_t entryCapacity = 0;
  // ModeWrite: one per entry once an entry owns a block; until then it may
  // hold fewer, all empty, so that an opening that changes nothing makes none.
  std::vector<EntryBlocks> entryBlocks;
  std::list<uint32_t> freeEntries;
  // ModeWrite: bytes of part records and of names with their NULs that the
  // index will hold, kept by the entry ownership helpers.
  uint64_t partAndNameBytes = 0;
  uint32_t blockSize;
  // The part table and the name table as loaded, which the loaded entries'
  // parts and names point into until they change.
  mem::LargeArray<PartRecord> partBuffer;
  mem::LargeArray<char> nameBuffer;
  uint32_t tableSize = 0;
  std::unique_ptr<FileEntry*[]> table;
  // FindFile's index of the linked entries; exists whenever table does.
  std::unique_ptr<NameIndex> nameIndex;
  uint32_t fileBufferSize = 0;
  std::unique_ptr<unsigned char[]> fileBuffer;
  // ModeWrite: saves what the archive as opened needs before it is
  // overwritten, so that an interrupted write can be rolled back.
  std::unique_ptr<Journal> journal;
  // ModeRead: the archive as an interrupted writer's journal says it was.
  std::unique_ptr<JournalView> journalView;
  JournalState journalState = JournalState::Ready;
  // The bytes the journal reads and writes at a time; 0: its own choice.
  // (Beside journalState, where the layout had room.)
  uint32_t journalChunk = 0;
  std::string journalFile;
  // The last failure of each thread.
  std::unique_ptr<ErrorSlots> errors;
  // The entry a replacement removes when its content is placed, or -1.
  int replacing = -1;
};

// Reads one entry's content from any position through its own cache of one
// inflated part, so reading in small pieces inflates each part once. The
// archive must stay open and unchanged while a reader reads: a reader whose
// entry was removed, replaced or moved fails instead of giving stale bytes.
// Readers over one archive that nothing changes may read on several threads
// at once, each reader used by one thread at a time.
class KORVAT_API Archive::Reader {
 public:
  Reader();  // not open
  // A reader at the start of the active entry index; not open when index is
  // not an active entry of the archive.
  Reader(const Archive& archive, int index);
  Reader(Reader&& other) noexcept;
  Reader& operator=(Reader&& other) noexcept;
  ~Reader();

  bool IsOpen() const;
  int Index() const;
  unsigned int Size() const;  // the content's bytes; 0 when not open
  unsigned int Tell() const;
  // Moves to position; false (the position unchanged) beyond Size() or when
  // not open.
  bool Seek(unsigned int position);
  // Copies up to size bytes from the position to destination and moves past
  // them. Returns the number given, fewer than size only at the end (0
  // there); -1 when not open, when the entry changed, or when the data
  // cannot be read or inflated, after which the position stays past the
  // bytes given by earlier calls.
  int64_t Read(void* destination, size_t size);

 private:
  KORVAT_LOCAL bool Unchanged() const;

  const Archive* archive_ = nullptr;
  int index_ = -1;
  uint32_t position_ = 0;
  // What the entry was when the reader opened it.
  uint32_t flags_ = 0;
  uint32_t offset_ = 0;
  uint32_t realSize_ = 0;
  uint32_t checksum_ = 0;
  const PartRecord* parts_ = nullptr;
  std::unique_ptr<unsigned char[]> area_;  // compressed, then uncompressed
  BlockBuffer buffer_{kNoPart, nullptr, nullptr};
};

// A std::streambuf over a Reader, so that std::istream and the code that
// takes one read an entry: `Archive::StreamBuf buf(archive, index);
// std::istream in(&buf);`. Input only; seekg and tellg move within the
// content. Damaged or unreadable data sets the stream's badbit (through a
// std::ios_base::failure, which the stream rethrows when its exceptions()
// ask for badbit).
class KORVAT_API Archive::StreamBuf : public std::streambuf {
 public:
  StreamBuf(const Archive& archive, int index);
  explicit StreamBuf(Reader reader);
  ~StreamBuf() override;
  bool IsOpen() const;

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char_type* destination, std::streamsize count) override;
  std::streamsize showmanyc() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  static constexpr size_t kGetArea = 16384;
  Reader reader_;
  std::unique_ptr<char[]> area_;
};

}  // namespace GAME
