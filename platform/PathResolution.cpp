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
// otherwise the first entry in byte order that equals it ignoring case.
std::optional<std::string> FindInDirectory(int dir, const std::string& component,
                                           ResolutionCache* cache) {
  struct stat info;
  if (component == "." || component == ".." ||
      ::fstatat(dir, component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    return component;
  }
  if (cache != nullptr) return cache->FindIgnoringCase(dir, component);
  DirectoryStream stream = OpenDirectory(dir, ".");
  if (!stream) return std::nullopt;
  std::optional<std::string> best;
  errno = 0;
  while (const dirent* entry = ::readdir(stream.get())) {
    std::string_view name = entry->d_name;
    if (EqualsIgnoringCase(name, component) && (!best || name < *best)) best = std::string(name);
  }
  // errno says why there is no match: the listing broke off, or no such name.
  if (!best && errno == 0) errno = ENOENT;
  return best;
}

// The part of path before its last component, without the slashes that end
// it.
std::string DirectoryPart(const std::string& path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return std::string();
  const size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return std::string();
  const size_t last = path.find_last_not_of('/', slash);
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
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
  if (::fstatat(AT_FDCWD, native.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    Location location{Descriptor(), native, native};
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
      Location location{std::move(parent), std::move(found), std::move(whole)};
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
    here.dir = Descriptor(::open("/", kWalkFlags));
    if (!here.dir.IsOpen()) return std::nullopt;
    here.path.push_back('/');
  }
  std::vector<std::string> components = SplitComponents(native.substr(walked));
  if (components.empty()) return std::nullopt;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    std::optional<std::string> name = FindInDirectory(here.Dir(), components[i], cache);
    if (!name) return std::nullopt;
    Descriptor next(::openat(here.Dir(), name->c_str(), kWalkFlags));
    if (!next.IsOpen()) return std::nullopt;
    here.dir = std::move(next);
    here.path += *name + "/";
  }
  if (cache != nullptr && components.size() > 1) cache->RememberWalk(DirectoryPart(native), here);
  std::optional<std::string> name = FindInDirectory(here.Dir(), components.back(), cache);
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
  if (slash == std::string::npos) return Location{Descriptor(), native, native};
  std::optional<Location> dir =
      Resolve(slash == 0 ? "/" : native.substr(0, slash), LastComponent::MustExist, cache);
  if (!dir) return std::nullopt;
  Descriptor fd(::openat(dir->Dir(), dir->name.c_str(), kWalkFlags));
  if (!fd.IsOpen()) return std::nullopt;
  std::string name = native.substr(slash + 1);
  std::string whole = (slash == 0 ? std::string() : dir->path) + "/" + name;
  return Location{std::move(fd), std::move(name), std::move(whole)};
}

}  // namespace platform::native
