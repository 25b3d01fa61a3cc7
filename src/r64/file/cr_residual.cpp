// The per-pixel work of residual tiles, shared by the writer and the decoder:
// the calibration of a tile, its bytes for the encoder and its reconstruction from
// the parent, for 4-byte and 3-byte pixels alike. Rows go a group of 16-byte vectors
// at a time (GCC and Clang vector extensions): one vector of 4 pixels for 4-byte
// pixels, three vectors of 16 pixels for 3-byte ones, so that each lane of a group
// always holds the same channel. A vector whose bytes leave the band that the
// calibration curve passes unchanged, and the bytes after the last whole group,
// take the curve's tables one byte at a time. The encoder meets each parent row
// once: its differences are kept modulo 256 in place and finished without the parent.
#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define R64_RESIDUAL_SSSE3 1
#endif

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

// Vectors per group of kPixel-byte pixels.
template <int kPixel> inline constexpr int kVectors = kPixel == kRgbx ? 1 : 3;

// The channel of byte i of a row (3 is the fourth byte of a 4-byte pixel).
template <int kPixel> constexpr int channel_of(std::size_t i) {
    return static_cast<int>(i % kPixel);
}

// Lane j of vector v of a group gets c[channel], 0 for a fourth byte.
template <int kPixel> u8x16 per_channel(int v, int c0, int c1, int c2) {
    u8x16 r;
    for (int j = 0; j < 16; ++j) {
        const int k = channel_of<kPixel>(16 * static_cast<std::size_t>(v) + j);
        r[j] = static_cast<unsigned char>(k == 0 ? c0 : k == 1 ? c1 : k == 2 ? c2 : 0);
    }
    return r;
}

// The same for the 8 lanes of half h of vector v, widened.
template <int kPixel> i16x8 per_channel_wide(int v, int h, const int c[3]) {
    i16x8 r;
    for (int j = 0; j < 8; ++j) {
        const int k = channel_of<kPixel>(16 * static_cast<std::size_t>(v) + 8 * h + j);
        r[j] = static_cast<short>(k < 3 ? c[k] : 0);
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

// Whether all colour bytes (those set in colour) of a vector lie in 32..223.
inline bool block_in_band(u8x16 v, u8x16 colour) {
    const s8x16 out =
        reinterpret_cast<s8x16>((v < 32) | (v > 223)) & reinterpret_cast<s8x16>(colour);
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

// Upsamples the parent's row into up from column x of the child on; the first child
// column (and so x) starts on a parent pixel.
template <int kPixel>
void widen_parent_pixels(const unsigned char *src, int x, int w_len, unsigned char *up) {
    if constexpr (kPixel == kRgbx) {
        // Four parent pixels, each twice: eight pixels of the row a step.
        for (; x + 8 <= w_len; x += 8, src += 16) {
            u32x4 p;
            std::memcpy(&p, src, sizeof p);
            const u32x4 first = __builtin_shufflevector(p, p, 0, 0, 1, 1);
            const u32x4 second = __builtin_shufflevector(p, p, 2, 2, 3, 3);
            std::memcpy(up + 4 * x, &first, sizeof first);
            std::memcpy(up + 4 * x + 16, &second, sizeof second);
        }
    }
    for (; x + 1 < w_len; x += 2, src += kPixel) {
        std::memcpy(up + kPixel * x, src, kPixel);
        std::memcpy(up + kPixel * x + kPixel, src, kPixel);
    }
    if (x < w_len) {
        std::memcpy(up + kPixel * x, src, kPixel);
    }
}

#ifdef R64_RESIDUAL_SSSE3
// Eight parent pixels of 3 bytes, each twice: sixteen pixels of the row a step, by
// byte shuffles; a step reads 32 bytes, so it runs while they lie in the parent's row.
__attribute__((target("ssse3"))) void widen_parent_rgb_ssse3(const unsigned char *src,
                                                             std::size_t src_room, int x, int w_len,
                                                             unsigned char *up) {
    for (; x + 16 <= w_len && src_room >= 32; x += 16, src += 24, src_room -= 24) {
        const u8x16 a = load16(src);
        const u8x16 b = load16(src + 16);
        store16(up + 3 * x,
                __builtin_shufflevector(a, b, 0, 1, 2, 0, 1, 2, 3, 4, 5, 3, 4, 5, 6, 7, 8, 6));
        store16(up + 3 * x + 16, __builtin_shufflevector(a, b, 7, 8, 9, 10, 11, 9, 10, 11, 12, 13,
                                                         14, 12, 13, 14, 15, 16));
        store16(up + 3 * x + 32, __builtin_shufflevector(a, b, 17, 15, 16, 17, 18, 19, 20, 18, 19,
                                                         20, 21, 22, 23, 21, 22, 23));
    }
    widen_parent_pixels<kRgb>(src, x, w_len, up);
}

const bool kHasSsse3 = [] {
    __builtin_cpu_init(); // may run before the run-time's own detection
    return __builtin_cpu_supports("ssse3") != 0;
}();
#endif

} // namespace

template <int kPixel>
void cr_parent_row(const CR_BUFFER &parent, int w_ofs, int y, int w_len, unsigned char *up) {
    const std::size_t row_bytes = static_cast<std::size_t>(parent.w_len) * kPixel;
    const unsigned char *prow =
        parent.buf + static_cast<std::size_t>((y >> 1) - parent.h_ofs) * row_bytes;
    int x = 0;
    if ((w_ofs & 1) != 0) { // the first pixel shares its parent with the column before
        std::memcpy(up, prow + kPixel * ((w_ofs >> 1) - parent.w_ofs), kPixel);
        x = 1;
    }
    const std::size_t from = static_cast<std::size_t>(((w_ofs + x) >> 1) - parent.w_ofs) * kPixel;
#ifdef R64_RESIDUAL_SSSE3
    if constexpr (kPixel == kRgb) {
        if (kHasSsse3) {
            widen_parent_rgb_ssse3(prow + from, row_bytes - from, x, w_len, up);
            return;
        }
    }
#endif
    widen_parent_pixels<kPixel>(prow + from, x, w_len, up);
}

template <int kPixel>
void cr_root_calibration(const unsigned char *tile, std::size_t pixels, int cal[3]) {
    int lo[3] = {INT_MAX, INT_MAX, INT_MAX};
    int hi[3] = {INT_MIN, INT_MIN, INT_MIN};
    for (std::size_t p = 0; p < pixels; ++p) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min<int>(lo[k], tile[kPixel * p + k]);
            hi[k] = std::max<int>(hi[k], tile[kPixel * p + k]);
        }
    }
    for (int k = 0; k < 3; ++k) {
        cal[k] = cr_calibration(lo[k], hi[k]);
    }
}

