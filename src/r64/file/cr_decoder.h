// The decoder's counters, for tests and tools that check how much work a read
// took: the number of tiles decoded so far and the size of the tile cache.
#ifndef R64_SRC_CR_DECODER_H
#define R64_SRC_CR_DECODER_H

#include <cstddef>

#include "r64/r64.h"

namespace r64 {

long cr_decoder_tiles_decoded(const CR_DECODER *d);
std::size_t cr_decoder_capacity(const CR_DECODER *d);

} // namespace r64

#endif
