// libFuzzer target: arbitrary bytes at an archive's journal path, beside a
// committed archive and beside one marked as changed, opened for reading and
// for writing.
#include <cstdio>
#include <cstdlib>

#include "fuzz/ArchiveChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = fuzzing::CheckJournalBytes(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "broken promise: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
