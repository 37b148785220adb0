// Inflating one stored part: a whole zlib stream whose inflated size the
// index already states. libdeflate inflates such whole buffers about three
// times as fast as zlib's streaming inflate; where the build has no
// libdeflate, zlib does the same job. Compression always stays with zlib, so
// archives are byte for byte the same either way.
#pragma once

#include <cstddef>

namespace GAME {

// Inflates the zlib stream at the start of stored (storedSize bytes, which
// may run on past the stream) into out. True when it is a sound stream that
// inflates to exactly realSize bytes; *consumed (may be null) then receives
// the bytes of stored the stream took. Throws std::bad_alloc only when the
// inflater's state cannot be allocated.
bool InflatePart(const unsigned char* stored, size_t storedSize, unsigned char* out,
                 size_t realSize, size_t* consumed);

// The same with zlib's inflate, whatever the build has.
bool InflatePartWithZlib(const unsigned char* stored, size_t storedSize, unsigned char* out,
                         size_t realSize, size_t* consumed);

}  // namespace GAME
