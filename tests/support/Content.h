// Deterministic file contents for tests: letters from a seeded generator, so
// every byte depends on its position and compressed parts differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testing_support {

inline std::string PatternedContent(size_t size, uint32_t seed) {
  std::string content(size, '\0');
  uint32_t x = seed;
  for (char& c : content) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>('a' + (x >> 16) % 26);
  }
  return content;
}

}  // namespace testing_support
