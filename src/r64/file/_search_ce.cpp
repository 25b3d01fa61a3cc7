// Finding a cached tile: walks the ring from the most recently used entry and moves
// the match to the head, or has _r64_read load the tile. Relies on r64_cache.h for
// the ring helpers.
#include "r64/file/r64_cache.h"

extern "C" {

int _search_ce(R64_FILE *f, int w, int h, int level) {
    R64_CACHE_ENT *sentinel = &f->cache[0];
    for (R64_CACHE_ENT *e = sentinel->next; e != sentinel; e = e->next) {
        if (r64::entry_holds(e, w, h, level)) {
            if (e != sentinel->next) {
                r64::ring_unlink(e);
                r64::ring_push_head(f, e);
            }
            return 0;
        }
    }
    return _r64_read(f, w, h, level);
}

} // extern "C"
