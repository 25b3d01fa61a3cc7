// Ownership of buffers that come from (or go to) the C allocator: a unique_ptr
// that releases with free, so buffers handed across the C boundary and those
// returned by the codecs are freed on every path.
#ifndef R64_SRC_MALLOC_BUFFER_H
#define R64_SRC_MALLOC_BUFFER_H

#include <cstdlib>
#include <memory>

namespace r64 {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

template <typename T> using MallocBuffer = std::unique_ptr<T[], FreeDeleter>;

// n elements from malloc, or an empty buffer when there is no memory.
template <typename T> MallocBuffer<T> malloc_buffer(std::size_t n) {
    return MallocBuffer<T>(static_cast<T *>(std::malloc(n * sizeof(T))));
}

} // namespace r64

#endif
