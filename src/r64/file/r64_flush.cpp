// Flushing a handle: writes back every dirty tile of the ring, most recently used
// first, stopping at the first write-back that fails. Relies on _r64_flush.
#include "r64/file/r64_cache.h"

extern "C" {

int r64_flush(R64_FILE *f) {
    R64_CACHE_ENT *sentinel = &f->cache[0];
    for (R64_CACHE_ENT *e = sentinel->next; e != sentinel; e = e->next) {
        if ((e->flags & r64::kDirty) != 0 && _r64_flush(f, e) != 0) {
            return -1;
        }
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
