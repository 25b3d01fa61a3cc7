// The residual kernels on 32-byte vectors, built with AVX2 enabled (on x86 only);
// cr_encode_residual and cr_reconstruct call them only where the processor has it.
// Nothing here runs before that check: the unit has no initialisers.
#include "r64/file/cr_residual_kernels.h"

namespace r64 {

template <int kPixel>
void cr_encode_residual_avx2(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                             unsigned char *tile, int cal[3]) {
    encode_residual<kPixel, 32>(parent, w_ofs, h_ofs, w_len, h_len, tile, cal);
}

template <int kPixel>
void cr_reconstruct_avx2(const CR_BUFFER &parent, int w_ofs, int h_ofs, int w_len, int h_len,
                         const unsigned char *decoded, const unsigned char cal[3],
                         unsigned char *out) {
    reconstruct<kPixel, 32>(parent, w_ofs, h_ofs, w_len, h_len, decoded, cal, out);
}

#define R64_CR_KERNELS(kPixel)                                                                     \
    template void cr_encode_residual_avx2<kPixel>(const CR_BUFFER &, int, int, int, int,           \
                                                  unsigned char *, int[3]);                        \
    template void cr_reconstruct_avx2<kPixel>(const CR_BUFFER &, int, int, int, int,               \
                                              const unsigned char *, const unsigned char[3],       \
                                              unsigned char *);
R64_CR_KERNELS(kRgbx)
R64_CR_KERNELS(kRgb)
#undef R64_CR_KERNELS

} // namespace r64
