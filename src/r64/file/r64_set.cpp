// Writing one pixel of a level into its cached tile and marking the tile dirty; the
// file sees it when the tile is written back. No clamping: outside the level is -7.
// Relies on r64_cache.h for the tile lookup and the pixel's place in the tile.
#include "r64/file/r64_cache.h"

extern "C" {

int r64_set(R64_FILE *f, int w, int h, int level, const unsigned char *buf) {
    if (r64::check_pixel_address(f, level, w, h) != 0) {
        return -1;
    }
    const char type = f->header.type;
    R64_CACHE_ENT *e = r64::find_tile(f, w, h, level);
    if (e == nullptr) {
        return -1;
    }
    auto *p = reinterpret_cast<unsigned char *>(e->buf) + r64::pixel_byte_offset(type, e, w, h);
    switch (type) {
    case 'P':
        p[0] = buf[0];
        p[1] = buf[1];
        p[2] = buf[2];
        break;
    case 'B': {
        const unsigned char bit = r64::bit_mask_of(w - e->w_ofs);
        p[0] = static_cast<unsigned char>(buf[0] != 0 ? p[0] | bit : p[0] & ~bit);
        break;
    }
    default:
        p[0] = buf[0];
        break;
    }
    e->flags |= r64::kDirty;
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