template <int kPixel>
void cr_encode_residual(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                        unsigned char *tile, int cal[3]) {
    constexpr int kV = kVectors<kPixel>;
    constexpr std::size_t kGroup = 16 * kV;
    const std::size_t row_bytes = static_cast<std::size_t>(w_len) * kPixel;
    const std::size_t groups_end = row_bytes / kGroup * kGroup;
    unsigned char up[kCrMaxRect * kPixel];

    // The differences, modulo 256, replace the pixels (fourth bytes, 0 in both, stay
    // 0). Their range per channel, without widening: a difference is the part of the
    // pixel above the parent less the part of the parent above the pixel (one of them
    // 0), so the extremes of both parts give the extremes of the differences.
    u8x16 above_max[kV]; // largest part of a pixel above its parent, per lane
    u8x16 above_min[kV]; // smallest, and the same for the parent above the pixel
    u8x16 below_max[kV];
    u8x16 below_min[kV];
    for (int v = 0; v < kV; ++v) {
        above_max[v] = below_max[v] = per_channel<kPixel>(v, 0, 0, 0);
        above_min[v] = below_min[v] = ~above_max[v];
    }
    int lo[3] = {INT_MAX, INT_MAX, INT_MAX};
    int hi[3] = {INT_MIN, INT_MIN, INT_MIN};
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row<kPixel>(parent, w_ofs, h_ofs + y, w_len, up);
        }
        unsigned char *a = tile + static_cast<std::size_t>(y) * row_bytes;
        // A channel layout at a time: its four ranges stay in registers.
        for (int v = 0; v < kV; ++v) {
            u8x16 a_max = above_max[v];
            u8x16 a_min = above_min[v];
            u8x16 b_max = below_max[v];
            u8x16 b_min = below_min[v];
            for (std::size_t i = 16 * static_cast<std::size_t>(v); i < groups_end; i += kGroup) {
                const u8x16 pixel = load16(a + i);
                const u8x16 parent_pixel = load16(up + i);
                const u8x16 both = umin(pixel, parent_pixel);
                const u8x16 above = pixel - both;
                const u8x16 below = parent_pixel - both;
                a_max = umax(a_max, above);
                a_min = umin(a_min, above);
                b_max = umax(b_max, below);
                b_min = umin(b_min, below);
                store16(a + i, pixel - parent_pixel);
            }
            above_max[v] = a_max;
            above_min[v] = a_min;
            below_max[v] = b_max;
            below_min[v] = b_min;
        }
        for (std::size_t i = groups_end; i < row_bytes; ++i) {
            const int k = channel_of<kPixel>(i);
            if (k == 3) {
                a[i] = 0;
                continue;
            }
            const int d = a[i] - up[i];
            lo[k] = std::min(lo[k], d);
            hi[k] = std::max(hi[k], d);
            a[i] = static_cast<unsigned char>(d);
        }
    }
    for (int v = 0; groups_end > 0 && v < kV; ++v) {
        for (int j = 0; j < 16; ++j) {
            const int k = channel_of<kPixel>(16 * static_cast<std::size_t>(v) + j);
            if (k != 3) {
                hi[k] = std::max(hi[k], above_max[v][j] > 0 ? above_max[v][j] : -below_min[v][j]);
                lo[k] = std::min(lo[k], below_max[v][j] > 0 ? -below_max[v][j] : above_min[v][j]);
            }
        }
    }
    for (int k = 0; k < 3; ++k) {
        cal[k] = cr_calibration(lo[k], hi[k]);
    }

    const std::size_t bytes = row_bytes * static_cast<std::size_t>(h_len);
    u8x16 keep[kV]; // the colour lanes
    u8x16 add[kV];
    for (int v = 0; v < kV; ++v) {
        keep[v] = per_channel<kPixel>(v, 0xFF, 0xFF, 0xFF);
        add[v] = per_channel<kPixel>(v, cal[0], cal[1], cal[2]);
    }
    if (calibrated_in_band(lo, hi, cal)) {
        // In the band the curve is the plain sum, taken modulo 256 a group at a time
        // (rows hold whole pixels, so the channels run on across them).
        std::size_t i = 0;
        for (; i + kGroup <= bytes; i += kGroup) {
            for (int v = 0; v < kV; ++v) {
                store16(tile + i + 16 * v, (load16(tile + i + 16 * v) + add[v]) & keep[v]);
            }
        }
        for (; i < bytes; ++i) {
            const int k = channel_of<kPixel>(i);
            tile[i] = k == 3 ? 0 : static_cast<unsigned char>(tile[i] + cal[k]);
        }
        return;
    }
    // Out of the band, a vector at a time, with the parent again: the pixel is the
    // residue plus the parent (modulo 256, as pixels are bytes). A vector whose
    // calibrated differences all lie in the band is the residue plus the offset; the
    // test works on the parts of the pixel above and below the parent, as in the range:
    // d + cal in 32..223 means the part above is at least 32 - cal and at most
    // 223 - cal when 32 - cal > 0, else the part below is at most cal - 32 and the part
    // above at most 223 - cal. The other vectors and the bytes after the last whole
    // group take the curve's table.
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
    u8x16 floor_above[kV];
    u8x16 ceiling_above[kV];
    u8x16 ceiling_below[kV];
    for (int v = 0; v < kV; ++v) {
        floor_above[v] = per_channel<kPixel>(v, above_lo[0], above_lo[1], above_lo[2]);
        ceiling_above[v] = per_channel<kPixel>(v, above_hi[0], above_hi[1], above_hi[2]) | ~keep[v];
        ceiling_below[v] = per_channel<kPixel>(v, below_hi[0], below_hi[1], below_hi[2]) | ~keep[v];
    }
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row<kPixel>(parent, w_ofs, h_ofs + y, w_len, up);
        }
        unsigned char *a = tile + static_cast<std::size_t>(y) * row_bytes;
        auto by_table = [&](std::size_t from, std::size_t to) {
            for (std::size_t j = from; j < to; ++j) {
                const int k = channel_of<kPixel>(j);
                if (k == 3) {
                    a[j] = 0;
                    continue;
                }
                const int pixel = (a[j] + up[j]) & 255;
                a[j] = curve[k][pixel - up[j]];
            }
        };
        for (int v = 0; v < kV; ++v) {
            const u8x16 lowest_above = floor_above[v];
            const u8x16 highest_above = ceiling_above[v];
            const u8x16 highest_below = ceiling_below[v];
            const u8x16 offset = add[v];
            const u8x16 colour = keep[v];
            for (std::size_t at = 16 * static_cast<std::size_t>(v); at < groups_end; at += kGroup) {
                const u8x16 residue = load16(a + at);
                const u8x16 parent_pixel = load16(up + at);
                const u8x16 pixel = residue + parent_pixel;
                const u8x16 both = umin(pixel, parent_pixel);
                const u8x16 above = pixel - both;
                const u8x16 below = parent_pixel - both;
                const s8x16 inside = (umax(above, lowest_above) == above) &
                                     (umin(above, highest_above) == above) &
                                     (umin(below, highest_below) == below);
                uint64_t half[2];
                std::memcpy(half, &inside, sizeof half);
                if ((half[0] & half[1]) != ~uint64_t{0}) {
                    by_table(at, at + 16);
                    continue;
                }
                store16(a + at, (residue + offset) & colour);
            }
        }
        by_table(groups_end, row_bytes);
    }
}

