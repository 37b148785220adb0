// mem::vector: the growable contiguous array of the archive's public
// interface. It is the standard vector, whose layout (three pointers) and
// growth (reserve takes exactly what is asked; an append into full storage
// takes size + max(size, 1)) are what callers of the archive rely on.
#pragma once

#include <vector>

namespace mem {

template <class T>
using vector = std::vector<T>;

}  // namespace mem
