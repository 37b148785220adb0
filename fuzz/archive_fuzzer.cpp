// libFuzzer target: arbitrary bytes opened as an archive, for reading and for
// writing, through every read path, changes and Close.
#include <cstdio>
#include <cstdlib>

#include "fuzz/ArchiveChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = fuzzing::CheckArchiveBytes(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
