// Fourier: the complex arithmetic, the radix-2 transform and its root table, and the
// Fourier level filter, whose fast path must store the same bytes as the literal one.
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "r64/fft/transform_alloc.h"
#include "r64/file/hifi_filter.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::read_bytes;
using r64_test::ScratchDir;

namespace {

constexpr int kCreate = O_RDWR | O_CREAT | O_TRUNC;

struct Freed {
    void operator()(void *p) const { std::free(p); }
};
using Spectrum = std::unique_ptr<COMPLEX[], Freed>;

COMPLEX cx(double re, double im) {
    COMPLEX c;
    c.re = re;
    c.im = im;
    return c;
}

std::string quiet_stdout_of(const std::function<void()> &fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class Fourier : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
        r64_error = 0;
    }

    // A new file with level 0 filled by px(x, y, pixel) and flushed.
    template <class Px> R64_FILE *make(const std::string &name, char type, int w, int h, Px px) {
        R64_FILE *f = r64_open_file(dir.file(name).c_str(), kCreate, 0644, type, w, h);
        EXPECT_NE(f, nullptr);
        if (f == nullptr) {
            return nullptr;
        }
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) {
                unsigned char col[3] = {0, 0, 0};
                px(x, y, col);
                EXPECT_EQ(r64_set(f, x, y, 0, col), 0);
            }
        }
        EXPECT_EQ(r64_flush(f), 0);
        return f;
    }

    static std::vector<unsigned char> level_bytes(R64_FILE *f, int level) {
        const int vol = f->header.type == 'P' ? 3 : 1;
        std::vector<unsigned char> out;
        for (int y = 0; y < f->level_h[level]; y++) {
            for (int x = 0; x < f->level_w[level]; x++) {
                unsigned char col[3] = {0, 0, 0};
                EXPECT_EQ(r64_red(col, f, x, y, level), 0);
                out.insert(out.end(), col, col + vol);
            }
        }
        return out;
    }

    ScratchDir dir;
};

// --- the transform ---------------------------------------------------------------

// Wrong butterfly order, missing or misplaced 1/N scaling, wrong sign of the exponent.
TEST_F(Fourier, TransformsOfSmallVectors) {
    COMPLEX ones[4] = {cx(1, 0), cx(1, 0), cx(1, 0), cx(1, 0)};
    Spectrum a(fastft(ones, 2));
    EXPECT_EQ(a[0].re, 1.0);
    for (int k = 0; k < 4; k++) {
        EXPECT_NEAR(a[k].im, 0.0, 1e-15);
        if (k > 0) {
            EXPECT_NEAR(a[k].re, 0.0, 1e-15);
        }
    }
    COMPLEX pulse[4] = {cx(1, 0), cx(0, 0), cx(0, 0), cx(0, 0)};
    Spectrum b(fastft(pulse, 2));
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(b[k].re, 0.25);
        EXPECT_EQ(b[k].im, 0.0);
    }
    Spectrum one(fastft(pulse, 0));
    EXPECT_EQ(one[0].re, 1.0);

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-300.0, 300.0);
    COMPLEX x[8];
    for (COMPLEX &v : x) {
        v = cx(d(rng), d(rng));
    }
    Spectrum fwd(fastft(x, 3));
    for (int k = 0; k < 8; k++) {
        std::complex<long double> sum = 0;
        for (int n = 0; n < 8; n++) {
            const long double t = -2.0L * 3.14159265358979323846264L * n * k / 8.0L;
            sum += std::complex<long double>(x[n].re, x[n].im) *
                   std::complex<long double>(std::cos(t), std::sin(t));
        }
        EXPECT_NEAR(fwd[k].re, static_cast<double>(sum.real() / 8), 1e-12) << k;
        EXPECT_NEAR(fwd[k].im, static_cast<double>(sum.imag() / 8), 1e-12) << k;
    }
    Spectrum back(fastdft(fwd.get(), 3));
    for (int n = 0; n < 8; n++) {
        EXPECT_NEAR(back[n].re, x[n].re, 1e-12);
        EXPECT_NEAR(back[n].im, x[n].im, 1e-12);
    }
    // The input is left as it was.
    EXPECT_EQ(pulse[0].re, 1.0);
    EXPECT_EQ(pulse[1].re, 0.0);
}

