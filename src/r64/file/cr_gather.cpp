// The two gathers of a cr tile's pixels from an r64 level. The literal one makes
// one r64_red call per pixel, column by column; the fast one visits the r64 tiles
// that the rectangle overlaps in the order in which the literal one first touches
// them (tile columns left to right, each top to bottom) and widens each row part
// from the cache's buffer that r64_plane hands out (16 bytes at a time where the
// processor has SSSE3), so both load the same tiles and fail alike. When the
// handle's requests go straight to the system, the fast one first tries reading the
// tiles that the cache does not hold a run at a time, past the cache; anything that
// run cannot settle is left to the cache's path.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "r64/file/cpu_features.h"
#ifdef R64_X86
#include <tmmintrin.h>
#endif

#include "r64/file/cr_gather.h"
#include "r64/file/cr_residual.h"
#include "r64/file/malloc_buffer.h"
#include "r64/file/r64_cache.h"
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

// Widens n pixels of 3 bytes at src into 4-byte pixels (fourth byte 0) at dst;
// src_room bytes may be read from src. A pixel is read as one word whenever a
// fourth byte follows it inside the room. Returns nothing; n may be 0.
void widen_rgb_words(const unsigned char *src, std::size_t src_room, int n, unsigned char *dst) {
    int x = 0;
    for (; x < n && 3 * static_cast<std::size_t>(x) + 4 <= src_room; ++x, src += 3, dst += 4) {
        uint32_t v;
        std::memcpy(&v, src, 4);
        v &= kLowThreeBytes;
        std::memcpy(dst, &v, 4);
    }
    for (; x < n; ++x, src += 3, dst += 4) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        dst[3] = 0;
    }
}

void widen_grey_words(const unsigned char *src, int n, unsigned char *dst) {
    for (int x = 0; x < n; ++x, dst += 4) {
        const unsigned char v = src[x];
        dst[0] = v;
        dst[1] = v;
        dst[2] = v;
        dst[3] = 0;
    }
}

#ifdef R64_X86
// Four pixels a step through one byte shuffle; a step reads 16 bytes, so it runs
// while they lie inside the room, and the words finish the row.
__attribute__((target("ssse3"))) void
widen_rgb_ssse3(const unsigned char *src, std::size_t src_room, int n, unsigned char *dst) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    int x = 0;
    for (; x + 4 <= n && 3 * static_cast<std::size_t>(x) + 16 <= src_room; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4 * x), _mm_shuffle_epi8(v, spread));
    }
    widen_rgb_words(src + 3 * x, src_room - 3 * static_cast<std::size_t>(x), n - x, dst + 4 * x);
}

__attribute__((target("ssse3"))) void widen_grey_ssse3(const unsigned char *src, int n,
                                                       unsigned char *dst) {
    const __m128i spread[4] = {
        _mm_setr_epi8(0, 0, 0, -1, 1, 1, 1, -1, 2, 2, 2, -1, 3, 3, 3, -1),
        _mm_setr_epi8(4, 4, 4, -1, 5, 5, 5, -1, 6, 6, 6, -1, 7, 7, 7, -1),
        _mm_setr_epi8(8, 8, 8, -1, 9, 9, 9, -1, 10, 10, 10, -1, 11, 11, 11, -1),
        _mm_setr_epi8(12, 12, 12, -1, 13, 13, 13, -1, 14, 14, 14, -1, 15, 15, 15, -1)};
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x));
        for (int q = 0; q < 4; ++q) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4 * (x + 4 * q)),
                             _mm_shuffle_epi8(v, spread[q]));
        }
    }
    widen_grey_words(src + x, n - x, dst + 4 * x);
}

#endif

void widen_rgb(const unsigned char *src, std::size_t src_room, int n, unsigned char *dst) {
#ifdef R64_X86
    if (kCpuHasSsse3) {
        widen_rgb_ssse3(src, src_room, n, dst);
        return;
    }
#endif
    widen_rgb_words(src, src_room, n, dst);
}

void widen_grey(const unsigned char *src, int n, unsigned char *dst) {
#ifdef R64_X86
    if (kCpuHasSsse3) {
        widen_grey_ssse3(src, n, dst);
        return;
    }
#endif
    widen_grey_words(src, n, dst);
}

