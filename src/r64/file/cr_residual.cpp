// The per-pixel work of residual tiles, shared by the writer and the decoder:
// the calibration of a tile, its bytes for the encoder and its reconstruction from
// the parent. Rows go 4 pixels at a time through 16-byte vectors (GCC and Clang
// vector extensions); a block whose bytes leave the band that the calibration
// curve passes unchanged, and the pixels after the last whole block, take the
// curve's tables one pixel at a time. The encoder meets each parent row once: its
// differences are kept modulo 256 in place and finished without the parent.
#include <algorithm>
#include <climits>
#include <cstring>

#include "r64/file/cr_residual.h"

namespace r64 {

namespace {

typedef unsigned char u8x16 __attribute__((vector_size(16)));
typedef signed char s8x16 __attribute__((vector_size(16)));
typedef unsigned char u8x8 __attribute__((vector_size(8)));
typedef short i16x8 __attribute__((vector_size(16)));
typedef uint32_t u32x4 __attribute__((vector_size(16)));

inline u8x16 load16(const unsigned char *p) {
    u8x16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store16(unsigned char *p, u8x16 v) {
    std::memcpy(p, &v, sizeof v);
}

// Two pixels widened to 16-bit lanes.
inline i16x8 load_wide(const unsigned char *p) {
    u8x8 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, i16x8);
}

inline void store_narrow(unsigned char *p, i16x8 v) {
    const u8x8 n = __builtin_convertvector(v, u8x8);
    std::memcpy(p, &n, sizeof n);
}

inline i16x8 splat8(short v) {
    i16x8 r;
    for (int i = 0; i < 8; ++i) {
        r[i] = v;
    }
    return r;
}

// The three channel values repeated over 4 pixels; the fourth byte of each is 0.
inline u8x16 per_channel(int c0, int c1, int c2) {
    u8x16 r;
    for (int i = 0; i < 16; i += 4) {
        r[i] = static_cast<unsigned char>(c0);
        r[i + 1] = static_cast<unsigned char>(c1);
        r[i + 2] = static_cast<unsigned char>(c2);
        r[i + 3] = 0;
    }
    return r;
}

inline u8x16 umin(u8x16 a, u8x16 b) {
    return a < b ? a : b;
}

inline u8x16 umax(u8x16 a, u8x16 b) {
    return a > b ? a : b;
}

inline i16x8 vmin(i16x8 a, i16x8 b) {
    return a < b ? a : b;
}

inline i16x8 vmax(i16x8 a, i16x8 b) {
    return a > b ? a : b;
}

// Whether all colour bytes of a block lie in 32..223.
inline bool block_in_band(u8x16 v) {
    const s8x16 out = reinterpret_cast<s8x16>((v < 32) | (v > 223)) &
                      reinterpret_cast<s8x16>(per_channel(0xFF, 0xFF, 0xFF));
    uint64_t half[2];
    std::memcpy(half, &out, sizeof half);
    return (half[0] | half[1]) == 0;
}

constexpr bool calibrated_in_band(const int lo[3], const int hi[3], const int cal[3]) {
    for (int k = 0; k < 3; ++k) {
        if (lo[k] + cal[k] < 32 || hi[k] + cal[k] > 223) {
            return false;
        }
    }
    return true;
}

} // namespace

void cr_parent_row(const CR_BUFFER &parent, int w_ofs, int y, int w_len, unsigned char *up) {
    const unsigned char *prow = parent.buf + static_cast<std::size_t>((y >> 1) - parent.h_ofs) *
                                                 static_cast<std::size_t>(parent.w_len) * 4;
    int x = 0;
    if ((w_ofs & 1) != 0) { // the first pixel shares its parent with the column before
        std::memcpy(up, prow + 4 * ((w_ofs >> 1) - parent.w_ofs), 4);
        x = 1;
    }
    const unsigned char *src = prow + 4 * (((w_ofs + x) >> 1) - parent.w_ofs);
    // Four parent pixels, each twice: eight pixels of the row a step.
    for (; x + 8 <= w_len; x += 8, src += 16) {
        u32x4 p;
        std::memcpy(&p, src, sizeof p);
        const u32x4 first = __builtin_shufflevector(p, p, 0, 0, 1, 1);
        const u32x4 second = __builtin_shufflevector(p, p, 2, 2, 3, 3);
        std::memcpy(up + 4 * x, &first, sizeof first);
        std::memcpy(up + 4 * x + 16, &second, sizeof second);
    }
    for (; x + 1 < w_len; x += 2, src += 4) {
        std::memcpy(up + 4 * x, src, 4);
        std::memcpy(up + 4 * x + 4, src, 4);
    }
    if (x < w_len) {
        std::memcpy(up + 4 * x, src, 4);
    }
}

void cr_root_calibration(const unsigned char *tile, std::size_t pixels, int cal[3]) {
    int lo[3] = {INT_MAX, INT_MAX, INT_MAX};
    int hi[3] = {INT_MIN, INT_MIN, INT_MIN};
    for (std::size_t p = 0; p < pixels; ++p) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min<int>(lo[k], tile[4 * p + k]);
            hi[k] = std::max<int>(hi[k], tile[4 * p + k]);
        }
    }
    for (int k = 0; k < 3; ++k) {
        cal[k] = cr_calibration(lo[k], hi[k]);
    }
}