// Bit reversal or a complex product with a wrong term.
TEST_F(Fourier, BitReversalAndProducts) {
    EXPECT_EQ(upsidedown(1, 3), 4);
    EXPECT_EQ(upsidedown(5, 3), 5);
    EXPECT_EQ(upsidedown(3, 3), 6);
    EXPECT_EQ(upsidedown(6, 3), 3);
    EXPECT_EQ(upsidedown(1, 2), 2);
    const COMPLEX i2 = mulc(cx(0, 1), cx(0, 1));
    EXPECT_EQ(i2.re, -1.0);
    EXPECT_EQ(i2.im, 0.0);
    const COMPLEX p = mulc(cx(2, 3), cx(5, -7)); // (2+3i)(5-7i) = 31 + i
    EXPECT_EQ(p.re, 31.0);
    EXPECT_EQ(p.im, 1.0);
    const COMPLEX s = subc(addc(cx(1, 2), cx(10, 20)), minus(cx(100, 200)));
    EXPECT_EQ(s.re, 111.0);
    EXPECT_EQ(s.im, 222.0);
}

// The one-slot table must be kept while size and direction stay, rebuilt on any change.
TEST_F(Fourier, RootTableRebuiltOnlyOnChange) {
    COMPLEX x[8] = {};
    const COMPLEX marker = cx(12345.0, -999.0);
    auto planted = [&] { return w_list[1].re == marker.re && w_list[1].im == marker.im; };
    auto plant = [&] { w_list[1] = marker; };

    Spectrum(fastft(x, 3)).reset();
    EXPECT_EQ(w_list_size, 8);
    EXPECT_EQ(w_list_sign, -1);
    plant();
    Spectrum(fastft(x, 3)).reset();
    EXPECT_TRUE(planted()) << "second 8-point forward transform rebuilt the table";
    Spectrum(fastdft(x, 2)).reset();
    EXPECT_EQ(w_list_size, 4);
    EXPECT_EQ(w_list_sign, 1);
    EXPECT_FALSE(planted());
    plant();
    Spectrum(fastft(x, 2)).reset(); // same size, other direction
    EXPECT_EQ(w_list_sign, -1);
    EXPECT_FALSE(planted());
    Spectrum(fastft(x, 3)).reset();
    EXPECT_EQ(w_list_size, 8);
    EXPECT_NEAR(w_list[1].re, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(w_list[1].im, -std::sqrt(0.5), 1e-15);
}

// The diagnostic's exact format.
TEST_F(Fourier, PrintAll) {
    COMPLEX v[2] = {cx(1, 2), cx(-0.5, 0)};
    EXPECT_EQ(quiet_stdout_of([&] { print_all(v, 1); }), "a\n\t0 (1.000000, 2.000000)\n");
    EXPECT_EQ(quiet_stdout_of([&] { print_all(v, 2); }),
              "a\n\t0 (1.000000, 2.000000)\n\t1 (-0.500000, 0.000000)\n");
}

// --- the window filter -------------------------------------------------------------

// The fast window kernels (one window, and several side by side) against set_rect_buf's
// weighting and half_filter through the public transforms: any reordered or dropped
// operation shows in some bit.
TEST_F(Fourier, FastWindowKernelsMatchLiteralBits) {
    constexpr int kWindows = 5; // not a multiple of the lanes the kernel runs at once
    constexpr int kCols = 4 * kWindows + 4;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int trial = 0; trial < 120; trial++) {
        unsigned char px[8][kCols][3];
        // Noise, black and white, flat, and sparse dots in turn.
        const int kind = trial % 4;
        for (unsigned char &b : std::span(&px[0][0][0], sizeof px)) {
            const int r = byte(rng);
            b = static_cast<unsigned char>(kind == 0   ? r
                                           : kind == 1 ? (r < 128 ? 0 : 255)
                                           : kind == 2 ? trial
                                                       : (r < 250 ? 0 : r * 37));
        }
        for (int c = 0; c < 3; c++) {
            double side_by_side[kWindows][4][4];
            r64::hifi_filter_windows(&px[0][0][0], kCols * 3, 3, c, kWindows, side_by_side);
            for (int q = 0; q < kWindows; q++) {
                COMPLEX rect[3][8][8];
                for (int n = 0; n < 8; n++) {
                    for (int m = 0; m < 8; m++) {
                        rect[c][n][m] = cx(window_fn(m, n) * px[n][4 * q + m][c], 0.0);
                    }
                }
                half_filter(&rect[c], 1);
                double one[4][4];
                r64::hifi_filter_window(&px[0][4 * q][0], kCols * 3, 3, c, one);
                for (int y = 0; y < 4; y++) {
                    for (int x = 0; x < 4; x++) {
                        ASSERT_EQ(one[y][x], rect[c][y][x].re)
                            << "trial " << trial << " window " << q << " channel " << c;
                        ASSERT_EQ(side_by_side[q][y][x], rect[c][y][x].re)
                            << "trial " << trial << " window " << q << " channel " << c;
                    }
                }
            }
        }
    }
}

