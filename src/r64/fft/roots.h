// The roots of unity used by every transform of this library, computed one way only,
// so that the public one-slot table and the level filter's private tables hold the
// same bits.
#ifndef R64_SRC_FFT_ROOTS_H
#define R64_SRC_FFT_ROOTS_H

#include "r64/fft.h"

namespace r64 {

// table[k] = (cos(k * 2pi / size), sign * sin(k * 2pi / size)) for k below size, the
// angle taken as the product first and then the quotient.
void fill_roots(COMPLEX *table, int size, int sign);

} // namespace r64

#endif
