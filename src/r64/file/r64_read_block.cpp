// Reading a rectangle of pixels of one level into the caller's buffer, tile by tile
// through the cache. Pixels outside the level are what r64_red gives for them: the
// background pixel (rc_type 0, without touching the cache) or the nearest edge pixel.
// Relies on r64_block.h for the tiles a rectangle meets and r64_cache.h for the lookup.
#include <algorithm>
#include <cstring>

#include "r64/file/r64_block.h"

namespace {

// Copies the pixels of one destination row that a tile serves: cols [lo, hi) of the
// rectangle, clamped into the level, from the tile row src (tile starts at column t0).
void copy_row(char type, int bpp, const unsigned char *src, int t0, int level_w, int64_t lo,
              int64_t hi, unsigned char *dst) {
    if (type == 'B') {
        for (int64_t c = lo; c < hi; ++c) {
            const auto sx = static_cast<int>(r64::clamp_to(c, level_w) - t0);
            *dst++ = (src[sx >> 3] & r64::bit_mask_of(sx)) != 0 ? 0xFF : 0x00;
        }
        return;
    }
    const auto pixel = static_cast<size_t>(bpp);
    // Left of the level: copies of the first pixel; right of it: of the last one.
    for (int64_t c = lo; c < std::min<int64_t>(hi, 0); ++c, dst += pixel) {
        std::memcpy(dst, src, pixel);
    }
    const int64_t mid_lo = std::max<int64_t>(lo, 0);
    const int64_t mid_hi = std::min<int64_t>(hi, level_w);
    if (mid_hi > mid_lo) {
        const auto n = static_cast<size_t>(mid_hi - mid_lo) * pixel;
        std::memcpy(dst, src + (mid_lo - t0) * bpp, n);
        dst += n;
    }
    for (int64_t c = std::max<int64_t>(lo, level_w); c < hi; ++c, dst += pixel) {
        std::memcpy(dst, src + (level_w - 1 - t0) * bpp, pixel);
    }
}

} // namespace

extern "C" {

int r64_read_block(unsigned char *buf, size_t stride, R64_FILE *f, int x, int y, int w, int h,
                   int level) {
    if (!r64::level_exists(f, level)) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    if (w < 0 || h < 0) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    r64_error = R64_OK;
    if (w == 0 || h == 0) {
        return 0;
    }
    const char type = f->header.type;
    const int bpp = r64::pixel_type_of(f).pixel_bytes;
    const int lw = f->level_w[level];
    const int lh = f->level_h[level];
    int64_t rx = x, ry = y, rw = w, rh = h;
    if (f->rc_type == 0 && !(x >= 0 && y >= 0 && int64_t{x} + w <= lw && int64_t{y} + h <= lh)) {
        // Background everywhere first, then only the part inside the level is read.
        for (int r = 0; r < h; ++r) {
            unsigned char *row = buf + static_cast<size_t>(r) * stride;
            for (int c = 0; c < w; ++c) {
                std::memcpy(row + static_cast<size_t>(c) * bpp, f->background,
                            static_cast<size_t>(bpp));
            }
        }
        rx = x < 0 ? 0 : x;
        ry = y < 0 ? 0 : y;
        rw = (int64_t{x} + w < lw ? int64_t{x} + w : lw) - rx;
        rh = (int64_t{y} + h < lh ? int64_t{y} + h : lh) - ry;
        if (rw <= 0 || rh <= 0) {
            return 0;
        }
    }
    const int rc = r64::for_each_tile(
        f, level, rx, ry, rw, rh,
        [&](const R64_CACHE_ENT *e, r64::AxisSpan rows, r64::AxisSpan cols) {
            const auto *tile = reinterpret_cast<const unsigned char *>(e->buf);
            const uint32_t row_bytes = r64::tile_row_bytes(type, e->w_len);
            for (int64_t r = rows.lo; r < rows.hi; ++r) {
                const auto sy = static_cast<uint32_t>(r64::clamp_to(r, lh) - e->h_ofs);
                unsigned char *dst = buf + static_cast<size_t>(r - y) * stride +
                                     static_cast<size_t>(cols.lo - x) * bpp;
                copy_row(type, bpp, tile + sy * row_bytes, e->w_ofs, lw, cols.lo, cols.hi, dst);
            }
        });
    if (rc != 0) {
        return -1;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