// Weights that do not sum to one across overlapping windows change a flat area.
TEST_F(Fourier, UniformLevelKeepsItsValue) {
    R64_FILE *f = make("flat.r64", 'G', 21, 13, [](int, int, unsigned char *c) { c[0] = 37; });
    ASSERT_NE(f, nullptr);
    quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), 0); });
    for (unsigned char v : level_bytes(f, 1)) {
        ASSERT_EQ(v, 37);
    }
    r64_close_file(f);
}

// A misplaced band or window, or a wrong cut of the frequencies, moves or smears the
// quarter of an isolated pixel; 'B' turns any positive value into a set bit.
TEST_F(Fourier, IsolatedPixelLandsAtHalfItsCoordinates) {
    for (char type : {'G', 'B'}) {
        R64_FILE *f =
            make(std::string("dot") + type + ".r64", type, 16, 16,
                 [](int x, int y, unsigned char *c) { c[0] = (x == 6 && y == 6) ? 255 : 0; });
        ASSERT_NE(f, nullptr);
        quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), 0); });
        const std::vector<unsigned char> got = level_bytes(f, 1);
        for (int y = 0; y < 8; y++) {
            for (int x = 0; x < 8; x++) {
                const int want = (x == 3 && y == 3) ? (type == 'G' ? 63 : 0xFF) : 0;
                EXPECT_EQ(got[y * 8 + x], want) << type << " at " << x << "," << y;
            }
        }
        r64_close_file(f);
    }
}

// Overshoot beside a hard edge must clamp to 0 and 255, not wrap around in a byte.
TEST_F(Fourier, SharpEdgeClamps) {
    R64_FILE *f = make("edge.r64", 'G', 32, 16,
                       [](int x, int, unsigned char *c) { c[0] = x < 16 ? 0 : 255; });
    ASSERT_NE(f, nullptr);
    // The unclamped values next to the edge lie outside 0..255.
    const int dest_w = 16;
    const int buf_line = dest_w - dest_w % 4 + 12;
    std::vector<double> lines(static_cast<size_t>(buf_line) * 4, 0.0);
    double *buf[3] = {lines.data(), nullptr, nullptr};
    for (int j = -4; j < 32; j += 4) {
        COMPLEX rect[3][8][8];
        set_rect_buf(f, 4, j, rect, 0);
        half_filter(rect, 1);
        set_buf(buf, j, rect, buf_line, 1);
    }
    // Line 2 (destination row 4) has both of its windows: about -13 and 268 beside the edge.
    EXPECT_LT(buf[0][2 * buf_line + 7 + 2], -1.0);
    EXPECT_GT(buf[0][2 * buf_line + 9 + 2], 256.0);

    quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), 0); });
    const std::vector<unsigned char> got = level_bytes(f, 1);
    for (int y = 0; y < 8; y++) {
        for (int x = 0; x < 16; x++) {
            if (x != 8) { // column 8 sits on the edge and takes a value between
                EXPECT_EQ(got[y * 16 + x], x < 8 ? 0 : 255) << x << "," << y;
            }
        }
    }
    r64_close_file(f);
}

