// The allocator the transforms take their root table and their results from. It is
// malloc; the tests replace it to reach the paths where memory runs out.
#ifndef R64_SRC_FFT_TRANSFORM_ALLOC_H
#define R64_SRC_FFT_TRANSFORM_ALLOC_H

#include <cstddef>

namespace r64 {

extern void *(*transform_alloc)(std::size_t bytes);

} // namespace r64

#endif
