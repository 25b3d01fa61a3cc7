// The residual coding of cr tiles shared by the writer and the decoder: the
// calibration curves as tables, the choice of tile compression by size, the bytes
// for the encoder and the reconstruction of a tile from its parent and its decoded
// differences (cr_residual.cpp). cr_cal and cr_inv_cal (cr_write_file.cpp) use the
// same arithmetic as the tables.
#ifndef R64_SRC_CR_RESIDUAL_H
#define R64_SRC_CR_RESIDUAL_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "r64/r64.h"

namespace r64 {

inline constexpr int kCrMaxRect = 256;    // a stored tile keeps width - 1 in one byte
inline constexpr int kCrJpegMinSide = 16; // smaller tiles are stored as-is
inline constexpr int kCrJpegQuality = 80;
inline constexpr char kCrStored = 'n';
inline constexpr char kCrJpeg = 'j';

constexpr bool cr_tile_is_jpeg(int w_len, int h_len) {
    return w_len >= kCrJpegMinSide && h_len >= kCrJpegMinSide;
}

// cr_cal with its offset already added: v = sample + cal, soft-limited into a byte.
constexpr unsigned char cr_cal_sum(int v) {
    if (v > 223) {
        v = 224 + (32 * v - 7168) / 332;
    } else if (v < 32) {
        v = 32 + (32 * v - 1024) / 332;
    }
    return static_cast<unsigned char>(v);
}

// cr_inv_cal before its offset is taken off.
constexpr int cr_inv_cal_raw(int cc) {
    if (cc > 223) {
        return 224 + (332 * cc - 74368) / 32;
    }
    if (cc < 32) {
        return 32 + (332 * cc - 10624) / 32;
    }
    return cc;
}

// A difference lies in -255..255 and an offset in -128..127.
inline constexpr int kCalSumMin = -255 - 128;
inline constexpr int kCalSumMax = 255 + 127;

inline constexpr auto kCalTable = [] {
    std::array<unsigned char, kCalSumMax - kCalSumMin + 1> t{};
    for (int v = kCalSumMin; v <= kCalSumMax; ++v) {
        t[static_cast<std::size_t>(v - kCalSumMin)] = cr_cal_sum(v);
    }
    return t;
}();

inline constexpr auto kInvCalTable = [] {
    std::array<int, 256> t{};
    for (int cc = 0; cc < 256; ++cc) {
        t[static_cast<std::size_t>(cc)] = cr_inv_cal_raw(cc);
    }
    return t;
}();

// The offset that moves the middle of a channel's range [lo, hi] to 128.
constexpr int cr_calibration(int lo, int hi) {
    const int cal = 128 - (hi + lo) / 2;
    return cal > 127 ? 127 : (cal < -128 ? -128 : cal);
}

// The kernels below work on tiles of kPixel-byte pixels: 4 (red, green, blue, 0), as
// readers get them, or 3 (red, green, blue), as the writer's pipeline keeps them. A
// parent's buffer has pixels of the same size as its child's. cr_residual.cpp makes
// each kernel for both sizes.
inline constexpr int kRgbx = 4;
inline constexpr int kRgb = 3;

// The parent pixel of each pixel of row y of a child tile whose first column is
// w_ofs: up[kPixel x ..] = parent pixel ((w_ofs + x) >> 1, y >> 1).
template <int kPixel = kRgbx>
void cr_parent_row(const CR_BUFFER &parent, int w_ofs, int y, int w_len, unsigned char *up);

// The offsets of a root tile, from the range of its pixel values (not applied).
template <int kPixel = kRgbx>
void cr_root_calibration(const unsigned char *tile, std::size_t pixels, int cal[3]);

// A tile below the root: sets cal from the range of its differences from the
// parent and turns its pixels (in place) into the bytes for the encoder,
// cr_cal(difference, cal[k]) (a fourth byte 0).
template <int kPixel = kRgbx>
void cr_encode_residual(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                        unsigned char *tile, int cal[3]);

// Rebuilds a tile as a reader sees it: pixel byte k = parent pixel byte k +
// cr_inv_cal(decoded byte k, cal[k]), limited to 0..255 (a fourth byte 0).
// The tile's top-left pixel is (w_ofs, h_ofs) of the level below the parent's;
// out and decoded may be the same buffer.
template <int kPixel = kRgbx>
void cr_reconstruct(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                    const unsigned char *decoded, const unsigned char cal[3], unsigned char *out);

// Whether cr_encode_residual and cr_reconstruct run on 32-byte vectors: set at start
// where the processor has AVX2 (and the library was built with those kernels). Tests
// clear it to check the 16-byte kernels, which give the same bytes.
extern bool cr_wide_kernels;

// The 32-byte kernels (cr_residual_avx2.cpp, built where R64_CR_KERNELS_AVX2 is defined).
template <int kPixel>
void cr_encode_residual_avx2(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                             unsigned char *tile, int cal[3]);
template <int kPixel>
void cr_reconstruct_avx2(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                         const unsigned char *decoded, const unsigned char cal[3],
                         unsigned char *out);

} // namespace r64

#endif
