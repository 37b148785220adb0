// Reaches the archive's internal operations that tests pin directly.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/Archive.h"

namespace GAME {

class ArchiveTestPeer {
 public:
  static int FindFreeEntry(const Archive& a, unsigned int size) { return a.FindFreeEntry(size); }
  static std::vector<uint32_t> FreeEntries(const Archive& a) {
    return {a.freeEntries.begin(), a.freeEntries.end()};
  }
  static size_t Capacity(const Archive& a) { return a.entries.capacity(); }
};

}  // namespace GAME
