// The command dispatcher (placeholder until the commands exist): prints the
// usage text.
#include "tool/Dispatcher.h"

#include <cstdio>

namespace tool {

int Run(int, char**) {
  std::printf("Usage: korvat <file> <command> [command arguuments]\n");
  return 0;
}

}  // namespace tool
