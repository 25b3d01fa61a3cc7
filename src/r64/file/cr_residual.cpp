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
    // stay 0); their range per channel: vector lane i holds channel i % 4.
    i16x8 vlo = splat8(SHRT_MAX);
    i16x8 vhi = splat8(SHRT_MIN);
    int lo[3] = {INT_MAX, INT_MAX, INT_MAX};
    int hi[3] = {INT_MIN, INT_MIN, INT_MIN};
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row(parent, w_ofs, h_ofs + y, w_len, up);
        }
        unsigned char *a = tile + static_cast<std::size_t>(y) * row_bytes;
        for (std::size_t i = 0; i < blocks_end; i += 16) {
            for (std::size_t h = i; h < i + 16; h += 8) {
                const i16x8 d = load_wide(a + h) - load_wide(up + h);
                vlo = vmin(vlo, d);
                vhi = vmax(vhi, d);
            }
            store16(a + i, load16(a + i) - load16(up + i));
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
    for (int i = 0; i < 8; ++i) {
        if (i % 4 != 3) {
            lo[i % 4] = std::min<int>(lo[i % 4], vlo[i]);
            hi[i % 4] = std::max<int>(hi[i % 4], vhi[i]);
        }
    }
    for (int k = 0; k < 3; ++k) {
        cal[k] = cr_calibration(lo[k], hi[k]);
    }

    const std::size_t bytes = row_bytes * static_cast<std::size_t>(h_len);
    if (calibrated_in_band(lo, hi, cal)) {
        // In the band the curve is the plain sum, taken modulo 256 a block at a time.
        const u8x16 add = per_channel(cal[0], cal[1], cal[2]);
        const u8x16 keep = per_channel(0xFF, 0xFF, 0xFF);
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
    // Out of the band, a block at a time: each difference comes back from its residue,
    // alone when the channel's range spans at most 256 values (the one value of the
    // residue in [lo, hi]), or else with the parent pixel (the pixel is the residue
    // plus the parent, modulo 256, as pixels are bytes). A block whose calibrated
    // values all lie in the band is their plain sum; the other blocks and the pixels
    // after the last whole block take the curve's table.
    const bool with_parent = hi[0] - lo[0] > 255 || hi[1] - lo[1] > 255 || hi[2] - lo[2] > 255;
    const unsigned char *curve[3];
    i16x8 vcal = splat8(0);
    i16x8 vfloor = splat8(0);
    for (int k = 0; k < 3; ++k) {
        curve[k] = kCalTable.data() + (cal[k] - kCalSumMin); // indexed by a difference
        for (int i = k; i < 8; i += 4) {
            vcal[i] = static_cast<short>(cal[k]);
            vfloor[i] = static_cast<short>(lo[k]);
        }
    }
    i16x8 colour = splat8(-1);
    colour[3] = 0;
    colour[7] = 0;
    const i16x8 byte_mask = splat8(255);
    auto difference = [&](int residue, int parent_byte, int k) {
        return with_parent ? ((residue + parent_byte) & 255) - parent_byte
                           : lo[k] + ((residue - lo[k]) & 255);
    };
    for (int y = 0; y < h_len; ++y) {
        if (with_parent && (y == 0 || ((h_ofs + y) & 1) == 0)) {
            cr_parent_row(parent, w_ofs, h_ofs + y, w_len, up);
        }
        unsigned char *a = tile + static_cast<std::size_t>(y) * row_bytes;
        auto by_table = [&](std::size_t from, std::size_t to) {
            for (std::size_t j = from; j < to; j += 4) {
                for (int k = 0; k < 3; ++k) {
                    a[j + k] = curve[k][difference(a[j + k], up[j + k], k)];
                }
                a[j + 3] = 0;
            }
        };
        for (std::size_t i = 0; i < blocks_end; i += 16) {
            i16x8 sum[2];
            i16x8 outside = splat8(0);
            for (int half = 0; half < 2; ++half) {
                const i16x8 r = load_wide(a + i + 8 * half);
                i16x8 d;
                if (with_parent) {
                    const i16x8 u = load_wide(up + i + 8 * half);
                    d = ((r + u) & byte_mask) - u;
                } else {
                    d = vfloor + ((r - vfloor) & byte_mask);
                }
                sum[half] = d + vcal;
                outside |= (sum[half] < 32) | (sum[half] > 223);
            }
            uint64_t flags[2];
            outside &= colour;
            std::memcpy(flags, &outside, sizeof flags);
            if ((flags[0] | flags[1]) != 0) {
                by_table(i, i + 16);
                continue;
            }
            store_narrow(a + i, sum[0] & colour);
            store_narrow(a + i + 8, sum[1] & colour);
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