template <int kPixel>
void cr_reconstruct(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                    const unsigned char *decoded, const unsigned char cal[3], unsigned char *out) {
    constexpr int kV = kVectors<kPixel>;
    constexpr std::size_t kGroup = 16 * kV;
    int inv[3][256]; // cr_inv_cal of every byte value with the channel's offset
    int c[3];
    for (int k = 0; k < 3; ++k) {
        c[k] = static_cast<signed char>(cal[k]);
        for (int cc = 0; cc < 256; ++cc) {
            inv[k][cc] = kInvCalTable[static_cast<std::size_t>(cc)] - c[k];
        }
    }
    u8x16 colour[kV];
    i16x8 vc[kV][2];
    for (int v = 0; v < kV; ++v) {
        colour[v] = per_channel<kPixel>(v, 0xFF, 0xFF, 0xFF);
        vc[v][0] = per_channel_wide<kPixel>(v, 0, c);
        vc[v][1] = per_channel_wide<kPixel>(v, 1, c);
    }
    const i16x8 zero = splat8(0);
    const i16x8 top = splat8(255);
    const std::size_t row_bytes = static_cast<std::size_t>(w_len) * kPixel;
    const std::size_t groups_end = row_bytes / kGroup * kGroup;
    unsigned char up[kCrMaxRect * kPixel];
    for (int y = 0; y < h_len; ++y) {
        if (y == 0 || ((h_ofs + y) & 1) == 0) {
            cr_parent_row<kPixel>(parent, w_ofs, h_ofs + y, w_len, up);
        }
        const unsigned char *dec = decoded + static_cast<std::size_t>(y) * row_bytes;
        unsigned char *o = out + static_cast<std::size_t>(y) * row_bytes;
        auto by_table = [&](std::size_t from, std::size_t to) {
            for (std::size_t j = from; j < to; ++j) {
                const int k = channel_of<kPixel>(j);
                o[j] = k == 3
                           ? 0
                           : static_cast<unsigned char>(std::clamp(up[j] + inv[k][dec[j]], 0, 255));
            }
        };
        for (int v = 0; v < kV; ++v) {
            const u8x16 colour_lanes = colour[v];
            const i16x8 offset[2] = {vc[v][0], vc[v][1]};
            for (std::size_t at = 16 * static_cast<std::size_t>(v); at < groups_end; at += kGroup) {
                if (!block_in_band(load16(dec + at), colour_lanes)) {
                    by_table(at, at + 16);
                    continue;
                }
                // In the band cr_inv_cal is the byte less the offset; fourth bytes
                // (0 in both buffers, offset 0) stay 0.
                for (int h = 0; h < 2; ++h) {
                    const std::size_t b = at + 8 * static_cast<std::size_t>(h);
                    store_narrow(
                        o + b,
                        vmax(vmin(load_wide(up + b) + load_wide(dec + b) - offset[h], top), zero));
                }
            }
        }
        by_table(groups_end, row_bytes);
    }
}

#define R64_CR_KERNELS(kPixel)                                                                     \
    template void cr_parent_row<kPixel>(const CR_BUFFER &, int, int, int, unsigned char *);        \
    template void cr_root_calibration<kPixel>(const unsigned char *, std::size_t, int[3]);         \
    template void cr_encode_residual<kPixel>(const CR_BUFFER &, int, int, int, int,                \
                                             unsigned char *, int[3]);                             \
    template void cr_reconstruct<kPixel>(const CR_BUFFER &, int, int, int, int,                    \
                                         const unsigned char *, const unsigned char[3],            \
                                         unsigned char *);
R64_CR_KERNELS(kRgbx)
R64_CR_KERNELS(kRgb)
#undef R64_CR_KERNELS

} // namespace r64
