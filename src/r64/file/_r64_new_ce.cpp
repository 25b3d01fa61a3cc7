// Taking a cache entry for a new tile: free entries first (in index order from open),
// then the least recently used entry of the ring, written back first when dirty, and
// taken out of the tile index. Relies on _r64_flush for the write-back and r64_cache.h
// for the ring helpers and the index.
#include "r64/file/r64_cache.h"

extern "C" {

int _new_ce(R64_FILE *f) {
    R64_CACHE_ENT *sentinel = &f->cache[0];
    R64_CACHE_ENT *e = f->free_list;
    if (e != nullptr) {
        if (e->buf == nullptr) {
            // A handle opened before r64_init has no tile buffers to load into.
            r64_error = R64_ERR_NOMEM;
            return -1;
        }
        f->free_list = e->next;
    } else {
        e = sentinel->prev;
        if (e == sentinel) {
            // No free entry and an empty ring: the handle has no tile buffers, and
            // taking the sentinel would corrupt the ring.
            r64_error = R64_ERR_NOMEM;
            return -1;
        }
        if ((e->flags & r64::kDirty) != 0 && _r64_flush(f, e) != 0) {
            return -1; // still dirty, still in place
        }
        r64::ring_unlink(e);
        if (f->priv != nullptr) {
            f->priv->index.erase(f, e);
        }
    }
    r64::ring_push_head(f, e);
    return 0;
}

} // extern "C"
