// Level generation by the windowed 8-point Fourier low-pass filter with overlap-add:
// the pass over the bands, the literal per-window steps (window_fn, set_rect_buf,
// half_filter, set_buf, flush_buf) built on the public transforms, and save_test.
// Pixels go through r64_red and r64_set; the fast band filter is in hifi_fast.cpp.
#include <fcntl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "r64/file/hifi_filter.h"
#include "r64/file/r64_progress.h"

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Doubles = std::unique_ptr<double[], FreeDeleter>;
using Transform = std::unique_ptr<COMPLEX[], FreeDeleter>;

// One byte of a pixel as the stores take it: truncated toward zero, clamped to 0..255.
unsigned char to_byte(double v) {
    const int n = static_cast<int>(v);
    return static_cast<unsigned char>(n > 255 ? 255 : (n < 0 ? 0 : n));
}

// The steps of half_filter for one 8x8 block; false when a transform result could not
// be allocated (the block is then left half done).
bool half_filter_block(COMPLEX (&b)[8][8]) {
    COMPLEX tmp[8][8];
    for (int k = 0; k < 8; k++) {
        Transform row(fastft(b[k], 3));
        if (!row) {
            return false;
        }
        for (int u = 0; u < 8; u++) {
            tmp[u][k] = row[u];
        }
    }
    for (int k = 0; k < 8; k++) {
        Transform col(fastft(tmp[k], 3));
        if (!col) {
            return false;
        }
        for (int u = 0; u < 8; u++) {
            b[u][k] = col[u];
        }
    }
    // Keep the 8-point frequencies 0, +1, -2, -1 in the order a 4-point transform expects.
    for (int u = 0; u < 8; u++) {
        b[2][u] = b[6][u];
        b[3][u] = b[7][u];
    }
    for (int v = 0; v < 4; v++) {
        b[v][2] = b[v][6];
        b[v][3] = b[v][7];
    }
    for (int k = 0; k < 4; k++) {
        Transform row(fastdft(b[k], 2));
        if (!row) {
            return false;
        }
        for (int u = 0; u < 4; u++) {
            tmp[u][k] = row[u];
        }
    }
    for (int k = 0; k < 4; k++) {
        Transform col(fastdft(tmp[k], 2));
        if (!col) {
            return false;
        }
        for (int u = 0; u < 4; u++) {
            b[u][k] = col[u];
        }
    }
    return true;
}

bool half_filter_checked(COMPLEX (*rect_buf)[8][8], int vol) {
    for (int c = 0; c < vol; c++) {
        if (!half_filter_block(rect_buf[c])) {
            return false;
        }
    }
    return true;
}

void weigh_window(const unsigned char block[8][8][3], COMPLEX (*rect_buf)[8][8], int vol) {
    for (int n = 0; n < 8; n++) {
        for (int m = 0; m < 8; m++) {
            for (int c = 0; c < vol; c++) {
                rect_buf[c][n][m].re = window_fn(m, n) * static_cast<double>(block[n][m][c]);
                rect_buf[c][n][m].im = 0.0;
            }
        }
    }
}

// The literal band: every window read sample by sample and filtered through the public
// transforms, with their one-slot root table.
class LiteralBands final : public r64::HifiBands {
  public:
    bool prepare(R64_FILE *, int) override { return true; }
    bool filter_band(R64_FILE *f, int level, int i, double **buf, int buf_line,
                     r64::HifiFailures &fails) override {
        const int vol = r64::hifi_vol(f);
        for (int j = -4; j < f->level_w[level]; j += 4) {
            unsigned char block[8][8][3];
            COMPLEX rect_buf[3][8][8];
            r64::hifi_read_window(f, i, j, level, vol, block, &fails);
            weigh_window(block, rect_buf, vol);
            if (!half_filter_checked(rect_buf, vol)) {
                return false;
            }
            set_buf(buf, j, rect_buf, buf_line, vol);
        }
        return true;
    }
    void store_band(R64_FILE *f, int i, double **buf, int level, int dest_w, int buf_line,
                    r64::HifiFailures &fails) override {
        r64::hifi_flush_lines(f, i, buf, level, dest_w, buf_line, &fails);
    }
};

} // namespace

