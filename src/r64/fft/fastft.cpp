// The radix-2 decimation-in-time transform and its one-slot root table (w_list,
// w_list_size, w_list_sign), rebuilt whenever a transform of another size or direction
// is asked for. Results come from malloc and belong to the caller; on allocation
// failure the transforms return null.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "r64/fft.h"
#include "r64/fft/roots.h"
#include "r64/fft/transform_alloc.h"

namespace r64 {

void *(*transform_alloc)(std::size_t bytes) = [](std::size_t bytes) { return std::malloc(bytes); };

void fill_roots(COMPLEX *table, int size, int sign) {
    for (int k = 0; k < size; k++) {
        const double angle =
            (static_cast<double>(k) * 6.283185307179586) / static_cast<double>(size);
        table[k].re = std::cos(angle);
        table[k].im = sign * std::sin(angle);
    }
}

} // namespace r64

extern "C" {

COMPLEX *w_list = nullptr;
int w_list_size = 0;
int w_list_sign = 0;

void new_w_list(int size, int sign) {
    if (w_list_size == size && w_list_sign == sign) {
        return;
    }
    std::free(w_list);
    w_list =
        static_cast<COMPLEX *>(r64::transform_alloc(sizeof(COMPLEX) * static_cast<size_t>(size)));
    if (w_list == nullptr) {
        // No table: the next transform asks again and fails again.
        w_list_size = 0;
        w_list_sign = 0;
        return;
    }
    w_list_size = size;
    w_list_sign = sign;
    r64::fill_roots(w_list, size, sign);
}

int upsidedown(int a, int b) {
    int r = 0;
    for (int n = 0; n < b; n++) {
        r = r * 2 + (a & 1);
        a >>= 1;
    }
    return r;
}

COMPLEX *_fastft(COMPLEX *list, int beki, int sign) {
    const int size = 1 << beki;
    new_w_list(size, sign);
    if (w_list == nullptr) {
        return nullptr;
    }
    auto *result =
        static_cast<COMPLEX *>(r64::transform_alloc(sizeof(COMPLEX) * static_cast<size_t>(size)));
    if (result == nullptr) {
        return nullptr;
    }
    for (int n = 0; n < size; n++) {
        result[upsidedown(n, beki)] = list[n];
    }
    int kstep = size / 2;
    for (int i = 1; i < size; i *= 2) {
        for (int j = 0; j < size; j += 2 * i) {
            for (int k = 0; k < i; k++) {
                const COMPLEX a = mulc(result[j + k + i], w_list[k * kstep]);
                const COMPLEX b = addc(result[j + k], a);
                const COMPLEX c = subc(result[j + k], a);
                result[j + k] = b;
                result[j + k + i] = c;
            }
        }
        kstep /= 2;
    }
    return result;
}

COMPLEX *fastft(COMPLEX *list, int beki) {
    COMPLEX *result = _fastft(list, beki, -1);
    if (result == nullptr) {
        return nullptr;
    }
    const int size = 1 << beki;
    const double scale = 1.0 / static_cast<double>(size);
    for (int n = 0; n < size; n++) {
        result[n].re = result[n].re * scale;
        result[n].im = result[n].im * scale;
    }
    return result;
}

COMPLEX *fastdft(COMPLEX *list, int beki) {
    return _fastft(list, beki, 1);
}

void print_all(COMPLEX *a, int b) {
    std::printf("a\n");
    for (int i = 0; i < b; i++) {
        std::printf("\t%i (%f, %f)\n", i, a[i].re, a[i].im);
    }
}

} // extern "C"
