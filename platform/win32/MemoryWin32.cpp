// Windows gives large pages only to processes holding a privilege: the
// archive's large blocks come from the heap here.
#include <new>

#include "mem/Vector.h"

namespace mem {

void* AllocateLarge(size_t bytes) { return ::operator new(bytes); }

void FreeLarge(void* block) noexcept { ::operator delete(block); }

}  // namespace mem
