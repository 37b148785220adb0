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
  // True when the chains hold exactly the active entries, each once and in
  // the bucket of its name.
  static bool TableIsSound(const Archive& a) {
    size_t active = 0, linked = 0;
    for (const Archive::FileEntry& e : a.entries) active += e.flags & 1;
    for (uint32_t bucket = 0; bucket < a.tableSize; ++bucket) {
      for (const Archive::FileEntry* e = a.table[bucket]; e != nullptr; e = e->next) {
        const bool inside = e >= a.entries.data() && e < a.entries.data() + a.entries.size();
        if (!inside || !(e->flags & 1) || a.HashName(e->name, e->nameLength) != bucket ||
            ++linked > active) {
          return false;
        }
      }
    }
    return linked == active;
  }
};

}  // namespace GAME
