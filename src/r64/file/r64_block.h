// Tile spans of a pixel rectangle, shared by the block read and the block write: which
// tiles of a level a rectangle meets and which of its rows and columns each one serves.
// Coordinates outside the level are clamped to the nearest edge, which is what a block
// read with rc_type 1 delivers; a block write only ever passes rectangles inside.
#ifndef R64_SRC_R64_BLOCK_H
#define R64_SRC_R64_BLOCK_H

#include <cstdint>

#include "r64/file/r64_cache.h"

namespace r64 {

// One axis of one tile's share: the rectangle's coordinates [lo, hi) whose clamped
// value falls in the tile starting at t0.
struct AxisSpan {
    int64_t lo;
    int64_t hi;
};

constexpr int64_t clamp_to(int64_t v, int size) {
    return v < 0 ? 0 : (v >= size ? size - 1 : v);
}

// The coordinates of [a, a + n) (n >= 1) that clamp into the tile starting at t0 of an
// axis of `size` pixels: the first tile also takes everything before 0, the last tile
// everything from `size` on.
constexpr AxisSpan axis_span(int64_t a, int64_t n, int t0, int size) {
    const int len = tile_len(size, t0);
    const int64_t lo = t0 == 0 ? a : (a > t0 ? a : t0);
    const int64_t hi = t0 + len >= size ? a + n : (a + n < t0 + len ? a + n : t0 + len);
    return {lo, hi};
}

// Calls fn(entry, rows, cols) for every tile that the rectangle (x, y, w, h), clamped into
// the level, meets: bands from the top, tiles from the left. w and h are at least 1 and
// the level exists. Returns 0, or -1 as soon as a tile cannot be had (r64_error set).
template <class Fn>
int for_each_tile(R64_FILE *f, int level, int64_t x, int64_t y, int64_t w, int64_t h, Fn &&fn) {
    const int lw = f->level_w[level];
    const int lh = f->level_h[level];
    const auto first_x = static_cast<int>(clamp_to(x, lw));
    const auto last_x = static_cast<int>(clamp_to(x + w - 1, lw));
    const auto first_y = static_cast<int>(clamp_to(y, lh));
    const auto last_y = static_cast<int>(clamp_to(y + h - 1, lh));
    for (int ty0 = first_y / kTile * kTile; ty0 <= last_y; ty0 += kTile) {
        const AxisSpan rows = axis_span(y, h, ty0, lh);
        for (int tx0 = first_x / kTile * kTile; tx0 <= last_x; tx0 += kTile) {
            R64_CACHE_ENT *e = find_tile(f, tx0, ty0, level);
            if (e == nullptr) {
                return -1;
            }
            fn(e, rows, axis_span(x, w, tx0, lw));
        }
    }
    return 0;
}

} // namespace r64

#endif
