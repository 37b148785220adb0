// Directory enumeration by wildcard pattern for the native file system, in a
// fixed order so that one tree always enumerates the same way.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/Native.h"

namespace platform::native {
namespace {

// Describes the entry name of the open directory dir; nullopt when it has
// vanished since it was listed.
std::optional<DirEntry> Describe(int dir, const char* name) {
  struct stat own;
  if (::fstatat(dir, name, &own, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  DirEntry entry;
  entry.name = name;
  entry.isDirectory = S_ISDIR(own.st_mode);
  entry.isLink = S_ISLNK(own.st_mode);
  struct stat target = own;
  if (entry.isLink && ::fstatat(dir, name, &target, 0) != 0) return entry;  // dangling link
  if (S_ISREG(target.st_mode)) entry.sizeLow = uint32_t(uint64_t(target.st_size));
  return entry;
}

}  // namespace

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (pattern == "*.*") return true;
  // Greedy matching that backtracks to the last '*' on a mismatch.
  size_t n = 0, p = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || ToLowerAscii(pattern[p]) == ToLowerAscii(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::optional<std::vector<DirEntry>> Enumerate(const std::string& pattern,
                                               ResolutionCache* cache) {
  std::string native = WithSlashes(pattern);
  size_t slash = native.rfind('/');
  std::string directory = slash == std::string::npos ? "." : native.substr(0, slash);
  if (directory.empty()) directory.push_back('/');  // the root
  std::string_view mask =
      std::string_view(native).substr(slash == std::string::npos ? 0 : slash + 1);

  std::optional<Location> location = Resolve(directory, LastComponent::MustExist, cache);
  if (!location) return std::nullopt;
  DirectoryStream stream = OpenDirectory(location->Dir(), location->name);
  if (!stream) return std::nullopt;

  std::vector<DirEntry> entries;
  const int dir = ::dirfd(stream.get());
  const bool whole = ForEachName(stream.get(), [&](std::string_view name) {
    if (!MatchesPattern(name, mask)) return;
    if (std::optional<DirEntry> entry = Describe(dir, name.data())) {
      entries.push_back(std::move(*entry));
    }
  });
  if (!whole) return std::nullopt;  // the listing broke off
  std::sort(entries.begin(), entries.end(), EnumerationLess);
  return entries;
}

}  // namespace platform::native
