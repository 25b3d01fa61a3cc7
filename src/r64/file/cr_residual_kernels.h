// The residual kernels' bodies, made for a vector width: rows go a group of
// kLanes-byte vectors at a time (GCC and Clang vector extensions), one vector for
// 4-byte pixels, three for 3-byte ones, so that each lane of a group always holds
// the same channel. A vector whose bytes leave the band that the calibration curve
// passes unchanged, and the bytes after the last whole group, take the curve's
// tables one byte at a time. The encoder meets each parent row once: its
// differences are kept modulo 256 in place and finished without the parent.
// Everything here has internal linkage: cr_residual.cpp makes the 16-byte kernels
// and cr_residual_avx2.cpp, built for AVX2, the 32-byte ones, each its own copy.
#ifndef R64_SRC_CR_RESIDUAL_KERNELS_H
#define R64_SRC_CR_RESIDUAL_KERNELS_H

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "r64/file/cr_residual.h"

namespace r64 {

namespace {

template <int kLanes> struct Lanes {
    typedef unsigned char u8 __attribute__((vector_size(kLanes)));
    typedef signed char s8 __attribute__((vector_size(kLanes)));
    typedef unsigned char half_u8 __attribute__((vector_size(kLanes / 2)));
    typedef short i16 __attribute__((vector_size(kLanes))); // half the lanes, widened
};

template <int kLanes> typename Lanes<kLanes>::u8 load(const unsigned char *p) {
    typename Lanes<kLanes>::u8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <int kLanes> void store(unsigned char *p, typename Lanes<kLanes>::u8 v) {
    std::memcpy(p, &v, sizeof v);
}

// Half a vector's bytes widened to 16-bit lanes.
template <int kLanes> typename Lanes<kLanes>::i16 load_wide(const unsigned char *p) {
    typename Lanes<kLanes>::half_u8 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, typename Lanes<kLanes>::i16);
}

template <int kLanes> void store_narrow(unsigned char *p, typename Lanes<kLanes>::i16 v) {
    const auto n = __builtin_convertvector(v, typename Lanes<kLanes>::half_u8);
    std::memcpy(p, &n, sizeof n);
}

template <int kLanes> typename Lanes<kLanes>::i16 splat_wide(short v) {
    typename Lanes<kLanes>::i16 r;
    for (int i = 0; i < kLanes / 2; ++i) {
        r[i] = v;
    }
    return r;
}

template <int kLanes>
typename Lanes<kLanes>::u8 umin(typename Lanes<kLanes>::u8 a, typename Lanes<kLanes>::u8 b) {
    return a < b ? a : b;
}

template <int kLanes>
typename Lanes<kLanes>::u8 umax(typename Lanes<kLanes>::u8 a, typename Lanes<kLanes>::u8 b) {
    return a > b ? a : b;
}

template <int kLanes>
typename Lanes<kLanes>::i16 vmin(typename Lanes<kLanes>::i16 a, typename Lanes<kLanes>::i16 b) {
    return a < b ? a : b;
}

template <int kLanes>
typename Lanes<kLanes>::i16 vmax(typename Lanes<kLanes>::i16 a, typename Lanes<kLanes>::i16 b) {
    return a > b ? a : b;
}

// Whether every lane of a comparison's result is set.
template <int kLanes> bool all_set(typename Lanes<kLanes>::s8 v) {
    uint64_t words[kLanes / 8];
    std::memcpy(words, &v, sizeof words);
    uint64_t all = ~uint64_t{0};
    for (uint64_t w : words) {
        all &= w;
    }
    return all == ~uint64_t{0};
}

// Whether all colour bytes (those set in colour) of a vector lie in 32..223.
template <int kLanes>
bool block_in_band(typename Lanes<kLanes>::u8 v, typename Lanes<kLanes>::u8 colour) {
    const auto out = reinterpret_cast<typename Lanes<kLanes>::s8>((v < 32) | (v > 223)) &
                     reinterpret_cast<typename Lanes<kLanes>::s8>(colour);
    uint64_t words[kLanes / 8];
    std::memcpy(words, &out, sizeof words);
    uint64_t any = 0;
    for (uint64_t w : words) {
        any |= w;
    }
    return any == 0;
}

// Vectors per group of kPixel-byte pixels.
template <int kPixel> inline constexpr int kVectors = kPixel == kRgbx ? 1 : 3;

// The channel of byte i of a row (3 is the fourth byte of a 4-byte pixel).
template <int kPixel> constexpr int channel_of(std::size_t i) {
    return static_cast<int>(i % kPixel);
}

// Lane j of vector v of a group gets c[channel], 0 for a fourth byte.
template <int kPixel, int kLanes>
typename Lanes<kLanes>::u8 per_channel(int v, int c0, int c1, int c2) {
    typename Lanes<kLanes>::u8 r;
    for (int j = 0; j < kLanes; ++j) {
        const int k = channel_of<kPixel>(std::size_t{kLanes} * static_cast<std::size_t>(v) + j);
        r[j] = static_cast<unsigned char>(k == 0 ? c0 : k == 1 ? c1 : k == 2 ? c2 : 0);
    }
    return r;
}

// The same for the lanes of half h of vector v, widened.
template <int kPixel, int kLanes>
typename Lanes<kLanes>::i16 per_channel_wide(int v, int h, const int c[3]) {
    typename Lanes<kLanes>::i16 r;
    for (int j = 0; j < kLanes / 2; ++j) {
        const int k = channel_of<kPixel>(std::size_t{kLanes} * static_cast<std::size_t>(v) +
                                         std::size_t{kLanes / 2} * static_cast<std::size_t>(h) + j);
        r[j] = static_cast<short>(k < 3 ? c[k] : 0);
    }
    return r;
}

constexpr bool calibrated_in_band(const int lo[3], const int hi[3], const int cal[3]) {
    for (int k = 0; k < 3; ++k) {
        if (lo[k] + cal[k] < 32 || hi[k] + cal[k] > 223) {
            return false;
        }
    }
    return true;
}

template <int kPixel, int kLanes>
void encode_residual(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                     unsigned char *tile, int cal[3]) {
    constexpr int kV = kVectors<kPixel>;
    using V = Lanes<kLanes>;
    constexpr std::size_t kGroup = std::size_t{kLanes} * kV;
    const std::size_t row_bytes = static_cast<std::size_t>(w_len) * kPixel;
    const std::size_t groups_end = row_bytes / kGroup * kGroup;
    unsigned char up[kCrMaxRect * kPixel];

    // The differences, modulo 256, replace the pixels (fourth bytes, 0 in both, stay
    // 0). Their range per channel, without widening: a difference is the part of the
    // pixel above the parent less the part of the parent above the pixel (one of them
    // 0), so the extremes of both parts give the extremes of the differences.
    typename V::u8 above_max[kV]; // largest part of a pixel above its parent, per lane
    typename V::u8 above_min[kV]; // smallest, and the same for the parent above the pixel
    typename V::u8 below_max[kV];
    typename V::u8 below_min[kV];
    for (int v = 0; v < kV; ++v) {
        above_max[v] = below_max[v] = per_channel<kPixel, kLanes>(v, 0, 0, 0);
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
            typename V::u8 a_max = above_max[v];
            typename V::u8 a_min = above_min[v];
            typename V::u8 b_max = below_max[v];
            typename V::u8 b_min = below_min[v];
            for (std::size_t i = std::size_t{kLanes} * static_cast<std::size_t>(v); i < groups_end;
                 i += kGroup) {
                const typename V::u8 pixel = load<kLanes>(a + i);
                const typename V::u8 parent_pixel = load<kLanes>(up + i);
                const typename V::u8 both = umin<kLanes>(pixel, parent_pixel);
                const typename V::u8 above = pixel - both;
                const typename V::u8 below = parent_pixel - both;
                a_max = umax<kLanes>(a_max, above);
                a_min = umin<kLanes>(a_min, above);
                b_max = umax<kLanes>(b_max, below);
                b_min = umin<kLanes>(b_min, below);
                store<kLanes>(a + i, pixel - parent_pixel);
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
        for (int j = 0; j < kLanes; ++j) {
            const int k = channel_of<kPixel>(std::size_t{kLanes} * static_cast<std::size_t>(v) + j);
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
    typename V::u8 keep[kV]; // the colour lanes
    typename V::u8 add[kV];
    for (int v = 0; v < kV; ++v) {
        keep[v] = per_channel<kPixel, kLanes>(v, 0xFF, 0xFF, 0xFF);
        add[v] = per_channel<kPixel, kLanes>(v, cal[0], cal[1], cal[2]);
    }
    if (calibrated_in_band(lo, hi, cal)) {
        // In the band the curve is the plain sum, taken modulo 256 a group at a time
        // (rows hold whole pixels, so the channels run on across them).
        std::size_t i = 0;
        for (; i + kGroup <= bytes; i += kGroup) {
            for (int v = 0; v < kV; ++v) {
                const std::size_t at = i + std::size_t{kLanes} * static_cast<std::size_t>(v);
                store<kLanes>(tile + at, (load<kLanes>(tile + at) + add[v]) & keep[v]);
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
    typename V::u8 floor_above[kV];
    typename V::u8 ceiling_above[kV];
    typename V::u8 ceiling_below[kV];
    for (int v = 0; v < kV; ++v) {
        floor_above[v] = per_channel<kPixel, kLanes>(v, above_lo[0], above_lo[1], above_lo[2]);
        ceiling_above[v] =
            per_channel<kPixel, kLanes>(v, above_hi[0], above_hi[1], above_hi[2]) | ~keep[v];
        ceiling_below[v] =
            per_channel<kPixel, kLanes>(v, below_hi[0], below_hi[1], below_hi[2]) | ~keep[v];
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
            const typename V::u8 lowest_above = floor_above[v];
            const typename V::u8 highest_above = ceiling_above[v];
            const typename V::u8 highest_below = ceiling_below[v];
            const typename V::u8 offset = add[v];
            const typename V::u8 colour = keep[v];
            for (std::size_t at = std::size_t{kLanes} * static_cast<std::size_t>(v);
                 at < groups_end; at += kGroup) {
                const typename V::u8 residue = load<kLanes>(a + at);
                const typename V::u8 parent_pixel = load<kLanes>(up + at);
                const typename V::u8 pixel = residue + parent_pixel;
                const typename V::u8 both = umin<kLanes>(pixel, parent_pixel);
                const typename V::u8 above = pixel - both;
                const typename V::u8 below = parent_pixel - both;
                const typename V::s8 inside = (umax<kLanes>(above, lowest_above) == above) &
                                              (umin<kLanes>(above, highest_above) == above) &
                                              (umin<kLanes>(below, highest_below) == below);
                if (!all_set<kLanes>(inside)) {
                    by_table(at, at + kLanes);
                    continue;
                }
                store<kLanes>(a + at, (residue + offset) & colour);
            }
        }
        by_table(groups_end, row_bytes);
    }
}

template <int kPixel, int kLanes>
void reconstruct(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                 const unsigned char *decoded, const unsigned char cal[3], unsigned char *out) {
    constexpr int kV = kVectors<kPixel>;
    using V = Lanes<kLanes>;
    constexpr std::size_t kGroup = std::size_t{kLanes} * kV;
    int inv[3][256]; // cr_inv_cal of every byte value with the channel's offset
    int c[3];
    for (int k = 0; k < 3; ++k) {
        c[k] = static_cast<signed char>(cal[k]);
        for (int cc = 0; cc < 256; ++cc) {
            inv[k][cc] = kInvCalTable[static_cast<std::size_t>(cc)] - c[k];
        }
    }
    typename V::u8 colour[kV];
    typename V::i16 vc[kV][2];
    for (int v = 0; v < kV; ++v) {
        colour[v] = per_channel<kPixel, kLanes>(v, 0xFF, 0xFF, 0xFF);
        vc[v][0] = per_channel_wide<kPixel, kLanes>(v, 0, c);
        vc[v][1] = per_channel_wide<kPixel, kLanes>(v, 1, c);
    }
    const typename V::i16 zero = splat_wide<kLanes>(0);
    const typename V::i16 top = splat_wide<kLanes>(255);
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
            const typename V::u8 colour_lanes = colour[v];
            const typename V::i16 offset[2] = {vc[v][0], vc[v][1]};
            for (std::size_t at = std::size_t{kLanes} * static_cast<std::size_t>(v);
                 at < groups_end; at += kGroup) {
                if (!block_in_band<kLanes>(load<kLanes>(dec + at), colour_lanes)) {
                    by_table(at, at + kLanes);
                    continue;
                }
                // In the band cr_inv_cal is the byte less the offset; fourth bytes
                // (0 in both buffers, offset 0) stay 0.
                for (int h = 0; h < 2; ++h) {
                    const std::size_t b =
                        at + std::size_t{kLanes / 2} * static_cast<std::size_t>(h);
                    store_narrow<kLanes>(
                        o + b, vmax<kLanes>(vmin<kLanes>(load_wide<kLanes>(up + b) +
                                                             load_wide<kLanes>(dec + b) - offset[h],
                                                         top),
                                            zero));
                }
            }
        }
        by_table(groups_end, row_bytes);
    }
}

} // namespace

} // namespace r64

#endif