// The band loop's bounds and the progress lines; a 9-row level ends with a half band.
TEST_F(Fourier, ProgressLinesAndLastBand) {
    R64_FILE *f8 = make("h8.r64", 'G', 12, 8, [](int, int, unsigned char *c) { c[0] = 90; });
    ASSERT_NE(f8, nullptr);
    EXPECT_EQ(quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f8, 0), 0); }),
              "h = -4/8   \rh = 0/8   \rh = 4/8   \r\n");
    EXPECT_EQ(quiet_stdout_of([&] { EXPECT_EQ(r64::new_level_hifi_literal(f8, 0), 0); }),
              "h = -4/8   \rh = 0/8   \rh = 4/8   \r\n");
    r64_close_file(f8);

    R64_FILE *f9 = make("h9.r64", 'G', 12, 9, [](int, int, unsigned char *c) { c[0] = 90; });
    ASSERT_NE(f9, nullptr);
    EXPECT_EQ(quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f9, 0), 0); }),
              "h = -4/9   \rh = 0/9   \rh = 4/9   \rh = 8/9   \r\n");
    ASSERT_EQ(f9->level_h[1], 5);
    for (unsigned char v : level_bytes(f9, 1)) {
        EXPECT_EQ(v, 90);
    }
    r64_close_file(f9);
}

// A source level that cannot be used is refused before anything is printed or
// allocated; reducing the last level runs through and stores nothing.
TEST_F(Fourier, RefusedAndLastLevels) {
    R64_FILE *f = make("refuse.r64", 'G', 64, 64,
                       [](int x, int, unsigned char *c) { c[0] = static_cast<unsigned char>(x); });
    ASSERT_NE(f, nullptr);
    for (int level : {1, 32, -1}) { // level 1 is not in the file yet
        r64_error = 0;
        EXPECT_EQ(quiet_stdout_of([&] {
                      EXPECT_EQ(r64_new_level_hifi(f, level), -1);
                      EXPECT_EQ(r64_error, -9);
                      EXPECT_EQ(r64::new_level_hifi_literal(f, level), -1);
                      EXPECT_EQ(r64_error, -9);
                  }),
                  "");
    }
    int last = 0;
    while (f->level_ofs[last + 1] != 0) {
        quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, last), 0); });
        ASSERT_EQ(r64_flush(f), 0);
        last++;
    }
    const long before = static_cast<long>(u_lseek64(f->fd, 0, SEEK_END));
    const std::string out = quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, last), 0); });
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(r64_flush(f), 0);
    EXPECT_EQ(static_cast<long>(u_lseek64(f->fd, 0, SEEK_END)), before);
    r64_close_file(f);
}

// Stores that fail for a reason other than position or level make the pass fail with
// that reason after it has run to the end; both ways behave alike.
TEST_F(Fourier, FailedStoresAreReported) {
    R64_FILE *w = make("ro.r64", 'P', 40, 24, [](int x, int y, unsigned char *c) {
        c[0] = static_cast<unsigned char>(x * 5);
        c[1] = static_cast<unsigned char>(y * 9);
        c[2] = 7;
    });
    ASSERT_NE(w, nullptr);
    r64_close_file(w);
    for (bool fast : {true, false}) {
        R64_FILE *f = r64_open_file(dir.file("ro.r64").c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(f, nullptr);
        std::string out;
        out = quiet_stdout_of([&] {
            EXPECT_EQ(fast ? r64_new_level_hifi(f, 0) : r64::new_level_hifi_literal(f, 0), -1);
        });
        EXPECT_EQ(r64_error, -6) << "destination tiles lie beyond a read-only file";
        EXPECT_EQ(out.substr(out.size() - 14), "h = 20/24   \r\n");
        r64_close_file(f);
    }
}

int g_allocations_left = 0;

// Out of memory for a line buffer, the band storage or a transform result: the pass
// fails with -3, writes nothing and (under the sanitizers) leaks nothing.
TEST_F(Fourier, OutOfMemoryFailsCleanly) {
    R64_FILE *f = make("oom.r64", 'P', 30, 20, [](int x, int y, unsigned char *c) {
        c[0] = static_cast<unsigned char>(x * y);
        c[1] = 1;
        c[2] = 2;
    });
    ASSERT_NE(f, nullptr);
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    const auto calloc_before = r64::hifi_calloc;
    for (int allowed = 0; allowed < 4; allowed++) { // three line buffers, then the band
        g_allocations_left = allowed;
        r64::hifi_calloc = [](size_t n, size_t size) -> void * {
            return g_allocations_left-- > 0 ? std::calloc(n, size) : nullptr;
        };
        r64_error = 0;
        EXPECT_EQ(quiet_stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), -1); }), "");
        EXPECT_EQ(r64_error, -3) << allowed;
    }
    r64::hifi_calloc = calloc_before;

    const auto alloc_before = r64::transform_alloc;
    g_allocations_left = 30;
    r64::transform_alloc = [](size_t bytes) -> void * {
        return g_allocations_left-- > 0 ? std::malloc(bytes) : nullptr;
    };
    const std::string out =
        quiet_stdout_of([&] { EXPECT_EQ(r64::new_level_hifi_literal(f, 0), -1); });
    EXPECT_EQ(r64_error, -3);
    EXPECT_EQ(out, "h = -4/20   \r\n");
    COMPLEX x[4] = {};
    g_allocations_left = 0;
    EXPECT_EQ(fastdft(x, 2), nullptr);
    r64::transform_alloc = alloc_before;

    EXPECT_EQ(r64_flush(f), 0);
    EXPECT_EQ(u_lseek64(f->fd, 0, SEEK_END), length);
    r64_close_file(f);
}

