// Complex arithmetic on COMPLEX values passed by value. Each part is one IEEE double
// operation (or two products and one sum for mulc), so the transforms built on these
// give the same bits wherever they run.
#include "r64/fft.h"

extern "C" {

COMPLEX addc(COMPLEX a, COMPLEX b) {
    COMPLEX c;
    c.im = a.im + b.im;
    c.re = a.re + b.re;
    return c;
}

COMPLEX subc(COMPLEX a, COMPLEX b) {
    COMPLEX c;
    c.im = a.im - b.im;
    c.re = a.re - b.re;
    return c;
}

COMPLEX minus(COMPLEX a) {
    COMPLEX c;
    c.im = -a.im;
    c.re = -a.re;
    return c;
}

COMPLEX mulc(COMPLEX a, COMPLEX b) {
    COMPLEX c;
    c.re = a.re * b.re - a.im * b.im;
    c.im = a.im * b.re + a.re * b.im;
    return c;
}

} // extern "C"