void cr_encode_residual(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                        unsigned char *tile, int cal[3]) {
    const std::size_t row_bytes = static_cast<std::size_t>(w_len) * 4;
    const std::size_t blocks_end = row_bytes / 16 * 16;
    unsigned char up[kCrMaxRect * 4];

    // The differences, modulo 256, replace the pixels (the fourth bytes, 0 in both,
    // stay 0). Their range per channel, without widening: a difference is the part
    // of the pixel above the parent less the part of the parent above the pixel (one
    // of them 0), so the extremes of both parts give the extremes of the differences.
    // Byte lane j of the vectors holds channel j % 4.
    const u8x16 none = per_channel(0, 0, 0);
    u8x16 above_max = none;  // largest part of a pixel above its parent
    u8x16 above_min = ~none; // smallest, and the same for the parent above the pixel
    u8x16 below_max = none;
    u8x16 below_min = ~none;
    int lo[3] = {INT_MAX, INT_MAX, INT_MAX};
    int hi[3] = {INT_MIN, INT_MIN, INT_MIN};
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row(parent, w_ofs, h_ofs + y, w_len, up);
        }
        unsigned char *a = tile + static_cast<std::size_t>(y) * row_bytes;
        for (std::size_t i = 0; i < blocks_end; i += 16) {
            const u8x16 pixel = load16(a + i);
            const u8x16 parent_pixel = load16(up + i);
            const u8x16 both = umin(pixel, parent_pixel);
            const u8x16 above = pixel - both;
            const u8x16 below = parent_pixel - both;
            above_max = umax(above_max, above);
            above_min = umin(above_min, above);
            below_max = umax(below_max, below);
            below_min = umin(below_min, below);
            store16(a + i, pixel - parent_pixel);
        }
        for (std::size_t i = blocks_end; i < row_bytes; i += 4) {
            for (int k = 0; k < 3; ++k) {
                const int d = a[i + k] - up[i + k];
                lo[k] = std::min(lo[k], d);
                hi[k] = std::max(hi[k], d);
                a[i + k] = static_cast<unsigned char>(d);
            }
            a[i + 3] = 0;
        }
    }
    for (int j = 0; blocks_end > 0 && j < 16; ++j) {
        const int k = j % 4;
        if (k != 3) {
            hi[k] = std::max(hi[k], above_max[j] > 0 ? above_max[j] : -below_min[j]);
            lo[k] = std::min(lo[k], below_max[j] > 0 ? -below_max[j] : above_min[j]);
        }
    }
    for (int k = 0; k < 3; ++k) {
        cal[k] = cr_calibration(lo[k], hi[k]);
    }

    const std::size_t bytes = row_bytes * static_cast<std::size_t>(h_len);
    const u8x16 keep = per_channel(0xFF, 0xFF, 0xFF);
    if (calibrated_in_band(lo, hi, cal)) {
        // In the band the curve is the plain sum, taken modulo 256 a block at a time.
        const u8x16 add = per_channel(cal[0], cal[1], cal[2]);
        std::size_t i = 0;
        for (; i + 16 <= bytes; i += 16) {
            store16(tile + i, (load16(tile + i) + add) & keep);
        }
        for (; i < bytes; i += 4) {
            for (int k = 0; k < 3; ++k) {
                tile[i + k] = static_cast<unsigned char>(tile[i + k] + cal[k]);
            }
            tile[i + 3] = 0;
        }
        return;
    }
    // Out of the band, a block at a time, with the parent again: the pixel is the
    // residue plus the parent (modulo 256, as pixels are bytes). A block whose
    // calibrated differences all lie in the band is the residue plus the offset; the
    // test works on the parts of the pixel above and below the parent, as in the range:
    // d + cal in 32..223 means the part above is at least 32 - cal and at most
    // 223 - cal when 32 - cal > 0, else the part below is at most cal - 32 and the part
    // above at most 223 - cal. The other blocks and the pixels after the last whole
    // block take the curve's table.
    const unsigned char *curve[3];
    int above_lo[3];
    int above_hi[3];
    int below_hi[3];
    for (int k = 0; k < 3; ++k) {
        curve[k] = kCalTable.data() + (cal[k] - kCalSumMin); // indexed by a difference
        above_lo[k] = std::max(32 - cal[k], 0);
        above_hi[k] = std::min(223 - cal[k], 255);
        below_hi[k] = std::max(cal[k] - 32, 0);
    }
    // The fourth bytes (0 and 0) always pass.
    u8x16 floor_above = per_channel(above_lo[0], above_lo[1], above_lo[2]);
    u8x16 ceiling_above = per_channel(above_hi[0], above_hi[1], above_hi[2]) | ~keep;
    u8x16 ceiling_below = per_channel(below_hi[0], below_hi[1], below_hi[2]) | ~keep;
    const u8x16 add = per_channel(cal[0], cal[1], cal[2]);
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row(parent, w_ofs, h_ofs + y, w_len, up);
        }
        unsigned char *a = tile + static_cast<std::size_t>(y) * row_bytes;
        auto by_table = [&](std::size_t from, std::size_t to) {
            for (std::size_t j = from; j < to; j += 4) {
                for (int k = 0; k < 3; ++k) {
                    const int pixel = (a[j + k] + up[j + k]) & 255;
                    a[j + k] = curve[k][pixel - up[j + k]];
                }
                a[j + 3] = 0;
            }
        };
        for (std::size_t i = 0; i < blocks_end; i += 16) {
            const u8x16 residue = load16(a + i);
            const u8x16 parent_pixel = load16(up + i);
            const u8x16 pixel = residue + parent_pixel;
            const u8x16 both = umin(pixel, parent_pixel);
            const u8x16 above = pixel - both;
            const u8x16 below = parent_pixel - both;
            const s8x16 inside = (umax(above, floor_above) == above) &
                                 (umin(above, ceiling_above) == above) &
                                 (umin(below, ceiling_below) == below);
            uint64_t half[2];
            std::memcpy(half, &inside, sizeof half);
            if ((half[0] & half[1]) != ~uint64_t{0}) {
                by_table(i, i + 16);
                continue;
            }
            store16(a + i, (residue + add) & keep);
        }
        by_table(blocks_end, row_bytes);
    }
}

