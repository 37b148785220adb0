// Name lookup: the hash table of active entries, FindFile and CalcStats.
// Chains run through the entries' next fields, newest link first; FindFile
// walks them until the name index kept beside them has paid for itself.
#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/NameIndex.h"
#include "archive/Names.h"

namespace GAME {

unsigned int Archive::HashName(const char* name, unsigned int length) const {
  // An empty name (only in a foreign file) has no hash; bucket 0 holds it.
  if (length == 0) return 0;
  return names::HashValue(name, length) % tableSize;
}

void Archive::BuildTable() {
  // The name index, once built, is rebuilt with the chains; until then only
  // the chains are.
  const bool indexed = nameIndex && nameIndex->Ready();
  auto linkAll = [this] {
    for (FileEntry& entry : entries) {
      entry.next = nullptr;
      if (entry.flags & format::kFlagActive) LinkEntry(entry);
    }
  };
  const uint32_t size = names::TableSizeFor(static_cast<uint32_t>(entries.size()));
  std::unique_ptr<FileEntry*[]> fresh;
  try {
    fresh = std::make_unique<FileEntry*[]>(size);
    if (!nameIndex) nameIndex = std::make_unique<NameIndex>();
    if (indexed) nameIndex->Reset(entries.size());
  } catch (const std::bad_alloc&) {
    // Entries may have moved: relink them into the buckets there are, so the
    // table stays usable when the exception leaves; lookups walk the chains.
    if (table) {
      std::fill_n(table.get(), tableSize, nullptr);
      if (nameIndex) nameIndex->Forget();
      linkAll();
    }
    throw;
  }
  tableSize = size;
  table = std::move(fresh);
  linkAll();
}

void Archive::LinkEntry(FileEntry& entry) {
  indexChanged = true;
  FileEntry*& head = table[HashName(entry.name, entry.nameLength)];
  entry.next = head;
  head = &entry;
  if (nameIndex->Ready()) {
    nameIndex->Insert({entry.name, entry.nameLength},
                      static_cast<uint32_t>(&entry - entries.data()));
  }
}

void Archive::UnlinkEntry(FileEntry& entry) {
  indexChanged = true;
  FileEntry** link = &table[HashName(entry.name, entry.nameLength)];
  while (*link != nullptr && *link != &entry) link = &(*link)->next;
  if (*link == &entry) *link = entry.next;
  entry.next = nullptr;
  if (nameIndex->Ready()) {
    nameIndex->Erase({entry.name, entry.nameLength},
                     static_cast<uint32_t>(&entry - entries.data()));
  }
}

int Archive::FindFile(const char* name) const {
  if (name == nullptr || !table) return -1;
  std::string normalized;
  names::NormalizeName(name, normalized);
  if (normalized.empty()) return -1;
  const auto nameOf = [this](uint32_t index) {
    const FileEntry& entry = entries[index];
    return std::string_view(entry.name, entry.nameLength);
  };
  if (nameIndex->Ready()) return nameIndex->Find(normalized, nameOf);

  // The chain's first match is the one linked last, which the name index
  // would give too.
  const auto length = static_cast<uint32_t>(normalized.size());
  int found = -1;
  uint64_t walked = 0;
  for (const FileEntry* entry = table[HashName(normalized.data(), length)]; entry != nullptr;
       entry = entry->next) {
    ++walked;
    if (entry->nameLength == length && std::memcmp(entry->name, normalized.data(), length) == 0) {
      found = static_cast<int>(entry - entries.data());
      break;
    }
  }
  if (nameIndex->Charge(walked, entries.size())) {
    // Each chain is inserted from its tail, so that its head comes last.
    nameIndex->BuildOnce(entries.size(), [this](NameIndex& index) {
      std::vector<uint32_t> chain;
      for (uint32_t bucket = 0; bucket < tableSize; ++bucket) {
        chain.clear();
        for (const FileEntry* entry = table[bucket]; entry != nullptr; entry = entry->next) {
          chain.push_back(static_cast<uint32_t>(entry - entries.data()));
        }
        for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
          index.Insert({entries[*at].name, entries[*at].nameLength}, *at);
        }
      }
    });
  }
  return found;
}

void Archive::CalcStats(Stats& stats) const {
  stats = Stats{};
  stats.fileEntries = static_cast<uint32_t>(entries.size());
  stats.tableSize = tableSize;
  for (const FileEntry& entry : entries) {
    if (entry.flags & format::kFlagActive) ++stats.activeFiles;
    if (entry.nameLength > stats.longestFilename) stats.longestFilename = entry.nameLength;
    stats.indexSize += entry.nameLength + format::kPartRecordSize * entry.numParts + 49;
  }
  uint32_t occupied = 0;
  for (uint32_t bucket = 0; table && bucket < tableSize; ++bucket) {
    uint32_t depth = 0;
    for (const FileEntry* entry = table[bucket]; entry != nullptr; entry = entry->next) ++depth;
    if (depth > stats.maxTableDepth) stats.maxTableDepth = depth;
    if (depth != 0) ++occupied;
  }
  stats.averageDepth =
      occupied == 0 ? 0.0f : static_cast<float>(double(stats.activeFiles) / double(occupied));
}

}  // namespace GAME
