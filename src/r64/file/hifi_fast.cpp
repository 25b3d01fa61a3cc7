// The fast Fourier level filter: each band's source rows are copied once from the
// cached tiles (r64_plane), and each window goes through transforms written out for
// the 8x8 case into local storage, with private root tables and without the work whose
// result the filter drops. Every kept value is computed by the same double operations
// in the same order as the literal path, so the stored bytes are the same.
#include <cstring>

#include "r64/fft/roots.h"
#include "r64/file/hifi_filter.h"

namespace {

struct Cx {
    double re;
    double im;
};

// The complex operations of the public arithmetic, inlined.
inline Cx add(Cx a, Cx b) {
    return {a.re + b.re, a.im + b.im};
}
inline Cx sub(Cx a, Cx b) {
    return {a.re - b.re, a.im - b.im};
}
inline Cx mul(Cx a, Cx w) {
    return {a.re * w.re - a.im * w.im, a.im * w.re + a.re * w.im};
}
inline Cx neg(Cx a) {
    return {-a.re, -a.im};
}
// mul with an operand whose imaginary part is zero: the dropped products are zeros, and
// adding a zero leaves any other value as it was.
inline Cx mul_real(double a, Cx w) {
    return {a * w.re, a * w.im};
}

struct Tables {
    Cx w8[4];            // 8-point forward roots (only the first half is used)
    Cx w4[2];            // 4-point inverse roots
    double weight[8][8]; // [row][column]: window_fn(column, row) / 64
};

Tables make_tables() {
    Tables t{};
    COMPLEX w8[8];
    COMPLEX w4[4];
    r64::fill_roots(w8, 8, -1);
    r64::fill_roots(w4, 4, 1);
    for (int k = 0; k < 4; k++) {
        t.w8[k] = {w8[k].re, w8[k].im};
    }
    for (int k = 0; k < 2; k++) {
        t.w4[k] = {w4[k].re, w4[k].im};
    }
    // Both forward transforms scale by exactly 1/8; scaling by a power of two commutes
    // with every rounding here (no value comes near the subnormal range), so the whole
    // 1/64 is applied once, to the weights.
    for (int n = 0; n < 8; n++) {
        for (int m = 0; m < 8; m++) {
            t.weight[n][m] = window_fn(m, n) * 0.015625;
        }
    }
    return t;
}

const Tables &tables() {
    static const Tables t = make_tables();
    return t;
}

// The frequencies 0, +1, -2 and -1 (indices 0, 1, 6, 7) of an 8-point transform.
struct Kept {
    Cx f[4];
};

// 8-point forward transform of real x[1..7] with x[0] zero, unscaled, the butterflies
// of the radix-2 network in their order; only the outputs the filter keeps.
inline Kept fft8_real(const double x[8], const Tables &t) {
    const Cx w1 = t.w8[1];
    const Cx w2 = t.w8[2];
    const Cx w3 = t.w8[3];
    // Bit-reversed order 0 4 2 6 1 5 3 7; first stage.
    const double r0 = x[4];
    const double r1 = -x[4];
    const double r2 = x[2] + x[6];
    const double r3 = x[2] - x[6];
    const double r4 = x[1] + x[5];
    const double r5 = x[1] - x[5];
    const double r6 = x[3] + x[7];
    const double r7 = x[3] - x[7];
    // Second stage: roots 1 and w^2.
    const double s0 = r0 + r2;
    const double s2 = r0 - r2;
    const Cx a3 = mul_real(r3, w2);
    const Cx s1 = {r1 + a3.re, a3.im};
    const Cx s3 = {r1 - a3.re, -a3.im};
    const double s4 = r4 + r6;
    const double s6 = r4 - r6;
    const Cx a7 = mul_real(r7, w2);
    const Cx s5 = {r5 + a7.re, a7.im};
    const Cx s7 = {r5 - a7.re, -a7.im};
    // Last stage, outputs 0, 1, 6 and 7.
    const Cx b6 = mul_real(s6, w2);
    return {{{s0 + s4, 0.0}, add(s1, mul(s5, w1)), {s2 - b6.re, -b6.im}, sub(s3, mul(s7, w3))}};
}

// The same for complex x[1..7] with x[0] zero.
inline Kept fft8_complex(const Cx x[8], const Tables &t) {
    const Cx w1 = t.w8[1];
    const Cx w2 = t.w8[2];
    const Cx w3 = t.w8[3];
    const Cx r0 = x[4];
    const Cx r1 = neg(x[4]);
    const Cx r2 = add(x[2], x[6]);
    const Cx r3 = sub(x[2], x[6]);
    const Cx r4 = add(x[1], x[5]);
    const Cx r5 = sub(x[1], x[5]);
    const Cx r6 = add(x[3], x[7]);
    const Cx r7 = sub(x[3], x[7]);
    const Cx s0 = add(r0, r2);
    const Cx s2 = sub(r0, r2);
    const Cx a3 = mul(r3, w2);
    const Cx s1 = add(r1, a3);
    const Cx s3 = sub(r1, a3);
    const Cx s4 = add(r4, r6);
    const Cx s6 = sub(r4, r6);
    const Cx a7 = mul(r7, w2);
    const Cx s5 = add(r5, a7);
    const Cx s7 = sub(r5, a7);
    return {{add(s0, s4), add(s1, mul(s5, w1)), sub(s2, mul(s6, w2)), sub(s3, mul(s7, w3))}};
}

// 4-point inverse transform, unscaled.
inline void ifft4(const Cx x[4], const Tables &t, Cx out[4]) {
    const Cx r0 = add(x[0], x[2]);
    const Cx r1 = sub(x[0], x[2]);
    const Cx r2 = add(x[1], x[3]);
    const Cx r3 = sub(x[1], x[3]);
    const Cx a = mul(r3, t.w4[1]);
    out[0] = add(r0, r2);
    out[1] = add(r1, a);
    out[2] = sub(r0, r2);
    out[3] = sub(r1, a);
}

// Real parts only of the 4-point inverse transform.
inline void ifft4_re(const Cx x[4], const Tables &t, double out[4]) {
    const double r0 = x[0].re + x[2].re;
    const double r1 = x[0].re - x[2].re;
    const double r2 = x[1].re + x[3].re;
    const Cx r3 = sub(x[1], x[3]);
    const double a = r3.re * t.w4[1].re - r3.im * t.w4[1].im;
    out[0] = r0 + r2;
    out[1] = r1 + a;
    out[2] = r0 - r2;
    out[3] = r1 - a;
}

} // namespace

