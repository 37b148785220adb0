// libFuzzer target: arbitrary bytes as a name, normalised, looked up, added,
// extracted and reloaded.
#include <cstdio>
#include <cstdlib>

#include "fuzz/ArchiveChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = fuzzing::CheckName(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
