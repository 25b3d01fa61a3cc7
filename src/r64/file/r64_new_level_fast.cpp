// The block-wise averaging pass: each 64x64 source block is one source tile, reduced
// straight from its cached buffer into a quarter of the cached destination tile. The
// tiles are taken in the order the literal pass takes them (source first, then the
// destination through the block's first store), so the cache, the file and the
// printed lines end up as the literal pass leaves them; any tile that cannot be had
// sends the rest of the block down the literal path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "r64/file/r64_averaging.h"
#include "r64/file/r64_cache.h"

namespace {

using r64::kTile;

// Where the block's reduced pixels go in the destination tile.
struct Quarter {
    unsigned char *out;
    std::size_t stride; // bytes of one destination tile row
    int x0;             // column of the block's first reduced pixel within the tile
    int y0;
};

// sums[k] = a[k] + b[k] for k below N: the rows may lie in one buffer (or be the same
// row), but never overlap the sums.
template <int N>
void sum_rows(const unsigned char *__restrict a, const unsigned char *__restrict b,
              uint16_t *__restrict sums) {
    for (int k = 0; k < N; ++k) {
        sums[k] = static_cast<uint16_t>(a[k] + b[k]);
    }
}

// 'G' (BPP 1) and 'P' (BPP 3): each byte the mean of its four samples, rounded down.
// Samples beyond the level (only past an odd last column or row) are the edge pixel
// under clamping, else the background pixel.
template <int BPP>
void reduce_bytes(const R64_FILE *f, const unsigned char *s, int lim_w, int lim_h,
                  const Quarter &q) {
    const auto s_stride = static_cast<std::size_t>(lim_w) * BPP;
    const bool clamp = f->rc_type != 0;
    unsigned char bg_row[kTile * 3];
    r64::fill_background_pattern(f, bg_row, sizeof bg_row);
    const int full_groups = lim_w / 2;
    constexpr int kRow = kTile * BPP;

    for (int y = 0; y < lim_h; y += 2) {
        const unsigned char *r0 = s + static_cast<std::size_t>(y) * s_stride;
        const unsigned char *r1 = y + 1 < lim_h ? r0 + s_stride : (clamp ? r0 : bg_row);
        unsigned char *out = q.out + static_cast<std::size_t>(q.y0 + y / 2) * q.stride + q.x0 * BPP;
        // Vertical pair sums over a whole tile row (a fixed count the compiler can
        // vectorise; a packed row of a narrower tile still lies inside the tile buffer,
        // and the sums past the tile's width are never used), then each output byte
        // from two neighbouring pair sums.
        uint16_t pairs[kRow + BPP];
        sum_rows<kRow>(r0, r1, pairs);
        for (int k = kRow; k < kRow + BPP; ++k) {
            pairs[k] = 0;
        }
        unsigned char means[kRow];
        for (int k = 0; k < kRow; ++k) {
            means[k] = static_cast<unsigned char>((pairs[k] + pairs[k + BPP]) >> 2);
        }
        // Group g's mean starts at byte 2 * g * BPP.
        for (int g = 0; g < full_groups; ++g) {
            std::memcpy(out + g * BPP, means + 2 * g * BPP, BPP);
        }
        if ((lim_w & 1) != 0) {
            // The samples right of the last column: that column again, or background.
            const int a = (lim_w - 1) * BPP;
            for (int c = 0; c < BPP; ++c) {
                const unsigned right = clamp ? pairs[a + c] : 2u * bg_row[c];
                out[full_groups * BPP + c] =
                    static_cast<unsigned char>((pairs[a + c] + right) >> 2);
            }
        }
    }
}

// 'B': a sample inside the level reads 0xFF or 0x00 and a background sample reads
// background[0] as it is, so the rounded-down mean is nonzero exactly when a sample
// bit is set or the background samples alone add up to 4 or more.
void reduce_bits(const R64_FILE *f, const unsigned char *s, int lim_w, int lim_h,
                 const Quarter &q) {
    const std::size_t s_stride = r64::tile_row_bytes('B', lim_w);
    const bool clamp = f->rc_type != 0;
    const unsigned bg = static_cast<unsigned char>(f->background[0]);
    auto bit = [&](int x, int y) -> unsigned {
        return (s[static_cast<std::size_t>(y) * s_stride + x / 8] >> (7 - (x & 7))) & 1u;
    };

    for (int y = 0; y < lim_h; y += 2) {
        for (int x = 0; x < lim_w; x += 2) {
            unsigned any = 0;
            unsigned outside = 0;
            for (int dx = 0; dx < 2; ++dx) {
                for (int dy = 0; dy < 2; ++dy) {
                    const int sx = x + dx;
                    const int sy = y + dy;
                    if (sx < lim_w && sy < lim_h) {
                        any |= bit(sx, sy);
                    } else if (clamp) {
                        any |= bit(std::min(sx, lim_w - 1), std::min(sy, lim_h - 1));
                    } else {
                        ++outside;
                    }
                }
            }
            const bool set = any != 0 || bg * outside >= 4;
            const int ox = q.x0 + x / 2;
            unsigned char &byte = q.out[static_cast<std::size_t>(q.y0 + y / 2) * q.stride + ox / 8];
            const unsigned char mask = r64::bit_mask_of(ox);
            byte = static_cast<unsigned char>(set ? byte | mask : byte & ~mask);
        }
    }
}

} // namespace

namespace r64 {

void reduce_block(const R64_FILE *f, const unsigned char *src, int lim_w, int lim_h,
                  unsigned char *dst, int dst_w_len, int qx, int qy) {
    const Quarter q{dst, tile_row_bytes(f->header.type, dst_w_len), qx, qy};
    switch (f->header.type) {
    case 'P':
        reduce_bytes<3>(f, src, lim_w, lim_h, q);
        break;
    case 'B':
        reduce_bits(f, src, lim_w, lim_h, q);
        break;
    default:
        reduce_bytes<1>(f, src, lim_w, lim_h, q);
        break;
    }
}

void fast_block(R64_FILE *f, int level, int i, int j, int lim_w, int lim_h, LevelPass *pass) {
    // The literal pass's first read of the block loads the source tile.
    R64_CACHE_ENT *src = find_tile(f, i, j, level);
    if (src == nullptr) {
        literal_block(f, level, i, j, lim_w, lim_h, pass, BlockStart::kFirstReadFailed);
        return;
    }
    if (!level_exists(f, level + 1)) {
        r64_error = R64_ERR_LEVEL; // every store of the block fails so and changes nothing
        return;
    }
    // The first group goes the literal way: its reads hit the source tile, and its store
    // loads the destination tile exactly when the literal pass would.
    if (average_group(f, level, i, j, pass, false) != 0) {
        literal_block(f, level, i, j, lim_w, lim_h, pass, BlockStart::kAfterFirstGroup);
        return;
    }
    R64_CACHE_ENT *dst = ring_head(f);
    if (dst == src || !entry_holds(src, i, j, level)) {
        // A cache of a single tile entry gave the source's entry to the destination.
        literal_block(f, level, i, j, lim_w, lim_h, pass, BlockStart::kAfterFirstGroup);
        return;
    }
    reduce_block(f, reinterpret_cast<const unsigned char *>(src->buf), lim_w, lim_h,
                 reinterpret_cast<unsigned char *>(dst->buf), dst->w_len, i / 2 - dst->w_ofs,
                 j / 2 - dst->h_ofs);
    dst->flags |= kDirty;
}

int new_level_lofi_fast(R64_FILE *f, int level) {
    return run_level_pass(f, level, fast_block);
}

} // namespace r64
