// Name normalisation, the bucket hash and the choice of bucket count.
#include "archive/Names.h"

#include <array>

namespace GAME::names {

void NormalizeName(const char* path, std::string& out) {
  if (path == nullptr || path[0] == '\0') return;
  out = path;
  for (char& c : out) {
    if (c == '\\') {
      c = '/';
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  if (!out.empty() && out.front() == '.') out.erase(0, 1);
  if (!out.empty() && out.front() == '/') out.erase(0, 1);
}

uint32_t HashValue(const char* name, uint32_t length) {
  // Bytes count as signed 8-bit values; arithmetic wraps modulo 2^32.
  auto b = [name](uint32_t i) { return static_cast<uint32_t>(static_cast<signed char>(name[i])); };
  const uint32_t n = length;
  if (n < 6) return (b(n - 1) * 256u + b(0)) * 256u + n;
  uint32_t v = b(n - 6);
  for (uint32_t x : {b(n - 5), b(n - 1), b(n - 1 - n / 8), b(n / 2), b(0), n}) v = v * 16u + x;
  return v;
}

uint32_t TableSizeFor(uint32_t entryCount) {
  static constexpr std::array<uint32_t, 17> kPrimes = {31,   73,   127,  283,  419,  739,
                                                       1019, 1453, 2063, 3001, 4001, 5009,
                                                       6067, 7001, 8009, 9011, 10007};
  for (uint32_t p : kPrimes) {
    if (entryCount / 4 <= p) return p;
  }
  return kPrimes.back();
}

}  // namespace GAME::names
