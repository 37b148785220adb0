// The checks that the fuzz targets run on each input, shared with the
// regression test that replays the inputs they once failed on. Each returns
// the first broken promise it found, or an empty text; the sanitizers catch
// what breaks memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

// The bytes as an archive file, opened for reading and for writing: every
// read path, extraction, and (for writing) a removal, two adds, compaction
// and Close, after which the file must open again with what it should hold.
std::string CheckArchiveBytes(const uint8_t* data, size_t size);

// The bytes, up to the first NUL, as a name: its normalised form, FindFile
// and the suffix search on a small archive, then adding, finding, extracting
// and reloading a file of that name.
std::string CheckName(const uint8_t* data, size_t size);

}  // namespace fuzzing
