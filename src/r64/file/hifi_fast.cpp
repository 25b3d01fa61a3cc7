// The fast Fourier level filter: each band's source rows are copied once from the
// cached tiles (r64_plane), and each window goes through transforms written out for
// the 8x8 case into local storage, with private root tables and without the work whose
// result the filter drops. Every kept value is computed by the same double operations
// in the same order as the literal path, so the stored bytes are the same.
#include <algorithm>
#include <cstring>
#include <utility>

#include "r64/fft/roots.h"
#include "r64/file/hifi_filter.h"

namespace {

// The kernel runs on one window at a time (V = double) or on several neighbouring
// windows at once, one per lane of a vector of doubles. Lane arithmetic is the same IEEE
// double arithmetic, so every lane gives the bits of the one-window kernel.
using Lanes2 = double __attribute__((vector_size(16)));

template <class V> struct Cv {
    V re;
    V im;
};

// The complex operations of the public arithmetic, inlined.
template <class V> inline Cv<V> add(Cv<V> a, Cv<V> b) {
    return {a.re + b.re, a.im + b.im};
}
template <class V> inline Cv<V> sub(Cv<V> a, Cv<V> b) {
    return {a.re - b.re, a.im - b.im};
}
template <class V> inline Cv<V> mul(Cv<V> a, Cv<V> w) {
    return {a.re * w.re - a.im * w.im, a.im * w.re + a.re * w.im};
}
template <class V> inline Cv<V> neg(Cv<V> a) {
    return {-a.re, -a.im};
}
// mul with an operand whose imaginary part is zero: the dropped products are zeros, and
// adding a zero leaves any other value as it was.
template <class V> inline Cv<V> mul_real(V a, Cv<V> w) {
    return {a * w.re, a * w.im};
}

template <class V> inline V splat(double d) {
    if constexpr (sizeof(V) == sizeof(double)) {
        return d;
    } else {
        V v;
        for (size_t l = 0; l < sizeof(V) / sizeof(double); l++) {
            v[l] = d;
        }
        return v;
    }
}

template <class V> struct Tables {
    Cv<V> w8[4];    // 8-point forward roots (only the first half is used)
    Cv<V> w4[2];    // 4-point inverse roots
    V weight[8][8]; // [row][column]: window_fn(column, row) / 64
};

template <class V> Tables<V> make_tables() {
    Tables<V> t{};
    COMPLEX w8[8];
    COMPLEX w4[4];
    r64::fill_roots(w8, 8, -1);
    r64::fill_roots(w4, 4, 1);
    for (int k = 0; k < 4; k++) {
        t.w8[k] = {splat<V>(w8[k].re), splat<V>(w8[k].im)};
    }
    for (int k = 0; k < 2; k++) {
        t.w4[k] = {splat<V>(w4[k].re), splat<V>(w4[k].im)};
    }
    // Both forward transforms scale by exactly 1/8; scaling by a power of two commutes
    // with every rounding here (no value comes near the subnormal range), so the whole
    // 1/64 is applied once, to the weights.
    for (int n = 0; n < 8; n++) {
        for (int m = 0; m < 8; m++) {
            t.weight[n][m] = splat<V>(window_fn(m, n) * 0.015625);
        }
    }
    return t;
}

template <class V> const Tables<V> &tables() {
    static const Tables<V> t = make_tables<V>();
    return t;
}

// The frequencies 0, +1, -2 and -1 (indices 0, 1, 6, 7) of an 8-point transform.
template <class V> struct Kept { Cv<V> f[4]; };

// 8-point forward transform of real x[1..7] with x[0] zero, unscaled, the butterflies
// of the radix-2 network in their order; only the outputs the filter keeps.
template <class V> inline Kept<V> fft8_real(const V x[8], const Tables<V> &t) {
    const Cv<V> w1 = t.w8[1];
    const Cv<V> w2 = t.w8[2];
    const Cv<V> w3 = t.w8[3];
    // Bit-reversed order 0 4 2 6 1 5 3 7; first stage.
    const V r0 = x[4];
    const V r1 = -x[4];
    const V r2 = x[2] + x[6];
    const V r3 = x[2] - x[6];
    const V r4 = x[1] + x[5];
    const V r5 = x[1] - x[5];
    const V r6 = x[3] + x[7];
    const V r7 = x[3] - x[7];
    // Second stage: roots 1 and w^2.
    const V s0 = r0 + r2;
    const V s2 = r0 - r2;
    const Cv<V> a3 = mul_real(r3, w2);
    const Cv<V> s1 = {r1 + a3.re, a3.im};
    const Cv<V> s3 = {r1 - a3.re, -a3.im};
    const V s4 = r4 + r6;
    const V s6 = r4 - r6;
    const Cv<V> a7 = mul_real(r7, w2);
    const Cv<V> s5 = {r5 + a7.re, a7.im};
    const Cv<V> s7 = {r5 - a7.re, -a7.im};
    // Last stage, outputs 0, 1, 6 and 7.
    const Cv<V> b6 = mul_real(s6, w2);
    return {{{s0 + s4, splat<V>(0.0)},
             add(s1, mul(s5, w1)),
             {s2 - b6.re, -b6.im},
             sub(s3, mul(s7, w3))}};
}

// The same for complex x[1..7] with x[0] zero.
template <class V> inline Kept<V> fft8_complex(const Cv<V> x[8], const Tables<V> &t) {
    const Cv<V> w1 = t.w8[1];
    const Cv<V> w2 = t.w8[2];
    const Cv<V> w3 = t.w8[3];
    const Cv<V> r0 = x[4];
    const Cv<V> r1 = neg(x[4]);
    const Cv<V> r2 = add(x[2], x[6]);
    const Cv<V> r3 = sub(x[2], x[6]);
    const Cv<V> r4 = add(x[1], x[5]);
    const Cv<V> r5 = sub(x[1], x[5]);
    const Cv<V> r6 = add(x[3], x[7]);
    const Cv<V> r7 = sub(x[3], x[7]);
    const Cv<V> s0 = add(r0, r2);
    const Cv<V> s2 = sub(r0, r2);
    const Cv<V> a3 = mul(r3, w2);
    const Cv<V> s1 = add(r1, a3);
    const Cv<V> s3 = sub(r1, a3);
    const Cv<V> s4 = add(r4, r6);
    const Cv<V> s6 = sub(r4, r6);
    const Cv<V> a7 = mul(r7, w2);
    const Cv<V> s5 = add(r5, a7);
    const Cv<V> s7 = sub(r5, a7);
    return {{add(s0, s4), add(s1, mul(s5, w1)), sub(s2, mul(s6, w2)), sub(s3, mul(s7, w3))}};
}

// 4-point inverse transform, unscaled.
template <class V> inline void ifft4(const Cv<V> x[4], const Tables<V> &t, Cv<V> out[4]) {
    const Cv<V> r0 = add(x[0], x[2]);
    const Cv<V> r1 = sub(x[0], x[2]);
    const Cv<V> r2 = add(x[1], x[3]);
    const Cv<V> r3 = sub(x[1], x[3]);
    const Cv<V> a = mul(r3, t.w4[1]);
    out[0] = add(r0, r2);
    out[1] = add(r1, a);
    out[2] = sub(r0, r2);
    out[3] = sub(r1, a);
}

// Real parts only of the 4-point inverse transform.
template <class V> inline void ifft4_re(const Cv<V> x[4], const Tables<V> &t, V out[4]) {
    const V r0 = x[0].re + x[2].re;
    const V r1 = x[0].re - x[2].re;
    const V r2 = x[1].re + x[3].re;
    const Cv<V> r3 = sub(x[1], x[3]);
    const V a = r3.re * t.w4[1].re - r3.im * t.w4[1].im;
    out[0] = r0 + r2;
    out[1] = r1 + a;
    out[2] = r0 - r2;
    out[3] = r1 - a;
}

// Sample (m, k) of channel c of each lane's window; lanes lie 4 pixels apart.
template <class V>
inline V sample(const unsigned char *p, int pixel_stride, [[maybe_unused]] int lanes) {
    if constexpr (sizeof(V) == sizeof(double)) {
        return static_cast<double>(p[0]);
    } else {
        V v = splat<V>(0.0);
        for (int l = 0; l < lanes; l++) {
            v[l] = static_cast<double>(p[l * 4 * pixel_stride]);
        }
        return v;
    }
}

// The filter of half_filter on the weighted windows of set_rect_buf, for `lanes`
// windows at once (the other lanes compute on zeros).
template <class V>
void filter_windows(const unsigned char *pix, std::ptrdiff_t row_stride, int pixel_stride, int c,
                    int lanes, V out[4][4]) {
    const Tables<V> &t = tables<V>();
    // Row 0 and column 0 of every window carry no weight: their transforms are zeros.
    V col0[8];
    Cv<V> col1[8];
    Cv<V> col6[8];
    Cv<V> col7[8];
    const V zero = splat<V>(0.0);
    col0[0] = zero;
    col1[0] = col6[0] = col7[0] = Cv<V>{zero, zero};
    for (int k = 1; k < 8; k++) {
        const unsigned char *p = pix + k * row_stride + c;
        V x[8];
        x[0] = zero;
        for (int m = 1; m < 8; m++) {
            x[m] = t.weight[k][m] * sample<V>(p + m * pixel_stride, pixel_stride, lanes);
        }
        const Kept<V> row = fft8_real(x, t);
        col0[k] = row.f[0].re;
        col1[k] = row.f[1];
        col6[k] = row.f[2];
        col7[k] = row.f[3];
    }
    // Columns of the kept horizontal frequencies only.
    const Kept<V> k0 = fft8_real(col0, t);
    const Kept<V> k1 = fft8_complex(col1, t);
    const Kept<V> k6 = fft8_complex(col6, t);
    const Kept<V> k7 = fft8_complex(col7, t);
    Cv<V> back[4][4]; // back[u][v]: inverse row v, output u
    for (int v = 0; v < 4; v++) {
        const Cv<V> row[4] = {k0.f[v], k1.f[v], k6.f[v], k7.f[v]};
        Cv<V> o[4];
        ifft4(row, t, o);
        for (int u = 0; u < 4; u++) {
            back[u][v] = o[u];
        }
    }
    for (int k = 0; k < 4; k++) {
        V o[4];
        ifft4_re(back[k], t, o);
        for (int u = 0; u < 4; u++) {
            out[u][k] = o[u];
        }
    }
}

} // namespace

