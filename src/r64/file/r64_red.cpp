// Reading one pixel of a level through the tile cache. Outside the level the handle's
// rc_type decides: the background pixel (no cache access) or the nearest edge pixel.
// Relies on r64_cache.h for the tile lookup and the pixel's place in the tile.
#include <cstring>

#include "r64/file/r64_cache.h"

extern "C" {

int r64_red(unsigned char *buf, R64_FILE *f, int w, int h, int level) {
    if (!r64::level_exists(f, level)) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    const char type = f->header.type;
    if (!r64::inside_level(f, level, w, h)) {
        if (f->rc_type == 0) {
            std::memcpy(buf, f->background, type == 'P' ? 3 : 1);
            r64_error = R64_OK;
            return 0;
        }
        const int lw = f->level_w[level];
        const int lh = f->level_h[level];
        w = w < 0 ? 0 : (w >= lw ? lw - 1 : w);
        h = h < 0 ? 0 : (h >= lh ? lh - 1 : h);
    }
    const R64_CACHE_ENT *e = r64::find_tile(f, w, h, level);
    if (e == nullptr) {
        return -1;
    }
    const auto *p =
        reinterpret_cast<const unsigned char *>(e->buf) + r64::pixel_byte_offset(type, e, w, h);
    switch (type) {
    case 'P':
        buf[0] = p[0];
        buf[1] = p[1];
        buf[2] = p[2];
        break;
    case 'B':
        buf[0] = (p[0] & r64::bit_mask_of(w - e->w_ofs)) != 0 ? 0xFF : 0x00;
        break;
    default:
        buf[0] = p[0];
        break;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
