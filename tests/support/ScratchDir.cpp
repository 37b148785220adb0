// Temporary directories for tests.
#include "support/ScratchDir.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace testing_support {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korvat-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Restore write permission on anything a test made read-only first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing_support
