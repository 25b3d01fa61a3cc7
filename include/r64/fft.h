/*
 * Complex arithmetic and the radix-2 fast Fourier transform. The transforms
 * share one process-wide table of roots, rebuilt whenever the size or the
 * direction changes. Results are malloc'ed; the caller frees them.
 */
#ifndef R64_FFT_H
#define R64_FFT_H

#include "r64/defs.h"

R64_BEGIN_DECLS

typedef struct complex_t {
    double im;
    double re;
} COMPLEX;

COMPLEX addc(COMPLEX a, COMPLEX b);
COMPLEX subc(COMPLEX a, COMPLEX b);
COMPLEX minus(COMPLEX a);
COMPLEX mulc(COMPLEX a, COMPLEX b);

extern COMPLEX *w_list;
extern int w_list_size;
extern int w_list_sign;

void new_w_list(int size, int sign);
int upsidedown(int a, int b);
COMPLEX *_fastft(COMPLEX *list, int beki, int sign);
COMPLEX *fastft(COMPLEX *list, int beki);
COMPLEX *fastdft(COMPLEX *list, int beki);
void print_all(COMPLEX *a, int b);

/* Fourier level filter pieces (the windowed 8-point low-pass of r64_new_level_hifi). */
struct r64_file;
double window_fn(int x, int y);
void set_rect_buf(struct r64_file *f, int i, int j, COMPLEX (*rect_buf)[8][8], int level);
void half_filter(COMPLEX (*rect_buf)[8][8], int vol);
void set_buf(double **buf, int j, COMPLEX (*rect_buf)[8][8], int buf_line, int vol);
void flush_buf(struct r64_file *f, int i, double **buf, int level, int dest_w, int buf_line);
void save_test(double **buf, int size);

R64_END_DECLS

#endif