namespace r64 {

void hifi_filter_window(const unsigned char *pix, std::ptrdiff_t row_stride, int pixel_stride,
                        int c, double out[4][4]) {
    const Tables &t = tables();
    // Row 0 and column 0 of every window carry no weight: their transforms are zeros.
    double col0[8];
    Cx col1[8];
    Cx col6[8];
    Cx col7[8];
    col0[0] = 0.0;
    col1[0] = col6[0] = col7[0] = Cx{0.0, 0.0};
    for (int k = 1; k < 8; k++) {
        const unsigned char *p = pix + k * row_stride + c;
        double x[8];
        x[0] = 0.0;
        for (int m = 1; m < 8; m++) {
            x[m] = t.weight[k][m] * static_cast<double>(p[m * pixel_stride]);
        }
        const Kept row = fft8_real(x, t);
        col0[k] = row.f[0].re;
        col1[k] = row.f[1];
        col6[k] = row.f[2];
        col7[k] = row.f[3];
    }
    // Columns of the kept horizontal frequencies only; spec[v][u] in kept indices.
    const Kept k0 = fft8_real(col0, t);
    const Kept k1 = fft8_complex(col1, t);
    const Kept k6 = fft8_complex(col6, t);
    const Kept k7 = fft8_complex(col7, t);
    Cx back[4][4]; // back[u][v]: inverse row v, output u
    for (int v = 0; v < 4; v++) {
        const Cx row[4] = {k0.f[v], k1.f[v], k6.f[v], k7.f[v]};
        Cx o[4];
        ifft4(row, t, o);
        for (int u = 0; u < 4; u++) {
            back[u][v] = o[u];
        }
    }
    for (int k = 0; k < 4; k++) {
        double o[4];
        ifft4_re(back[k], t, o);
        for (int u = 0; u < 4; u++) {
            out[u][k] = o[u];
        }
    }
}

} // namespace r64

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// The band's eight source rows, columns -4 up to the last window's end, as the literal
// reads would deliver them (edge or background outside the level).
class FastBands final : public r64::HifiBands {
  public:
    bool prepare(R64_FILE *f, int level) override {
        w_ = f->level_w[level];
        h_ = f->level_h[level];
        vol_ = r64::hifi_vol(f);
        cols_ = ((w_ - 1) / 4) * 4 + 12;
        stride_ = static_cast<std::ptrdiff_t>(cols_) * vol_;
        rows_.reset(static_cast<unsigned char *>(std::malloc(static_cast<size_t>(stride_) * 8)));
        return rows_ != nullptr;
    }

