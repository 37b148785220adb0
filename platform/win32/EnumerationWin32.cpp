// Directory enumeration by wildcard pattern on Windows: the system matches
// the pattern (ignoring case); the entries are then sorted as on Linux, so
// one tree always enumerates, and archives, the same way.
#include <algorithm>

#include "platform/win32/Win32.h"

namespace platform::win32 {
namespace {

struct SearchCloser {
  void operator()(HANDLE search) const { ::FindClose(search); }
};

bool IsLink(const WIN32_FIND_DATAW& found) {
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
          found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

}  // namespace

std::optional<std::vector<DirEntry>> Enumerate(const std::string& pattern) {
  const std::optional<std::wstring> name = SystemPath(pattern);
  if (!name) return std::nullopt;
  WIN32_FIND_DATAW found;
  HANDLE first =
      ::FindFirstFileExW(name->c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  std::vector<DirEntry> entries;
  if (first == INVALID_HANDLE_VALUE) {
    // The directory is there but nothing in it matches.
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return entries;
    return std::nullopt;
  }
  const std::unique_ptr<void, SearchCloser> search(first);
  do {
    const std::wstring entryName = found.cFileName;
    if (entryName == L"." || entryName == L"..") continue;
    DirEntry entry;
    entry.name = Narrow(entryName);
    entry.isLink = IsLink(found);
    entry.isDirectory = !entry.isLink && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      entry.sizeLow = found.nFileSizeLow;
    entries.push_back(std::move(entry));
  } while (::FindNextFileW(search.get(), &found));
  if (::GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;  // the listing broke off
  std::sort(entries.begin(), entries.end(), EnumerationLess);
  return entries;
}

}  // namespace platform::win32