void cr_reconstruct(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                    const unsigned char *decoded, const unsigned char cal[3], unsigned char *out) {
    int inv[3][256]; // cr_inv_cal of every byte value with the channel's offset
    i16x8 vc = splat8(0);
    for (int k = 0; k < 3; ++k) {
        const int c = static_cast<signed char>(cal[k]);
        for (int cc = 0; cc < 256; ++cc) {
            inv[k][cc] = kInvCalTable[static_cast<std::size_t>(cc)] - c;
        }
        for (int i = k; i < 8; i += 4) {
            vc[i] = static_cast<short>(c);
        }
    }
    const i16x8 zero = splat8(0);
    const i16x8 top = splat8(255);
    const std::size_t row_bytes = static_cast<std::size_t>(w_len) * 4;
    const std::size_t blocks_end = row_bytes / 16 * 16;
    unsigned char up[kCrMaxRect * 4];
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row(parent, w_ofs, h_ofs + y, w_len, up);
        }
        const unsigned char *dec = decoded + static_cast<std::size_t>(y) * row_bytes;
        unsigned char *o = out + static_cast<std::size_t>(y) * row_bytes;
        auto by_table = [&](std::size_t from, std::size_t to) {
            for (std::size_t j = from; j < to; j += 4) {
                for (int k = 0; k < 3; ++k) {
                    o[j + k] = static_cast<unsigned char>(
                        std::clamp(up[j + k] + inv[k][dec[j + k]], 0, 255));
                }
                o[j + 3] = 0;
            }
        };
        for (std::size_t i = 0; i < blocks_end; i += 16) {
            if (!block_in_band(load16(dec + i))) {
                by_table(i, i + 16);
                continue;
            }
            // In the band cr_inv_cal is the byte less the offset; the fourth bytes
            // (0 in both buffers, offset 0) stay 0.
            for (std::size_t h = i; h < i + 16; h += 8) {
                store_narrow(o + h,
                             vmax(vmin(load_wide(up + h) + load_wide(dec + h) - vc, top), zero));
            }
        }
        by_table(blocks_end, row_bytes);
    }
}

} // namespace r64
