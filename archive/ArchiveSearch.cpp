// The name suffix search: every entry whose name ends with a given text,
// ASCII letters compared without regard to case.
#include <string>

#include "archive/Archive.h"
#include "archive/Format.h"

namespace GAME {

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Inactive entries have no name and never match, not even the empty pattern.
bool NameEndsWith(const Archive::FileEntry& entry, const std::string& pattern) {
  if (!(entry.flags & format::kFlagActive) || entry.name == nullptr) return false;
  if (entry.nameLength < pattern.size()) return false;
  const char* tail = entry.name + (entry.nameLength - pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (AsciiLower(tail[i]) != AsciiLower(pattern[i])) return false;
  }
  return true;
}

}  // namespace

unsigned int Archive::FindMatchingFilesEnd(mem::vector<int>& result, const std::string& pattern) {
  unsigned int count = 0;
  for (const FileEntry& entry : entries) count += NameEndsWith(entry, pattern) ? 1 : 0;
  // Capacity for the matches alone: elements already held may still make the
  // vector grow while appending.
  result.reserve(count);
  if (count == 0) return 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (NameEndsWith(entries[i], pattern)) result.push_back(static_cast<int>(i));
  }
  return count;
}

}  // namespace GAME
