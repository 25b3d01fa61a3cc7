// Finding a cached tile: looks the tile up in the handle's tile index (a walk of the ring
// from the most recently used entry for a handle without one) and moves the match to the
// head, or has _r64_read load the tile. Relies on r64_cache.h for the ring helpers and
// the index, and r64_geometry.h for the level test.
#include "r64/file/r64_cache.h"

namespace {

R64_CACHE_ENT *walk_ring(R64_FILE *f, int level, int x0, int y0) {
    R64_CACHE_ENT *sentinel = &f->cache[0];
    for (R64_CACHE_ENT *e = sentinel->next; e != sentinel; e = e->next) {
        if (e->w_ofs == x0 && e->h_ofs == y0 && e->level == level) {
            return e;
        }
    }
    return nullptr;
}

} // namespace

extern "C" {

int _search_ce(R64_FILE *f, int w, int h, int level) {
    // Entries only ever hold in-level pixels: a point outside the level (or a level that
    // does not belong) matches none, and _r64_read reports it.
    if (!r64::level_exists(f, level) || !r64::inside_level(f, level, w, h)) {
        return _r64_read(f, w, h, level);
    }
    // Inside the level, the entry holding the pixel is the one whose tile starts at the
    // pixel's 64-pixel grid corner.
    const int x0 = w & ~(r64::kTile - 1);
    const int y0 = h & ~(r64::kTile - 1);
    R64_CACHE_ENT *e =
        f->priv != nullptr ? f->priv->index.find(f, level, x0, y0) : walk_ring(f, level, x0, y0);
    if (e == nullptr) {
        return _r64_read(f, w, h, level);
    }
    if (e != f->cache[0].next) {
        r64::ring_unlink(e);
        r64::ring_push_head(f, e);
    }
    return 0;
}

} // extern "C"
