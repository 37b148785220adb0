// What one command's path resolution remembers: directory listings for the
// searches ignoring case, and where its last walks ended.
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

std::optional<ResolutionCache::Key> ResolutionCache::KeyOf(int dir, const std::string& name) {
  struct stat info;
  const int flags = name.empty() ? AT_EMPTY_PATH : 0;
  if (::fstatat(dir, name.c_str(), &info, flags) != 0 || !S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  return Key{uint64_t(info.st_dev), uint64_t(info.st_ino)};
}

std::optional<std::string> ResolutionCache::FindIgnoringCase(int dir,
                                                             const std::string& component) {
  const std::optional<Key> key = KeyOf(dir, "");
  if (!key) return std::nullopt;
  const std::lock_guard<std::mutex> hold(lock_);
  auto listing = listings_.find(*key);
  if (listing == listings_.end()) {
    // Listed under the lock, so no creation of this command can slip in
    // between the listing and its use.
    DirectoryStream stream = OpenDirectory(dir, ".");
    if (!stream) return std::nullopt;
    Names names;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(stream.get());
      if (entry == nullptr) {
        if (errno != 0) return std::nullopt;  // the listing broke off
        break;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names[Folded(name)].emplace_back(name);
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
void ResolutionCache::Update(int dir, const std::string& name, Change change) {
  const KeepErrno keep;
  std::string_view path = name;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  const std::string_view leaf = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (leaf.empty() || leaf == "." || leaf == "..") return;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    if (listings_.empty()) return;  // nothing listed, nothing to keep current
  }
  const std::string parent(slash == std::string_view::npos ? std::string_view()
                           : slash == 0                    ? std::string_view("/")
                                                           : path.substr(0, slash));
  const std::optional<Key> key = KeyOf(dir, parent);
  if (!key) return;
  const std::lock_guard<std::mutex> hold(lock_);
  const auto listing = listings_.find(*key);
  if (listing != listings_.end()) change(listing->second[Folded(leaf)], leaf);
}

void ResolutionCache::Added(int dir, const std::string& name) {
  Update(dir, name, [](std::vector<std::string>& names, std::string_view leaf) {
    if (std::find(names.begin(), names.end(), leaf) == names.end()) names.emplace_back(leaf);
  });
}

void ResolutionCache::Removed(int dir, const std::string& name) {
  Update(dir, name, [](std::vector<std::string>& names, std::string_view leaf) {
    names.erase(std::remove(names.begin(), names.end(), leaf), names.end());
  });
}

std::optional<Location> ResolutionCache::StartOfWalk(const std::string& path, size_t& consumed) {
  const std::lock_guard<std::mutex> hold(lock_);
  const Walk* best = nullptr;
  for (const Walk& walk : walks_) {
    const size_t n = walk.given.size();
    if (walk.dir.IsOpen() && n > 0 && path.size() > n && path[n] == '/' &&
        path.compare(0, n, walk.given) == 0 && (best == nullptr || n > best->given.size())) {
      best = &walk;
    }
  }
  if (best == nullptr) return std::nullopt;
  Descriptor dir(::fcntl(best->dir.Get(), F_DUPFD_CLOEXEC, 0));
  if (!dir.IsOpen()) return std::nullopt;
  consumed = best->given.size();
  Location start;
  start.dir = std::move(dir);
  start.path = best->path;
  return start;
}

void ResolutionCache::RememberWalk(const std::string& given, const Location& at) {
  if (given.empty() || !at.dir.IsOpen()) return;
  const KeepErrno keep;
  Descriptor dir(::fcntl(at.dir.Get(), F_DUPFD_CLOEXEC, 0));
  if (!dir.IsOpen()) return;
  const std::lock_guard<std::mutex> hold(lock_);
  auto slot = std::find_if(walks_.begin(), walks_.end(),
                           [&](const Walk& walk) { return walk.given == given; });
  if (slot == walks_.end()) slot = walks_.begin() + std::ptrdiff_t(nextWalk_++ % walks_.size());
  *slot = Walk{given, std::move(dir), at.path};
}

void ResolutionCache::ForgetWalks() {
  const std::lock_guard<std::mutex> hold(lock_);
  for (Walk& walk : walks_) walk = Walk{};
}

bool ResolutionCache::RemembersWalks() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return std::any_of(walks_.begin(), walks_.end(), [](const Walk& walk) { return walk.dir.IsOpen(); });
}

size_t ResolutionCache::Listings() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return listingsMade_;
}

}  // namespace platform::native
