// Conveniences for programs that drive the archive (build pipelines): an
// Open that does not create a mistyped archive and waits for a lock, removal
// by name and the listing of the active entries of one directory. Each is a
// thin layer over the methods of the description.
#include <chrono>
#include <string>
#include <thread>

#include "archive/Archive.h"
#include "archive/Format.h"
#include "archive/Names.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

// Between two attempts to take a lock another object holds.
constexpr unsigned int kLockRetryMs = 10;

}  // namespace

bool Archive::Open(const char* name, FileMode mode, unsigned int flags,
                   unsigned int lockTimeoutMs) {
  if (name == nullptr || name[0] == '\0') return Fail(ErrorCode::BadArgument, "no file name");
  if (mode == ModeWrite && !(flags & OpenCreate) && !fs->GetAttributes(name).exists) {
    return Fail(ErrorCode::NotFound, name);
  }
  const uint32_t start = fs->Milliseconds();
  for (;;) {
    if (Open(name, mode)) return true;
    if (LastError().code != ErrorCode::Locked || fs->Milliseconds() - start >= lockTimeoutMs) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kLockRetryMs));
  }
}

bool Archive::RemoveFileByName(const char* name) {
  if (!Writable()) return Fail(ErrorCode::NotOpen, "not open for writing");
  const int index = FindFile(name);
  return index >= 0 ? RemoveFile(index) : Fail(ErrorCode::NotFound, name ? name : "");
}

std::vector<int> Archive::ActiveFiles(const char* directory, bool recursive) const {
  std::string prefix;
  names::NormalizeName(directory, prefix);
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  if (!prefix.empty()) prefix += '/';
  std::vector<int> found;
  for (size_t i = 0; i < entries.size(); ++i) {
    const FileEntry& entry = entries[i];
    if (!(entry.flags & format::kFlagActive) || entry.name == nullptr) continue;
    const std::string_view name(entry.name, entry.nameLength);
    if (!name.starts_with(prefix)) continue;
    if (!recursive && name.find('/', prefix.size()) != std::string_view::npos) continue;
    found.push_back(static_cast<int>(i));
  }
  return found;
}

}  // namespace GAME
