// Case-insensitive resolution of the paths the native file system receives.
#include <sys/stat.h>

#include <cerrno>

#include <vector>

#include "platform/Native.h"

namespace platform::native {
namespace {

constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

// The name in dir that stands for component: itself when it exists exactly,
// otherwise the first entry in byte order that equals it ignoring case. own
// gets what lstat said of an exact match. key, when known, is dir's.
std::optional<std::string> FindInDirectory(int dir, const std::string& component,
                                           ResolutionCache* cache,
                                           std::optional<DirectoryKey> key = std::nullopt,
                                           std::optional<struct stat>* own = nullptr) {
  struct stat info;
  if (component == "." || component == "..") return component;
  if (::fstatat(dir, component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (own != nullptr) *own = info;
    return component;
  }
  if (cache != nullptr) return cache->FindIgnoringCase(dir, component, key);
  DirectoryStream stream = OpenDirectory(dir, ".");
  if (!stream) return std::nullopt;
  std::optional<std::string> best;
  const bool whole = ForEachName(stream.get(), [&](std::string_view name) {
    if (EqualsIgnoringCase(name, component) && (!best || name < *best)) best = std::string(name);
  });
  // errno says why there is no match: the listing broke off, or no such name.
  if (!best && whole) errno = ENOENT;
  return best;
}

// Opens the directory at names (which exists; own is what lstat said of it,
// when known) for the cache to keep.
std::optional<ResolutionCache::Directory> OpenForCache(const Location& at,
                                                       std::optional<struct stat> own) {
  ResolutionCache::Directory directory;
  if (own) {
    directory.own = *own;
  } else if (::fstatat(at.Dir(), at.name.c_str(), &directory.own, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  Descriptor fd(::openat(at.Dir(), at.name.c_str(), kWalkFlags));
  struct stat info;
  if (!fd.IsOpen() || ::fstat(fd.Get(), &info) != 0) return std::nullopt;
  directory.fd = Shared(std::move(fd));
  directory.key = DirectoryKey{uint64_t(info.st_dev), uint64_t(info.st_ino)};
  directory.path = at.path;
  if (directory.path.empty() || directory.path.back() != '/') directory.path += '/';
  return directory;
}

// Resolve with a cache: from the deepest directory along path that the cache
// holds (else from the first component), remembering every directory the
// walk passes. path has slashes only, and no '/' at its end.
std::optional<Location> ResolveThroughCache(const std::string& path, LastComponent last,
                                            ResolutionCache& cache) {
  Location here;
  size_t at = 0;  // the bytes of path walked so far
  if (std::optional<Location> start = cache.StartOfWalk(path, at)) {
    here = std::move(*start);
  } else if (path.front() == '/') {
    std::optional<ResolutionCache::Directory> root = cache.Find("/");
    if (!root) {
      Location top;
      top.name.assign(1, '/');  // assign: g++ 12 at -O3 warns falsely of "/"
      top.path = top.name;
      root = OpenForCache(top, std::nullopt);
      if (!root) return std::nullopt;
      cache.Remember("/", *root);
    }
    here.dir = root->fd;
    here.path = root->path;
    here.dirKey = root->key;
  }
  for (;;) {
    while (at < path.size() && path[at] == '/') ++at;
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(at, end - at);
    std::optional<struct stat> own;
    const std::optional<std::string> name =
        FindInDirectory(here.Dir(), component, &cache, here.dirKey, &own);
    if (end == path.size()) {
      if (!name && last == LastComponent::MustExist) return std::nullopt;
      here.exists = name.has_value();
      here.name = name ? *name : component;
      here.path += here.name;
      here.own = own;
      return here;
    }
    if (!name) return std::nullopt;
    Location step;
    step.dir = here.dir;
    step.name = *name;
    step.path = here.path + *name;
    std::optional<ResolutionCache::Directory> directory = OpenForCache(step, own);
    if (!directory) return std::nullopt;
    cache.Remember(path.substr(0, end), *directory);
    here.dir = std::move(directory->fd);
    here.path = std::move(directory->path);
    here.dirKey = directory->key;
    at = end;
  }
}

}  // namespace

DirectoryStream OpenDirectory(int dir, const std::string& name) {
  Descriptor fd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.IsOpen()) return nullptr;
  DirectoryStream stream(::fdopendir(fd.Get()));
  if (stream) fd.Release();  // the stream owns the descriptor now
  return stream;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

std::string WithSlashes(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::optional<Location> Resolve(const std::string& path, LastComponent last,
                                ResolutionCache* cache) {
  std::string native = WithSlashes(path);
  struct stat info;
  if (native.empty()) return std::nullopt;
  if (cache != nullptr && native.back() != '/') return ResolveThroughCache(native, last, *cache);
  if (::fstatat(AT_FDCWD, native.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    Location location{nullptr, native, native};
    location.exists = true;
    location.own = info;
    return location;
  }
  // Most such paths name a new file in a directory that exists exactly: the
  // walk would keep each of its components as written, so only the last one
  // needs a search.
  const size_t slash = native.rfind('/');
  if (slash != std::string::npos && slash + 1 < native.size()) {
    Descriptor parent(::openat(AT_FDCWD, slash == 0 ? "/" : native.substr(0, slash).c_str(),
                               kWalkFlags));
    if (parent.IsOpen()) {
      std::optional<std::string> name =
          FindInDirectory(parent.Get(), native.substr(slash + 1), cache);
      if (!name && last == LastComponent::MustExist) return std::nullopt;
      std::string found = name ? *name : native.substr(slash + 1);
      std::string whole = native.substr(0, slash + 1) + found;
      Location location{Shared(std::move(parent)), std::move(found), std::move(whole)};
      location.exists = name.has_value();
      return location;
    }
  }
  // A walk from the first component, or from where an earlier walk over the
  // same leading directories ended.
  Location here;
  size_t walked = 0;
  if (cache != nullptr) {
    if (std::optional<Location> start = cache->StartOfWalk(native, walked)) here = std::move(*start);
  }
  if (walked == 0 && native.front() == '/') {
    Descriptor root(::open("/", kWalkFlags));
    if (!root.IsOpen()) return std::nullopt;
    here.dir = Shared(std::move(root));
    here.path.push_back('/');
  }
  std::vector<std::string> components = SplitComponents(native.substr(walked));
  if (components.empty()) return std::nullopt;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    std::optional<std::string> name =
        FindInDirectory(here.Dir(), components[i], cache, here.dirKey);
    if (!name) return std::nullopt;
    Descriptor next(::openat(here.Dir(), name->c_str(), kWalkFlags));
    if (!next.IsOpen()) return std::nullopt;
    here.dir = Shared(std::move(next));
    here.dirKey.reset();
    here.path += *name + "/";
  }
  std::optional<std::string> name =
      FindInDirectory(here.Dir(), components.back(), cache, here.dirKey);
  if (!name && last == LastComponent::MustExist) return std::nullopt;
  here.exists = name.has_value();
  here.name = name ? *name : components.back();
  if (native.back() == '/') here.name += '/';
  here.path += here.name;
  return here;
}

std::optional<Location> ResolveDirectory(const std::string& path, ResolutionCache* cache) {
  const std::string native = WithSlashes(path);
  const size_t slash = native.rfind('/');
  if (native.empty() || slash + 1 == native.size()) return std::nullopt;
  if (slash == std::string::npos) return Location{nullptr, native, native};
  std::string name = native.substr(slash + 1);
  if (cache != nullptr) {
    // The directory itself, remembered once made out.
    const std::string given = slash == 0 ? "/" : native.substr(0, slash);
    std::optional<ResolutionCache::Directory> directory = cache->Find(given);
    if (!directory) {
      std::optional<Location> at = Resolve(given, LastComponent::MustExist, cache);
      if (at) directory = OpenForCache(*at, at->own);
      if (!directory) return std::nullopt;
      cache->Remember(given, *directory);
    }
    Location location{directory->fd, name, directory->path + name};
    location.dirKey = directory->key;
    return location;
  }
  std::optional<Location> dir =
      Resolve(slash == 0 ? "/" : native.substr(0, slash), LastComponent::MustExist, cache);
  if (!dir) return std::nullopt;
  Descriptor fd(::openat(dir->Dir(), dir->name.c_str(), kWalkFlags));
  if (!fd.IsOpen()) return std::nullopt;
  std::string whole = (slash == 0 ? std::string() : dir->path) + "/" + name;
  return Location{Shared(std::move(fd)), std::move(name), std::move(whole)};
}

}  // namespace platform::native