// Copies the part [xa, xb) x [ya, yb) of the r64 tile whose top-left pixel is
// (tx, ty) and whose rows are tw pixels wide into the cr tile at (x0, y0), whose
// pixels have kOut bytes (red, green, blue, and for 4 a byte 0). capacity bytes may
// be read from data.
template <int kOut>
void copy_from_tile(char type, const unsigned char *data, std::size_t capacity, int tx, int ty,
                    int tw, int xa, int xb, int ya, int yb, int x0, int y0, int w,
                    unsigned char *out) {
    const std::size_t row_bytes = tile_row_bytes(type, tw);
    for (int y = ya; y < yb; ++y) {
        const unsigned char *src = data + static_cast<std::size_t>(y - ty) * row_bytes;
        unsigned char *dst = out + (static_cast<std::size_t>(y - y0) * w + (xa - x0)) * kOut;
        switch (type) {
        case 'P': {
            const unsigned char *s = src + static_cast<std::size_t>(xa - tx) * 3;
            if constexpr (kOut == 3) {
                std::memcpy(dst, s, static_cast<std::size_t>(xb - xa) * 3);
            } else {
                widen_rgb(s, capacity - static_cast<std::size_t>(s - data), xb - xa, dst);
            }
            break;
        }
        case 'G':
            if constexpr (kOut == 3) {
                for (int x = xa; x < xb; ++x, dst += 3) {
                    std::memset(dst, src[x - tx], 3);
                }
            } else {
                widen_grey(src + (xa - tx), xb - xa, dst);
            }
            break;
        default: // 'B': a set bit reads as 255, the leftmost pixel in the top bit
            for (int x = xa; x < xb; ++x, dst += kOut) {
                const int bit = x - tx;
                const unsigned char v = (src[bit >> 3] & (0x80 >> (bit & 7))) != 0 ? 255 : 0;
                std::memset(dst, v, 3);
                if constexpr (kOut == 4) {
                    dst[3] = 0;
                }
            }
            break;
        }
    }
}

// The gather of a handle whose requests go straight to the system: in each band of
// r64 tiles, the tiles that the cache holds are copied from it and each run of
// neighbours that it does not hold (one stretch of the file) is read with one pread,
// without loading the cache. False, with nothing known to be wrong, as soon as a run
// does not lie wholly inside the file or cannot be read: the caller then gathers
// through the cache, which loads and fails as it always has.
template <int kOut>
bool gather_by_runs(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *out) {
    constexpr int kMaxRun = kCrMaxRect / kTile + 1; // tiles a row of a cr tile can touch
    constexpr auto kLargestTile = static_cast<std::size_t>(pixel_type('P')->tile_bytes);
    constexpr std::size_t kRunBytes = kMaxRun * kLargestTile;
    // One buffer a thread, kept: a caller's thread may have a small stack.
    thread_local MallocBuffer<unsigned char> run_buffer = malloc_buffer<unsigned char>(kRunBytes);
    unsigned char *const run = run_buffer.get();
    const char type = r64->header.type;
    const auto capacity = static_cast<std::size_t>(pixel_type_of(r64).tile_bytes);
    if (run == nullptr || w > kCrMaxRect) {
        return false;
    }
    const int64_t length = file_length(r64);
    if (length < 0) {
        return false;
    }
    const TileIndex &index = r64->priv->index;
    for (int ty = y0 / kTile * kTile; ty < y0 + h; ty += kTile) {
        const int th = tile_len(r64->level_h[level], ty);
        const int ya = std::max(ty, y0);
        const int yb = std::min(ty + th, y0 + h);
        for (int tx = x0 / kTile * kTile; tx < x0 + w;) {
            if (const R64_CACHE_ENT *e = index.find(r64, level, tx, ty)) {
                copy_from_tile<kOut>(type, reinterpret_cast<const unsigned char *>(e->buf),
                                     capacity, tx, ty, e->w_len, std::max(tx, x0),
                                     std::min(tx + e->w_len, x0 + w), ya, yb, x0, y0, w, out);
                tx += kTile;
                continue;
            }
            int end = tx + kTile; // the run is [tx, end)
            while (end < x0 + w && index.find(r64, level, end, ty) == nullptr) {
                end += kTile;
            }
            const uint32_t at = tile_file_offset(r64, level, tx, ty);
            const int last_w = tile_len(r64->level_w[level], end - kTile);
            const uint32_t n = tile_file_offset(r64, level, end - kTile, ty) - at +
                               tile_byte_len(type, last_w, th);
            if (int64_t{at} + n > length || read_at(r64, at, run, n) != 0) {
                return false;
            }
            for (; tx < end; tx += kTile) {
                const int tw = tile_len(r64->level_w[level], tx);
                const std::size_t from = tile_file_offset(r64, level, tx, ty) - at;
                copy_from_tile<kOut>(type, run + from, kRunBytes - from, tx, ty, tw,
                                     std::max(tx, x0), std::min(tx + tw, x0 + w), ya, yb, x0, y0, w,
                                     out);
            }
        }
    }
    r64_error = R64_OK;
    return true;
}

// The fast gather into pixels of kOut bytes.
template <int kOut>
int gather_tiles(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *out) {
    if (cache_direct(r64) && gather_by_runs<kOut>(r64, level, x0, y0, w, h, out)) {
        return 0;
    }
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
            copy_from_tile<kOut>(type, reinterpret_cast<const unsigned char *>(data), capacity, tx,
                                 ty, tw, xa, xb, ya, yb, x0, y0, w, out);
        }
    }
    return 0;
}

} // namespace

int gather_tile_fast(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *rgbx) {
    return gather_tiles<4>(r64, level, x0, y0, w, h, rgbx);
}

int gather_tile_rgb(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *rgb) {
    return gather_tiles<3>(r64, level, x0, y0, w, h, rgb);
}

} // namespace r64
