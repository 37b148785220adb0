// Reaches the archive's internal state and operations that tests pin directly.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/Archive.h"

namespace GAME {

class ArchiveTestPeer {
 public:
  // The bytes its journal moves at a time from the next Open on.
  static void SetJournalChunk(Archive& a, uint32_t bytes) { a.journalChunk = bytes; }
  static std::vector<uint32_t> FreeEntries(const Archive& a) {
    return {a.freeEntries.begin(), a.freeEntries.end()};
  }
};

}  // namespace GAME
