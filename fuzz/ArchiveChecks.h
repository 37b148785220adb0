// The checks that the fuzz targets run on each input, shared with the
// regression test that replays the inputs they once failed on. Each returns
// the first broken promise it found, or an empty text; the sanitizers catch
// what breaks memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

// The bytes as an archive file, opened for reading and for writing: every
// read path, extraction, and (for writing) a removal, two adds, compaction
// and Close, after which the file must open again with what it should hold.
std::string CheckArchiveBytes(const uint8_t* data, size_t size);

// The bytes, up to the first NUL, as a name: its normalised form, FindFile
// and the suffix search on a small archive, then adding, finding, extracting
// and reloading a file of that name.
std::string CheckName(const uint8_t* data, size_t size);

// The bytes as the journal beside a committed archive and beside one marked
// as changed under the journal's token, opened for reading and for writing:
// a reader never writes, a committed archive stays byte for byte, the
// journal is never written, and a rollback keeps to the journal's bounds and
// removes the journal.
std::string CheckJournalBytes(const uint8_t* data, size_t size);
// The archive CheckJournalBytes puts beside the journal, and the journal of
// a writer of it interrupted amid a change (seeds).
std::vector<unsigned char> JournalBaseArchive();
std::vector<unsigned char> CrashedJournal();

}  // namespace fuzzing