// --- the fast path against the literal one ---------------------------------------

struct Source {
    char type;
    int w;
    int h;
};

// Builds the whole pyramid of one image with one method; the file's bytes.
template <class Method>
Bytes pyramid(const std::string &path, const Source &s, int rc_type, Method method) {
    R64_FILE *f = r64_open_file(path.c_str(), kCreate, 0644, s.type, s.w, s.h);
    EXPECT_NE(f, nullptr);
    if (f == nullptr) {
        return {};
    }
    const unsigned char bg[3] = {200, 17, 99};
    const unsigned char bg_b[3] = {1, 0, 0}; // a 'B' background byte that is neither 0 nor 255
    EXPECT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, rc_type), 0);
    EXPECT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, s.type == 'B' ? bg_b : bg), 0);
    std::mt19937 rng(static_cast<unsigned>(s.w * 31 + s.h));
    for (int y = 0; y < s.h; y++) {
        for (int x = 0; x < s.w; x++) {
            unsigned char col[3];
            for (unsigned char &c : col) {
                // Flat patches, ramps and noise, so that clamping happens too.
                const unsigned r = rng();
                c = (x / 9 + y / 7) % 3 == 0 ? static_cast<unsigned char>(r)
                                             : static_cast<unsigned char>(((x * 3 + y) & 64) * 4);
            }
            EXPECT_EQ(r64_set(f, x, y, 0, col), 0);
        }
    }
    EXPECT_EQ(r64_flush(f), 0);
    for (int level = 0; level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; level++) {
        quiet_stdout_of([&] { EXPECT_EQ(method(f, level), 0); });
        EXPECT_EQ(r64_flush(f), 0);
    }
    r64_close_file(f);
    return read_bytes(path);
}

// Every byte of the pyramid, for each pixel type and out-of-level rule, on sizes that
// cross tile edges and leave partial windows and half bands.
TEST_F(Fourier, FastPyramidEqualsLiteralByteForByte) {
    const Source sources[] = {{'G', 131, 77}, {'P', 67, 130}, {'B', 139, 71}, {'G', 5, 3}};
    for (const Source &s : sources) {
        for (int rc_type : {0, 1}) {
            const std::string tag = std::string(1, s.type) + std::to_string(s.w) + "x" +
                                    std::to_string(s.h) + "rc" + std::to_string(rc_type);
            const Bytes lit =
                pyramid(dir.file(tag + "lit.r64"), s, rc_type, r64::new_level_hifi_literal);
            const Bytes fast = pyramid(dir.file(tag + "fast.r64"), s, rc_type, r64_new_level_hifi);
            ASSERT_GT(lit.size(), 8u) << tag;
            EXPECT_TRUE(lit == fast) << tag;
        }
    }
}

// When tiles cannot be had (a tiny cache whose dirty tiles cannot be written back to a
// read-only file), both ways still run through and fail with the cache's code.
TEST_F(Fourier, UnloadableTilesFailBothWays) {
    const Source s{'G', 200, 70};
    pyramid(dir.file("full.r64"), s, 1, r64_new_level_hifi);
    for (bool fast : {true, false}) {
        ent_len = 4;
        R64_FILE *f = r64_open_file(dir.file("full.r64").c_str(), O_RDONLY, 0, 0, 0, 0);
        ent_len = 320;
        ASSERT_NE(f, nullptr);
        quiet_stdout_of([&] {
            EXPECT_EQ(fast ? r64_new_level_hifi(f, 0) : r64::new_level_hifi_literal(f, 0), -1);
        });
        EXPECT_EQ(r64_error, -1);
        r64_close_file(f);
    }
}

} // namespace