namespace r64 {

void hifi_filter_window(const unsigned char *pix, std::ptrdiff_t row_stride, int pixel_stride,
                        int c, double out[4][4]) {
    filter_windows<double>(pix, row_stride, pixel_stride, c, 1, out);
}

void hifi_filter_windows(const unsigned char *pix, std::ptrdiff_t row_stride, int pixel_stride,
                         int c, int count, double (*out)[4][4]) {
    constexpr int kLanes = sizeof(Lanes2) / sizeof(double);
    for (int w = 0; w < count; w += kLanes) {
        const int lanes = count - w < kLanes ? count - w : kLanes;
        Lanes2 o[4][4];
        filter_windows<Lanes2>(pix + static_cast<std::ptrdiff_t>(w) * 4 * pixel_stride, row_stride,
                               pixel_stride, c, lanes, o);
        for (int l = 0; l < lanes; l++) {
            for (int y = 0; y < 4; y++) {
                for (int x = 0; x < 4; x++) {
                    out[w + l][y][x] = o[y][x][l];
                }
            }
        }
    }
}

} // namespace r64

namespace r64 {

bool HifiRows::prepare(int w, int h, char type) {
    w_ = w;
    h_ = h;
    type_ = type;
    vol_ = type == 'P' ? 3 : 1;
    cols_ = ((w_ - 1) / 4) * 4 + 12;
    stride_ = static_cast<std::ptrdiff_t>(cols_) * vol_;
    rows_.reset(static_cast<unsigned char *>(hifi_calloc(static_cast<size_t>(stride_), 8)));
    return rows_ != nullptr;
}

void HifiRows::fill_background(unsigned char *p, int pixels, const char background[3]) const {
    for (int x = 0; x < pixels; x++) {
        std::memcpy(p + x * vol_, background, static_cast<size_t>(vol_));
    }
}

// Copies row r of a tile tw pixels wide into dst, one byte (or three) per pixel.
void HifiRows::copy_tile_row(unsigned char *dst, const unsigned char *tile, int tw, int r) const {
    if (type_ == 'B') {
        const unsigned char *bits = tile + r * ((tw + 7) / 8);
        for (int x = 0; x < tw; x++) {
            dst[x] = ((bits[x >> 3] >> (7 - (x & 7))) & 1) != 0 ? 0xFF : 0x00;
        }
    } else {
        std::memcpy(dst, tile + r * tw * vol_, static_cast<size_t>(tw * vol_));
    }
}

// The band's eight source rows, columns -4 up to the last window's end, as the literal
// reads would deliver them.
bool HifiRows::gather(int i, bool edge, const char background[3], TileFn tile_of, void *ctx) {
    int src[8]; // source row of each band row, -1 for background
    for (int n = 0; n < 8; n++) {
        const int y = i + n;
        if (y >= 0 && y < h_) {
            src[n] = y;
        } else if (edge) {
            src[n] = y < 0 ? 0 : h_ - 1;
        } else {
            src[n] = -1;
            fill_background(row(n), cols_, background);
        }
    }
    for (int tx = 0; tx < w_; tx += kTile) {
        int tile_top = -1;
        const unsigned char *tile = nullptr;
        int tw = 0;
        for (int n = 0; n < 8; n++) {
            if (src[n] < 0) {
                continue;
            }
            const int top = src[n] - src[n] % kTile;
            if (top != tile_top) {
                tile = tile_of(ctx, tx, src[n], &tw);
                if (tile == nullptr) {
                    return false;
                }
                tile_top = top;
            }
            copy_tile_row(row(n) + (tx + 4) * vol_, tile, tw, src[n] - top);
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
            fill_background(p, 4, background);
            fill_background(p + (w_ + 4) * vol_, right, background);
        }
    }
    return true;
}

void HifiRows::filter(double **buf, int buf_line) {
    constexpr int kChunk = 16;
    const int windows = (w_ + 4 + 3) / 4; // j = -4, 0, 4, ... below w_
    for (int first = 0; first < windows; first += kChunk) {
        const int count = windows - first < kChunk ? windows - first : kChunk;
        for (int c = 0; c < vol_; c++) {
            double out[kChunk][4][4];
            hifi_filter_windows(rows_.get() + static_cast<std::ptrdiff_t>(first) * 4 * vol_,
                                stride_, vol_, c, count, out);
            for (int q = 0; q < count; q++) {
                hifi_add_window(buf[c], buf_line, 4 * (first + q) - 4, out[q]);
            }
        }
    }
}

const unsigned char *HifiRows::line_bytes(double *const *buf, int first, int dest_w) {
    unsigned char *out = row(0); // the band's source rows are no longer needed
    for (int c = 0; c < vol_; c++) {
        const double *line = buf[c] + first + 2;
        for (int x = 0; x < dest_w; x++) {
            out[x * vol_ + c] = hifi_to_byte(line[x]);
        }
    }
    return out;
}

void HifiRows::shift_lines(double **buf, int buf_line) const {
    const auto half = static_cast<size_t>(buf_line) * 2;
    for (int c = 0; c < vol_; c++) {
        std::memcpy(buf[c], buf[c] + half, half * sizeof(double));
        std::fill(buf[c] + half, buf[c] + 2 * half, 0.0);
    }
}

} // namespace r64

