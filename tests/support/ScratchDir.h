// A fresh, empty temporary directory for one test, removed with everything
// in it when the test ends; and the listing of a directory tree.
#pragma once

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

class ScratchDir {
 public:
  ScratchDir() {
    // A name no other test (or run) has taken: create_directory is false when
    // it exists, and throws when it cannot make it.
    std::random_device random;
    do {
      path_ = std::filesystem::temp_directory_path() / ("korvat-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~ScratchDir() {
    namespace fs = std::filesystem;
    std::error_code ignored;  // restores write permission on what a test made read-only first
    for (fs::recursive_directory_iterator it(path_, ignored), end; it != end;
         it.increment(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The path of name inside the directory, as a string.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Every path below root, relative to it, sorted.
inline std::vector<std::string> Tree(const std::filesystem::path& root) {
  std::vector<std::string> out;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    out.push_back(item.path().lexically_relative(root).generic_string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace testing_support
