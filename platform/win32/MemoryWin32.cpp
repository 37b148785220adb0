// Windows gives large pages only to processes holding a privilege, and
// only to memory allocated for them; the hint does nothing here.
#include "platform/Memory.h"

namespace platform {

void PreferLargePages(void*, size_t) {}

}  // namespace platform