    bool filter_band(R64_FILE *f, int level, int i, double **buf, int buf_line,
                     r64::HifiFailures &fails) override {
        // Other out-of-level rules and tiles that cannot be had go the literal way.
        const bool gathered = (f->rc_type == 0 || f->rc_type == 1) && gather(f, level, i);
        for (int j = -4; j < w_; j += 4) {
            unsigned char block[8][8][3];
            const unsigned char *pix;
            std::ptrdiff_t row_stride;
            int pixel_stride;
            if (gathered) {
                pix = rows_.get() + static_cast<std::ptrdiff_t>(j + 4) * vol_;
                row_stride = stride_;
                pixel_stride = vol_;
            } else {
                r64::hifi_read_window(f, i, j, level, vol_, block, &fails);
                pix = &block[0][0][0];
                row_stride = 8 * 3;
                pixel_stride = 3;
            }
            for (int c = 0; c < vol_; c++) {
                double out[4][4];
                r64::hifi_filter_window(pix, row_stride, pixel_stride, c, out);
                for (int m = 0; m < 4; m++) {
                    double *line = buf[c] + m * buf_line + j / 2 + 2;
                    for (int n = 0; n < 4; n++) {
                        line[n] += out[m][n];
                    }
                }
            }
        }
        return true;
    }

  private:
    unsigned char *row(int n) { return rows_.get() + n * stride_; }

    void fill_background(unsigned char *p, int pixels, const R64_FILE *f) const {
        for (int x = 0; x < pixels; x++) {
            std::memcpy(p + x * vol_, f->background, static_cast<size_t>(vol_));
        }
    }

    // Copies row r of a tile tw pixels wide into dst, one byte (or three) per pixel.
    void copy_tile_row(unsigned char *dst, const unsigned char *tile, int tw, int r,
                       char type) const {
        if (type == 'B') {
            const unsigned char *bits = tile + r * ((tw + 7) / 8);
            for (int x = 0; x < tw; x++) {
                dst[x] = ((bits[x >> 3] >> (7 - (x & 7))) & 1) != 0 ? 0xFF : 0x00;
            }
        } else {
            std::memcpy(dst, tile + r * tw * vol_, static_cast<size_t>(tw * vol_));
        }
    }

    bool gather(R64_FILE *f, int level, int i) {
        const bool edge = f->rc_type == 1;
        int src[8]; // source row of each band row, -1 for background
        for (int n = 0; n < 8; n++) {
            const int y = i + n;
            if (y >= 0 && y < h_) {
                src[n] = y;
            } else if (edge) {
                src[n] = y < 0 ? 0 : h_ - 1;
            } else {
                src[n] = -1;
                fill_background(row(n), cols_, f);
            }
        }
        for (int tx = 0; tx < w_; tx += r64::kTile) {
            int tile_top = -1;
            const unsigned char *tile = nullptr;
            int tw = 0;
            for (int n = 0; n < 8; n++) {
                if (src[n] < 0) {
                    continue;
                }
                const int top = src[n] - src[n] % r64::kTile;
                if (top != tile_top) {
                    char *data = nullptr;
                    int th = 0;
                    int size = 0;
                    if (r64_plane(&data, &tw, &th, &size, f, tx, src[n], level) < 0 ||
                        data == nullptr) {
                        return false;
                    }
                    tile = reinterpret_cast<const unsigned char *>(data);
                    tile_top = top;
                }
                copy_tile_row(row(n) + (tx + 4) * vol_, tile, tw, src[n] - top, f->header.type);
            }
        }
        for (int n = 0; n < 8; n++) {
            if (src[n] < 0) {
                continue;
            }
            unsigned char *p = row(n);
            const int right = cols_ - (w_ + 4);
            if (edge) {
                for (int x = 0; x < 4; x++) {
                    std::memcpy(p + x * vol_, p + 4 * vol_, static_cast<size_t>(vol_));
                }
                for (int x = 0; x < right; x++) {
                    std::memcpy(p + (w_ + 4 + x) * vol_, p + (w_ + 3) * vol_,
                                static_cast<size_t>(vol_));
                }
            } else {
                fill_background(p, 4, f);
                fill_background(p + (w_ + 4) * vol_, right, f);
            }
        }
        return true;
    }

    int w_ = 0;
    int h_ = 0;
    int vol_ = 1;
    int cols_ = 0;
    std::ptrdiff_t stride_ = 0;
    std::unique_ptr<unsigned char[], FreeDeleter> rows_;
};

} // namespace

namespace r64 {

int new_level_hifi_fast(R64_FILE *f, int level) {
    FastBands bands;
    return hifi_run(f, level, bands);
}

} // namespace r64