namespace r64 {

void *(*hifi_calloc)(std::size_t count, std::size_t size) =
    [](std::size_t count, std::size_t size) { return std::calloc(count, size); };

void hifi_read_window(R64_FILE *f, int i, int j, int level, int vol, unsigned char block[8][8][3],
                      HifiFailures *fails) {
    unsigned char col[3] = {0, 0, 0};
    for (int n = 0; n < 8; n++) {
        for (int m = 0; m < 8; m++) {
            if (r64_red(col, f, j + m, i + n, level) < 0 && fails != nullptr) {
                fails->note();
            }
            std::memcpy(block[n][m], col, static_cast<size_t>(vol));
        }
    }
}

void hifi_flush_lines(R64_FILE *f, int i, double **buf, int level, int dest_w, int buf_line,
                      HifiFailures *fails) {
    const int vol = hifi_vol(f);
    for (int r = 0; r < 2; r++) {
        for (int x = 0; x < dest_w; x++) {
            unsigned char col[3] = {0, 0, 0};
            for (int c = 0; c < vol; c++) {
                col[c] = to_byte(buf[c][r * buf_line + x + 2]);
            }
            if (r64_set(f, x, i / 2 + r, level, col) < 0 && fails != nullptr) {
                fails->note();
            }
        }
    }
    for (int r = 0; r < 2; r++) {
        for (int n = 0; n < buf_line; n++) {
            for (int c = 0; c < vol; c++) {
                buf[c][r * buf_line + n] = buf[c][(r + 2) * buf_line + n];
                buf[c][(r + 2) * buf_line + n] = 0.0;
            }
        }
    }
}

int hifi_run(R64_FILE *f, int level, HifiBands &bands) {
    if (r64_check_level(f, level) == 0) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    const int dest_w = (w >> 1) + (w & 1);
    const int dest_h = (h >> 1) + (h & 1);
    if (dest_w == 0 || dest_h == 0) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    // Four lines per channel; destination column x sits at index x + 2 of a line.
    const int buf_line = dest_w - dest_w % 4 + 12;
    const auto line_doubles = static_cast<size_t>(buf_line) * 4;
    Doubles lines[3];
    for (Doubles &l : lines) {
        l.reset(static_cast<double *>(hifi_calloc(line_doubles, sizeof(double))));
        if (!l) {
            r64_error = R64_ERR_NOMEM;
            return -1;
        }
    }
    if (!bands.prepare(f, level)) {
        r64_error = R64_ERR_NOMEM;
        return -1;
    }
    double *buf[3] = {lines[0].get(), lines[1].get(), lines[2].get()};
    HifiFailures fails;
    // Bands of windows, 4 source rows apart from row -4 on.
    const long band_count = (h + 4 + 3) / 4;
    auto end_line = [] { std::printf("\n"); };
    for (int i = -4; i < h; i += 4) {
        report(R64_PROGRESS_HIFI, (i + 4) / 4, band_count, [&] {
            std::printf("h = %i/%i   \r", i, h);
            std::fflush(stdout);
        });
        if (!bands.filter_band(f, level, i, buf, buf_line, fails)) {
            report(R64_PROGRESS_DONE, (i + 4) / 4, band_count, end_line);
            r64_error = R64_ERR_NOMEM;
            return -1;
        }
        bands.store_band(f, i, buf, level + 1, dest_w, buf_line, fails);
    }
    report(R64_PROGRESS_DONE, band_count, band_count, end_line);
    if (fails.first != 0) {
        r64_error = fails.first;
        return -1;
    }
    return 0;
}

int new_level_hifi_literal(R64_FILE *f, int level) {
    LiteralBands bands;
    return hifi_run(f, level, bands);
}

} // namespace r64

extern "C" {

int r64_new_level_hifi(R64_FILE *f, int level) {
    return r64::new_level_hifi_fast(f, level);
}

double window_fn(int x, int y) {
    static double weight[8][8];
    if (weight[4][4] == 0.0) {
        for (int a = 0; a < 8; a++) {
            for (int b = 0; b < 8; b++) {
                weight[a][b] =
                    ((1.0 - std::cos(static_cast<double>(a) * 6.283185307179586 / 8.0)) *
                     (1.0 - std::cos(static_cast<double>(b) * 6.283185307179586 / 8.0))) /
                    4.0;
            }
        }
    }
    return weight[x][y];
}

void set_rect_buf(R64_FILE *f, int i, int j, COMPLEX (*rect_buf)[8][8], int level) {
    const int vol = r64::hifi_vol(f);
    unsigned char block[8][8][3];
    r64::hifi_read_window(f, i, j, level, vol, block, nullptr);
    weigh_window(block, rect_buf, vol);
}

void half_filter(COMPLEX (*rect_buf)[8][8], int vol) {
    // Without memory for a transform result the blocks are left part done; the level
    // pass notices and stops, a direct caller has nothing better to get.
    (void)half_filter_checked(rect_buf, vol);
}

void set_buf(double **buf, int j, COMPLEX (*rect_buf)[8][8], int buf_line, int vol) {
    for (int c = 0; c < vol; c++) {
        for (int m = 0; m < 4; m++) {
            for (int n = 0; n < 4; n++) {
                buf[c][m * buf_line + j / 2 + n + 2] += rect_buf[c][m][n].re;
            }
        }
    }
}

void flush_buf(R64_FILE *f, int i, double **buf, int level, int dest_w, int buf_line) {
    r64::hifi_flush_lines(f, i, buf, level, dest_w, buf_line, nullptr);
}

void save_test(double **buf, int size) {
    std::printf("save_test %i %i\n", size, 8);
    R64_FILE *f = r64_open_file("test.r64", O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', size, 8);
    if (f == nullptr) {
        std::fprintf(stderr, "save_test: cannot create test.r64 (%i)\n", r64_error);
        return;
    }
    static const unsigned char marker[3] = {255, 0, 0};
    for (int row = 0; row < 4; row++) {
        for (int x = 0; x < size; x++) {
            unsigned char col[3];
            if (row == 3 || x == size - 1) {
                std::memcpy(col, marker, 3);
            } else {
                for (int c = 0; c < 3; c++) {
                    col[c] = to_byte(buf[c][row * size + x]);
                }
            }
            r64_set(f, x, row, 0, col);
        }
    }
    r64_close_file(f);
}

} // extern "C"
