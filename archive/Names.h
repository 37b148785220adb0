// Name normalisation and the bucket hash: the one stored and compared form of
// every name (ASCII lower case, '/' separators, one leading '.' and then one
// leading '/' removed), and the hash that places it in a bucket.
#pragma once

#include <cstdint>
#include <string>

namespace GAME::names {

// Writes the normalised form of path into out; a null or empty path leaves
// out as it was.
void NormalizeName(const char* path, std::string& out);

// The unreduced hash value of a name of length >= 1; the bucket is this
// value modulo the bucket count.
uint32_t HashValue(const char* name, uint32_t length);

// The bucket count for a table over entryCount entries: the first listed
// prime p with entryCount / 4 <= p, or the largest.
uint32_t TableSizeFor(uint32_t entryCount);

}  // namespace GAME::names
