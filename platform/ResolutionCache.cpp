// What one command's path resolution remembers: directory listings for the
// searches ignoring case, and the directories its paths led through.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/Native.h"

namespace platform::native {
namespace {

std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = ToLowerAscii(c);
  return folded;
}

// Keeps errno as it was when the scope began.
class KeepErrno {
 public:
  KeepErrno() : saved_(errno) {}
  KeepErrno(const KeepErrno&) = delete;
  KeepErrno& operator=(const KeepErrno&) = delete;
  ~KeepErrno() { errno = saved_; }

 private:
  int saved_;
};

}  // namespace

std::optional<DirectoryKey> ResolutionCache::KeyOf(int dir, const std::string& name) {
  struct stat info;
  const int flags = name.empty() ? AT_EMPTY_PATH : 0;
  if (::fstatat(dir, name.c_str(), &info, flags) != 0 || !S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  return DirectoryKey{uint64_t(info.st_dev), uint64_t(info.st_ino)};
}

std::optional<std::string> ResolutionCache::FindIgnoringCase(int dir, const std::string& component,
                                                             std::optional<DirectoryKey> key) {
  if (!key) key = KeyOf(dir, "");
  if (!key) return std::nullopt;
  const std::lock_guard<std::mutex> hold(lock_);
  auto listing = listings_.find(*key);
  if (listing == listings_.end()) {
    // Listed under the lock, so no creation of this command can slip in
    // between the listing and its use.
    DirectoryStream stream = OpenDirectory(dir, ".");
    if (!stream) return std::nullopt;
    Names names;
    if (!ForEachName(stream.get(),
                     [&](std::string_view name) { names[Folded(name)].emplace_back(name); })) {
      return std::nullopt;  // the listing broke off
    }
    ++listingsMade_;
    listing = listings_.emplace(*key, std::move(names)).first;
  }
  const auto found = listing->second.find(Folded(component));
  if (found == listing->second.end() || found->second.empty()) {
    errno = ENOENT;
    return std::nullopt;
  }
  return *std::min_element(found->second.begin(), found->second.end());
}

template <class Change>
void ResolutionCache::Update(const Location& location, Change change) {
  const KeepErrno keep;
  std::string_view path = location.name;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") return;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (listings_.empty()) return;  // nothing listed, nothing to keep current
  }
  std::optional<DirectoryKey> key;
  if (slash == std::string_view::npos && location.dirKey) {
    key = location.dirKey;
  } else {
    key = KeyOf(location.Dir(), std::string(slash == std::string_view::npos ? std::string_view()
                                            : slash == 0 ? std::string_view("/")
                                                         : path.substr(0, slash)));
  }
  if (!key) return;
  const std::lock_guard<std::mutex> hold(lock_);
  const auto listing = listings_.find(*key);
  if (listing != listings_.end()) change(listing->second[Folded(leaf)], leaf);
}

void ResolutionCache::Added(const Location& location) {
  Update(location, [](std::vector<std::string>& names, std::string_view leaf) {
    if (std::find(names.begin(), names.end(), leaf) == names.end()) names.emplace_back(leaf);
  });
}

void ResolutionCache::Removed(const Location& location) {
  Update(location, [](std::vector<std::string>& names, std::string_view leaf) {
    names.erase(std::remove(names.begin(), names.end(), leaf), names.end());
  });
}

std::optional<ResolutionCache::Directory> ResolutionCache::Find(const std::string& path) const {
  const std::lock_guard<std::mutex> hold(lock_);
  const auto found = directories_.find(path);
  if (found == directories_.end()) return std::nullopt;
  return found->second;
}

std::optional<Location> ResolutionCache::StartOfWalk(const std::string& path,
                                                     size_t& consumed) const {
  const std::lock_guard<std::mutex> hold(lock_);
  if (directories_.empty()) return std::nullopt;
  for (size_t n = path.rfind('/'); n != std::string::npos && n > 0; n = path.rfind('/', n - 1)) {
    const auto found = directories_.find(path.substr(0, n));
    if (found == directories_.end()) continue;
    consumed = n;
    Location start;
    start.dir = found->second.fd;
    start.path = found->second.path;
    start.dirKey = found->second.key;
    return start;
  }
  return std::nullopt;
}

void ResolutionCache::Remember(const std::string& given, Directory directory) {
  if (given.empty() || !directory.fd || !directory.fd->IsOpen()) return;
  const std::lock_guard<std::mutex> hold(lock_);
  const auto [slot, added] = directories_.insert_or_assign(given, std::move(directory));
  if (!added) return;
  if (remembered_.size() < kDirectories) {
    remembered_.push_back(given);
    return;
  }
  // Full: the oldest makes room (a resolution still using it keeps its
  // descriptor open until done).
  directories_.erase(remembered_[nextOut_]);
  remembered_[nextOut_] = given;
  nextOut_ = (nextOut_ + 1) % kDirectories;
}

void ResolutionCache::ForgetDirectories() {
  const std::lock_guard<std::mutex> hold(lock_);
  directories_.clear();
  remembered_.clear();
  nextOut_ = 0;
}

bool ResolutionCache::RemembersDirectories() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return !directories_.empty();
}

size_t ResolutionCache::Listings() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return listingsMade_;
}

}  // namespace platform::native
