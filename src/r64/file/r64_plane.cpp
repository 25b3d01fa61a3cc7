// Handing out the cache's own buffer of the tile that holds a pixel, with the tile's
// size and byte count; the caller reads it in place. Relies on r64_cache.h.
#include "r64/file/r64_cache.h"

extern "C" {

int r64_plane(char **data, int *w, int *h, int *size, R64_FILE *f, int x, int y, int level) {
    if (!r64::level_exists(f, level)) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    if (!r64::inside_level(f, level, x, y)) {
        *data = nullptr;
        r64_error = R64_OK;
        return 0;
    }
    const R64_CACHE_ENT *e = r64::find_tile(f, x, y, level);
    if (e == nullptr) {
        return -1;
    }
    *w = e->w_len;
    *h = e->h_len;
    *data = e->buf;
    *size = static_cast<int>(r64::entry_byte_len(f, e));
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
