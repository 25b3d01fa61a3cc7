// Starting a streaming pyramid on a fresh handle: checks that nothing has been written
// or cached through it (the writer bypasses the cache, and a stale cached tile would
// later overwrite its bytes), then prepares every level's bands (pyramid_writer.h).
#include <memory>
#include <new>

#include "r64/file/pyramid_writer.h"
#include "r64/file/r64_io.h"

extern "C" {

R64_PYRAMID *r64_begin_pyramid(R64_FILE *f, int filter) {
    if (f == nullptr || (filter != R64_FILTER_AVERAGE && filter != R64_FILTER_FOURIER) ||
        f->fctl == 0 || f->cache[0].next != &f->cache[0]) {
        r64_error = R64_ERR_CTL;
        return nullptr;
    }
    const int64_t length = r64::file_length(f);
    if (length < 0) {
        return nullptr;
    }
    if (length != static_cast<int64_t>(sizeof(R64_HEADER))) {
        r64_error = R64_ERR_CTL;
        return nullptr;
    }
    std::unique_ptr<r64_pyramid> p;
    try {
        p = std::make_unique<r64_pyramid>();
    } catch (const std::bad_alloc &) {
        r64_error = R64_ERR_NOMEM;
        return nullptr;
    }
    if (!p->prepare(f, filter)) {
        return nullptr;
    }
    r64_error = R64_OK;
    return p.release();
}

} // extern "C"