namespace {

// The band's rows from the cache's own tile buffers.
const unsigned char *cached_tile(void *ctx, int tx, int y, int *tw) {
    const auto *at = static_cast<const std::pair<R64_FILE *, int> *>(ctx);
    char *data = nullptr;
    int th = 0;
    int size = 0;
    if (r64_plane(&data, tw, &th, &size, at->first, tx, y, at->second) < 0 || data == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const unsigned char *>(data);
}

class FastBands final : public r64::HifiBands {
  public:
    bool prepare(R64_FILE *f, int level) override {
        return rows_.prepare(f->level_w[level], f->level_h[level], f->header.type);
    }

    bool filter_band(R64_FILE *f, int level, int i, double **buf, int buf_line,
                     r64::HifiFailures &fails) override {
        // Other out-of-level rules and tiles that cannot be had go the literal way.
        std::pair<R64_FILE *, int> at{f, level};
        if ((f->rc_type == 0 || f->rc_type == 1) &&
            rows_.gather(i, f->rc_type == 1, f->background, cached_tile, &at)) {
            rows_.filter(buf, buf_line);
            return true;
        }
        const int vol = rows_.vol();
        for (int j = -4; j < f->level_w[level]; j += 4) {
            unsigned char block[8][8][3];
            r64::hifi_read_window(f, i, j, level, vol, block, &fails);
            for (int c = 0; c < vol; c++) {
                double out[4][4];
                r64::hifi_filter_window(&block[0][0][0], 8 * 3, 3, c, out);
                r64::hifi_add_window(buf[c], buf_line, j, out);
            }
        }
        return true;
    }

    // Each row goes in with one r64_write_block; a row outside the level is what every
    // r64_set of it would refuse (-7 or -9), and a row the block write cannot complete
    // is stored again pixel by pixel, so that its failures are those of r64_set.
    void store_band(R64_FILE *f, int i, double **buf, int level, int dest_w, int buf_line,
                    r64::HifiFailures &fails) override {
        for (int r = 0; r < 2; r++) {
            const int y = i / 2 + r;
            if (!r64::level_exists(f, level) || y < 0 || y >= f->level_h[level] ||
                dest_w != f->level_w[level]) {
                store_row_by_pixels(f, buf, r * buf_line, y, level, dest_w, fails);
                continue;
            }
            const unsigned char *out = rows_.line_bytes(buf, r * buf_line, dest_w);
            if (r64_write_block(f, 0, y, dest_w, 1, level, out, 0) < 0) {
                store_row_by_pixels(f, buf, r * buf_line, y, level, dest_w, fails);
            }
        }
        rows_.shift_lines(buf, buf_line);
    }

  private:
    void store_row_by_pixels(R64_FILE *f, double **buf, int first, int y, int level, int dest_w,
                             r64::HifiFailures &fails) const {
        const int vol = rows_.vol();
        for (int x = 0; x < dest_w; x++) {
            unsigned char col[3] = {0, 0, 0};
            for (int c = 0; c < vol; c++) {
                col[c] = r64::hifi_to_byte(buf[c][first + x + 2]);
            }
            if (r64_set(f, x, y, level, col) < 0) {
                fails.note();
            }
        }
    }

    r64::HifiRows rows_;
};

} // namespace

namespace r64 {

void hifi_add_window(double *lines, int buf_line, int j, const double out[4][4]) {
    for (int m = 0; m < 4; m++) {
        double *line = lines + m * buf_line + j / 2 + 2;
        for (int n = 0; n < 4; n++) {
            line[n] += out[m][n];
        }
    }
}

int new_level_hifi_fast(R64_FILE *f, int level) {
    FastBands bands;
    return hifi_run(f, level, bands);
}

} // namespace r64
