// The two gathers of a cr tile's pixels from an r64 level. The literal one makes
// one r64_red call per pixel, column by column; the fast one visits the r64 tiles
// that the rectangle overlaps in the order in which the literal one first touches
// them (tile columns left to right, each top to bottom) and copies from the cache's
// buffer that r64_plane hands out, so both load the same tiles and fail alike.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "r64/file/cr_gather.h"
#include "r64/file/r64_geometry.h"

namespace r64 {

int gather_tile_literal(R64_FILE *r64, int level, int x0, int y0, int w, int h,
                        unsigned char *rgbx) {
    const bool grey = r64->header.type == 'G' || r64->header.type == 'B';
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) {
            unsigned char colour[3] = {0, 0, 0};
            if (r64_red(colour, r64, x0 + x, y0 + y, level) < 0) {
                return -1;
            }
            if (grey) {
                colour[1] = colour[0];
                colour[2] = colour[0];
            }
            unsigned char *p = rgbx + (static_cast<std::size_t>(y) * w + x) * 4;
            p[0] = colour[0];
            p[1] = colour[1];
            p[2] = colour[2];
            p[3] = 0;
        }
    }
    return 0;
}

namespace {

// The first three bytes of a 4-byte word in memory order, the fourth cleared.
constexpr uint32_t kLowThreeBytes =
    std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u;

// Copies the part [xa, xb) x [ya, yb) of the cached r64 tile whose top-left pixel
// is (tx, ty) and whose rows are tw pixels wide into the cr tile at (x0, y0). The
// cache buffer holds capacity bytes, so a colour pixel may be read as one word
// whenever a fourth byte follows it inside the buffer.
void copy_from_tile(char type, const unsigned char *data, std::size_t capacity, int tx, int ty,
                    int tw, int xa, int xb, int ya, int yb, int x0, int y0, int w,
                    unsigned char *rgbx) {
    const std::size_t row_bytes = tile_row_bytes(type, tw);
    for (int y = ya; y < yb; ++y) {
        const unsigned char *src = data + static_cast<std::size_t>(y - ty) * row_bytes;
        unsigned char *dst = rgbx + (static_cast<std::size_t>(y - y0) * w + (xa - x0)) * 4;
        switch (type) {
        case 'P': {
            const unsigned char *s = src + static_cast<std::size_t>(xa - tx) * 3;
            int x = xa;
            for (; x < xb && static_cast<std::size_t>(s - data) + 4 <= capacity;
                 ++x, s += 3, dst += 4) {
                uint32_t v;
                std::memcpy(&v, s, 4);
                v &= kLowThreeBytes;
                std::memcpy(dst, &v, 4);
            }
            for (; x < xb; ++x, s += 3, dst += 4) {
                dst[0] = s[0];
                dst[1] = s[1];
                dst[2] = s[2];
                dst[3] = 0;
            }
            break;
        }
        case 'G':
            for (int x = xa; x < xb; ++x, dst += 4) {
                const unsigned char v = src[x - tx];
                dst[0] = v;
                dst[1] = v;
                dst[2] = v;
                dst[3] = 0;
            }
            break;
        default: // 'B': a set bit reads as 255, the leftmost pixel in the top bit
            for (int x = xa; x < xb; ++x, dst += 4) {
                const int bit = x - tx;
                const unsigned char v = (src[bit >> 3] & (0x80 >> (bit & 7))) != 0 ? 255 : 0;
                dst[0] = v;
                dst[1] = v;
                dst[2] = v;
                dst[3] = 0;
            }
            break;
        }
    }
}

} // namespace

int gather_tile_fast(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *rgbx) {
    const char type = r64->header.type;
    const auto capacity = static_cast<std::size_t>(pixel_type_of(r64).tile_bytes);
    for (int tx = x0 / kTile * kTile; tx < x0 + w; tx += kTile) {
        for (int ty = y0 / kTile * kTile; ty < y0 + h; ty += kTile) {
            const int xa = std::max(tx, x0);
            const int ya = std::max(ty, y0);
            char *data = nullptr;
            int tw = 0;
            int th = 0;
            int size = 0;
            if (r64_plane(&data, &tw, &th, &size, r64, xa, ya, level) < 0) {
                return -1;
            }
            const int xb = std::min(tx + tw, x0 + w);
            const int yb = std::min(ty + th, y0 + h);
            copy_from_tile(type, reinterpret_cast<const unsigned char *>(data), capacity, tx, ty,
                           tw, xa, xb, ya, yb, x0, y0, w, rgbx);
        }
    }
    return 0;
}

} // namespace r64
