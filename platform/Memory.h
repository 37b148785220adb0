// Hints to the system about the archive's large blocks of memory.
#pragma once

#include <cstddef>

namespace platform {

// Asks that the whole 2 MiB pages within [start, start + bytes) be backed
// by large pages where the system offers them: a block of megabytes filled
// at once (the index of a large archive as it loads) then costs a few page
// faults instead of one per 4 KiB. Only a hint; without such pages nothing
// changes.
void PreferLargePages(void* start, size_t bytes);

}  // namespace platform
