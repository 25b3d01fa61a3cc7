// The per-pixel work of residual tiles, shared by the writer and the decoder, for
// 4-byte and 3-byte pixels alike: the parent's rows widened for a child, the
// calibration of a root, and the entry points of the residual and reconstruction
// kernels (cr_residual_kernels.h), which run on 32-byte vectors where the processor
// has AVX2 and on 16-byte ones elsewhere.
#include <algorithm>
#include <climits>
#include <cstring>

#include "r64/file/cpu_features.h"
#include "r64/file/cr_residual_kernels.h"

namespace r64 {

#ifdef R64_CR_KERNELS_AVX2
bool cr_wide_kernels = kCpuHasAvx2;
#else
bool cr_wide_kernels = false;
#endif

namespace {

using u8x16 = Lanes<16>::u8;
typedef uint32_t u32x4 __attribute__((vector_size(16)));

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

#ifdef R64_X86
// Eight parent pixels of 3 bytes, each twice: sixteen pixels of the row a step, by
// byte shuffles; a step reads 32 bytes, so it runs while they lie in the parent's row.
__attribute__((target("ssse3"))) void widen_parent_rgb_ssse3(const unsigned char *src,
                                                             std::size_t src_room, int x, int w_len,
                                                             unsigned char *up) {
    for (; x + 16 <= w_len && src_room >= 32; x += 16, src += 24, src_room -= 24) {
        const u8x16 a = load<16>(src);
        const u8x16 b = load<16>(src + 16);
        store<16>(up + 3 * x,
                  __builtin_shufflevector(a, b, 0, 1, 2, 0, 1, 2, 3, 4, 5, 3, 4, 5, 6, 7, 8, 6));
        store<16>(up + 3 * x + 16, __builtin_shufflevector(a, b, 7, 8, 9, 10, 11, 9, 10, 11, 12, 13,
                                                           14, 12, 13, 14, 15, 16));
        store<16>(up + 3 * x + 32, __builtin_shufflevector(a, b, 17, 15, 16, 17, 18, 19, 20, 18, 19,
                                                           20, 21, 22, 23, 21, 22, 23));
    }
    widen_parent_pixels<kRgb>(src, x, w_len, up);
}

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
#ifdef R64_X86
    if constexpr (kPixel == kRgb) {
        if (kCpuHasSsse3) {
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
#ifdef R64_CR_KERNELS_AVX2
    if (cr_wide_kernels) {
        cr_encode_residual_avx2<kPixel>(parent, w_ofs, h_ofs, w_len, h_len, tile, cal);
        return;
    }
#endif
    encode_residual<kPixel, 16>(parent, w_ofs, h_ofs, w_len, h_len, tile, cal);
}

template <int kPixel>
void cr_reconstruct(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                    const unsigned char *decoded, const unsigned char cal[3], unsigned char *out) {
#ifdef R64_CR_KERNELS_AVX2
    if (cr_wide_kernels) {
        cr_reconstruct_avx2<kPixel>(parent, w_ofs, h_ofs, w_len, h_len, decoded, cal, out);
        return;
    }
#endif
    reconstruct<kPixel, 16>(parent, w_ofs, h_ofs, w_len, h_len, decoded, cal, out);
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
