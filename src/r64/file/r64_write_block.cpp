// Writing a rectangle of pixels from the caller's buffer into one level, tile by tile
// through the cache; every tile touched is marked dirty, as r64_set marks it. The whole
// rectangle is checked against the level before anything is written.
// Relies on r64_block.h for the tiles a rectangle meets and r64_cache.h for the lookup.
#include <cstring>

#include "r64/file/r64_block.h"

extern "C" {

int r64_write_block(R64_FILE *f, int x, int y, int w, int h, int level, const unsigned char *buf,
                    size_t stride) {
    if (!r64::level_exists(f, level)) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    if (w < 0 || h < 0 || x < 0 || y < 0 || int64_t{x} + w > f->level_w[level] ||
        int64_t{y} + h > f->level_h[level]) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    r64_error = R64_OK;
    if (w == 0 || h == 0) {
        return 0;
    }
    const char type = f->header.type;
    const int bpp = r64::pixel_type_of(f).pixel_bytes;
    const int rc = r64::for_each_tile(
        f, level, x, y, w, h, [&](R64_CACHE_ENT *e, r64::AxisSpan rows, r64::AxisSpan cols) {
            auto *tile = reinterpret_cast<unsigned char *>(e->buf);
            const uint32_t row_bytes = r64::tile_row_bytes(type, e->w_len);
            const auto n = static_cast<size_t>(cols.hi - cols.lo);
            const auto sx0 = static_cast<int>(cols.lo - e->w_ofs);
            for (int64_t r = rows.lo; r < rows.hi; ++r) {
                unsigned char *dst = tile + static_cast<uint32_t>(r - e->h_ofs) * row_bytes;
                const unsigned char *src = buf + static_cast<size_t>(r - y) * stride +
                                           static_cast<size_t>(cols.lo - x) * bpp;
                if (type != 'B') {
                    std::memcpy(dst + sx0 * bpp, src, n * static_cast<size_t>(bpp));
                    continue;
                }
                for (size_t c = 0; c < n; ++c) {
                    const int sx = sx0 + static_cast<int>(c);
                    const unsigned char bit = r64::bit_mask_of(sx);
                    dst[sx >> 3] = static_cast<unsigned char>(src[c] != 0 ? dst[sx >> 3] | bit
                                                                          : dst[sx >> 3] & ~bit);
                }
            }
            e->flags |= r64::kDirty;
        });
    if (rc != 0) {
        return -1;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
