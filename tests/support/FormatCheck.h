// Checks a parsed archive file against every layout rule of the format and
// inflates its entries' content, independently of the archive class.
#pragma once

#include <string>

#include "support/RawArchive.h"

namespace testing_support {

// The first broken rule of the file, or an empty text when it is sound:
// regions in index order inside the data region, the last ending at the
// index; part and name tables laid out entry by entry; inactive records
// zeroed; each compressed part a zlib stream of its stated size; every
// checksum matching the content.
std::string FormatProblem(const RawArchive& archive);

// The uncompressed content of entry index; false when it cannot be had.
bool EntryContent(const RawArchive& archive, size_t index, std::string& content);

}  // namespace testing_support
