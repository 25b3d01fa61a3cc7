// Fourier: the radix-2 transform and its root table, and the Fourier level filter,
// whose fast path must store the same bytes as the literal one.
#include <cmath>
#include <complex>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "r64/fft/transform_alloc.h"
#include "r64/file/hifi_filter.h"
#include "r64_model.h"

using namespace r64_test;

namespace {

using Spectrum = std::unique_ptr<COMPLEX[], decltype(&std::free)>;
Spectrum forward(COMPLEX *x, int bits) {
    return {fastft(x, bits), &std::free};
}
Spectrum inverse(COMPLEX *x, int bits) {
    return {fastdft(x, bits), &std::free};
}
COMPLEX cx(double re, double im) {
    return COMPLEX{.im = im, .re = re};
}

int run(R64_FILE *f, int level, bool fast) {
    return fast ? r64_new_level_hifi(f, level) : r64::new_level_hifi_literal(f, level);
}

class Fourier : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override { ent_len = R64_CACHE_ENTRIES; }

    // A new file with level 0 filled by px(x, y, pixel) and flushed; rc_type and the
    // background are set first when bg is given.
    template <class Px>
    R64_FILE *make(const std::string &name, char type, int w, int h, Px px, int rc_type = 1,
                   const unsigned char *bg = nullptr) {
        R64_FILE *f =
            r64_open_file(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
        if (bg != nullptr) {
            EXPECT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, rc_type), 0);
            EXPECT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, bg), 0);
        }
        for (int y = 0; y < h && f != nullptr; y++) {
            for (int x = 0; x < w; x++) {
                unsigned char col[3] = {0, 0, 0};
                px(x, y, col);
                EXPECT_EQ(r64_set(f, x, y, 0, col), 0);
            }
        }
        EXPECT_EQ(r64_flush(f), 0);
        return f;
    }
    // Fills level 1 the fast way (printing nothing to the log) and reads it back.
    static std::vector<unsigned char> filtered(R64_FILE *f) {
        stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), 0); });
        return load_level(f, 1).px;
    }

    // Builds the whole pyramid of an image of flat patches and noise (so that clamping
    // happens too) one way; the file's bytes.
    Bytes pyramid(const std::string &name, char type, int w, int h, int rc_type, bool fast) {
        std::mt19937 rng(static_cast<unsigned>(w * 31 + h));
        const unsigned char bg[3] = {200, 17, 99}, bg_b[3] = {1, 0, 0}; // 'B': neither 0 nor 255
        R64_FILE *f = make(
            name, type, w, h,
            [&](int x, int y, unsigned char *c) {
                for (int k = 0; k < 3; k++) {
                    const auto r = static_cast<unsigned char>(rng());
                    c[k] = (x / 9 + y / 7) % 3 == 0 ? r : 0;
                }
            },
            rc_type, type == 'B' ? bg_b : bg);
        for (int level = 0; level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; level++) {
            stdout_of([&] { EXPECT_EQ(run(f, level, fast), 0); });
            EXPECT_EQ(r64_flush(f), 0);
        }
        r64_close_file(f);
        return read_bytes(dir.file(name));
    }

    ScratchDir dir;
};

// Wrong butterfly order or bit reversal, missing or misplaced 1/N scaling, wrong sign
// of the exponent, or an input changed in place.
TEST_F(Fourier, TransformsOfSmallVectors) {
    COMPLEX ones[4] = {cx(1, 0), cx(1, 0), cx(1, 0), cx(1, 0)};
    COMPLEX pulse[4] = {cx(1, 0), cx(0, 0), cx(0, 0), cx(0, 0)};
    const Spectrum a = forward(ones, 2), b = forward(pulse, 2);
    for (int k = 0; k < 4; k++) {
        EXPECT_NEAR(a[k].re, k == 0 ? 1.0 : 0.0, 1e-15);
        EXPECT_NEAR(a[k].im, 0.0, 1e-15);
        EXPECT_EQ(b[k].re, 0.25);
        EXPECT_EQ(b[k].im, 0.0);
    }
    EXPECT_EQ(forward(pulse, 0)[0].re, 1.0);
    EXPECT_EQ(pulse[0].re, 1.0);
    EXPECT_EQ(pulse[1].re, 0.0);

    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-300.0, 300.0);
    COMPLEX x[8];
    for (COMPLEX &v : x) {
        v = cx(d(rng), d(rng));
    }
    const Spectrum fwd = forward(x, 3);
    const Spectrum back = inverse(fwd.get(), 3);
    for (int k = 0; k < 8; k++) {
        std::complex<long double> sum = 0;
        for (int n = 0; n < 8; n++) {
            const long double t = -2.0L * 3.14159265358979323846264L * n * k / 8.0L;
            sum += std::complex<long double>(x[n].re, x[n].im) *
                   std::complex<long double>(std::cos(t), std::sin(t));
        }
        EXPECT_NEAR(fwd[k].re, static_cast<double>(sum.real() / 8), 1e-12) << k;
        EXPECT_NEAR(fwd[k].im, static_cast<double>(sum.imag() / 8), 1e-12) << k;
        EXPECT_NEAR(back[k].re, x[k].re, 1e-12);
        EXPECT_NEAR(back[k].im, x[k].im, 1e-12);
    }
}

// The one-slot table must be kept while size and direction stay, rebuilt on any change.
TEST_F(Fourier, RootTableRebuiltOnlyOnChange) {
    COMPLEX x[8] = {};
    forward(x, 3);
    // A marker planted in the table before each call survives unless the call rebuilt it.
    const struct {
        bool fwd;
        int bits;
        bool rebuilt;
    } calls[] = {{true, 3, false}, {false, 2, true}, {true, 2, true}, {true, 3, true}};
    for (const auto &c : calls) {
        w_list[1] = cx(12345.0, -999.0);
        (c.fwd ? forward : inverse)(x, c.bits);
        EXPECT_EQ(w_list[1].re != 12345.0, c.rebuilt) << c.fwd << " " << c.bits;
        EXPECT_EQ(w_list_size, 1 << c.bits);
        EXPECT_EQ(w_list_sign, c.fwd ? -1 : 1);
    }
    EXPECT_NEAR(w_list[1].re, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(w_list[1].im, -std::sqrt(0.5), 1e-15);

    COMPLEX v[2] = {cx(1, 2), cx(-0.5, 0)};
    EXPECT_EQ(stdout_of([&] { print_all(v, 2); }),
              "a\n\t0 (1.000000, 2.000000)\n\t1 (-0.500000, 0.000000)\n");
}

// The fast window kernels (one window, and several side by side) against set_rect_buf's
// weighting and half_filter through the public transforms: any reordered or dropped
// operation shows in some bit. Noise, black and white, flat, and sparse dots in turn.
TEST_F(Fourier, FastWindowKernelsMatchLiteralBits) {
    constexpr int kWindows = 5; // not a multiple of the lanes the kernel runs at once
    constexpr int kCols = 4 * kWindows + 4;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int trial = 0; trial < 120; trial++) {
        unsigned char px[8][kCols][3];
        for (unsigned char &b : std::span(&px[0][0][0], sizeof px)) {
            const int r = byte(rng), kind = trial % 4;
            b = static_cast<unsigned char>(kind == 0   ? r
                                           : kind == 1 ? (r < 128 ? 0 : 255)
                                           : kind == 2 ? trial
                                                       : (r < 250 ? 0 : r * 37));
        }
        for (int c = 0; c < 3; c++) {
            double side_by_side[kWindows][4][4], one[4][4];
            r64::hifi_filter_windows(&px[0][0][0], kCols * 3, 3, c, kWindows, side_by_side);
            for (int q = 0; q < kWindows; q++) {
                COMPLEX rect[3][8][8];
                for (int n = 0; n < 8; n++) {
                    for (int m = 0; m < 8; m++) {
                        rect[c][n][m] = cx(window_fn(m, n) * px[n][4 * q + m][c], 0.0);
                    }
                }
                half_filter(&rect[c], 1);
                r64::hifi_filter_window(&px[0][4 * q][0], kCols * 3, 3, c, one);
                for (int k = 0; k < 16; k++) {
                    ASSERT_EQ(one[k / 4][k % 4], rect[c][k / 4][k % 4].re) << trial << " " << q;
                    ASSERT_EQ(side_by_side[q][k / 4][k % 4], rect[c][k / 4][k % 4].re)
                        << trial << " " << q;
                }
            }
        }
    }
}

// A misplaced band or window, or a wrong cut of the frequencies, moves or smears the
// quarter of an isolated pixel; 'B' turns any positive value into a set bit.
TEST_F(Fourier, IsolatedPixelLandsAtHalfItsCoordinates) {
    for (char type : {'G', 'B'}) {
        R64_FILE *f = make("dot.r64", type, 16, 16, [](int x, int y, unsigned char *c) {
            c[0] = (x == 6 && y == 6) ? 255 : 0;
        });
        const std::vector<unsigned char> got = filtered(f);
        for (int k = 0; k < 64; k++) {
            EXPECT_EQ(got[k], k == 3 * 8 + 3 ? (type == 'G' ? 63 : 0xFF) : 0) << type << k;
        }
        r64_close_file(f);
    }
}

// Overshoot beside a hard edge (about -13 and 268 before the cut) must clamp to 0 and
// 255, not wrap around in a byte.
TEST_F(Fourier, SharpEdgeClamps) {
    R64_FILE *f = make("edge.r64", 'G', 32, 16,
                       [](int x, int, unsigned char *c) { c[0] = x < 16 ? 0 : 255; });
    const std::vector<unsigned char> got = filtered(f);
    for (int k = 0; k < 8 * 16; k++) {
        if (k % 16 != 8) { // column 8 sits on the edge and takes a value between
            EXPECT_EQ(got[k], k % 16 < 8 ? 0 : 255) << k;
        }
    }
    r64_close_file(f);
}

// The band loop's bounds and the progress lines, both ways; a 9-row level ends with a
// half band; weights that do not sum to one across windows change a uniform level.
TEST_F(Fourier, ProgressLinesAndUniformLevels) {
    const char *progress8 = "h = -4/8   \rh = 0/8   \rh = 4/8   \r\n";
    for (const int h : {8, 9}) {
        for (const bool fast : {true, false}) {
            R64_FILE *f =
                make("flat.r64", 'G', 21, h, [](int, int, unsigned char *c) { c[0] = 37; });
            EXPECT_EQ(stdout_of([&] { EXPECT_EQ(run(f, 0, fast), 0); }),
                      h == 8 ? progress8 : "h = -4/9   \rh = 0/9   \rh = 4/9   \rh = 8/9   \r\n");
            const ModelLevel got = load_level(f, 1);
            EXPECT_EQ(got.h, h == 8 ? 4 : 5);
            EXPECT_EQ(got.px, std::vector<unsigned char>(got.px.size(), 37));
            r64_close_file(f);
        }
    }
}

// A source level that cannot be used is refused before anything is printed or
// allocated; reducing the last level runs through and stores nothing.
TEST_F(Fourier, RefusedAndLastLevels) {
    R64_FILE *f = make("refuse.r64", 'G', 64, 64,
                       [](int x, int, unsigned char *c) { c[0] = static_cast<unsigned char>(x); });
    for (int level : {1, 32, -1}) { // level 1 is not in the file yet
        EXPECT_EQ(stdout_of([&] {
                      for (bool fast : {true, false}) {
                          r64_error = 0;
                          EXPECT_EQ(run(f, level, fast), -1);
                          EXPECT_EQ(r64_error, -9);
                      }
                  }),
                  "");
    }
    int last = 0;
    for (; f->level_ofs[last + 1] != 0; last++) {
        stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, last), 0); });
        ASSERT_EQ(r64_flush(f), 0);
    }
    const int64_t before = u_lseek64(f->fd, 0, SEEK_END);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, last), 0); }).back(), '\n');
    EXPECT_EQ(r64_flush(f), 0);
    EXPECT_EQ(u_lseek64(f->fd, 0, SEEK_END), before);
    r64_close_file(f);
}

int g_allocations_left = 0;

// Out of memory for a line buffer, the band storage or a transform result: the pass
// fails with -3, writes nothing and (under the sanitizers) leaks nothing.
TEST_F(Fourier, OutOfMemoryFailsCleanly) {
    R64_FILE *f = make("oom.r64", 'P', 30, 20, [](int x, int y, unsigned char *c) {
        c[0] = static_cast<unsigned char>(x * y);
        c[1] = 1;
    });
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    const auto calloc_before = r64::hifi_calloc;
    r64::hifi_calloc = [](size_t n, size_t size) -> void * {
        return g_allocations_left-- > 0 ? std::calloc(n, size) : nullptr;
    };
    for (int allowed = 0; allowed < 4; allowed++) { // three line buffers, then the band
        g_allocations_left = allowed;
        r64_error = 0;
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), -1); }), "");
        EXPECT_EQ(r64_error, -3) << allowed;
    }
    r64::hifi_calloc = calloc_before;

    const auto alloc_before = r64::transform_alloc;
    g_allocations_left = 30;
    r64::transform_alloc = [](size_t bytes) -> void * {
        return g_allocations_left-- > 0 ? std::malloc(bytes) : nullptr;
    };
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(r64::new_level_hifi_literal(f, 0), -1); }),
              "h = -4/20   \r\n");
    EXPECT_EQ(r64_error, -3);
    COMPLEX x[4] = {};
    g_allocations_left = 0;
    EXPECT_EQ(fastdft(x, 2), nullptr);
    r64::transform_alloc = alloc_before;
    EXPECT_EQ(r64_flush(f), 0);
    EXPECT_EQ(u_lseek64(f->fd, 0, SEEK_END), length);
    r64_close_file(f);
}

// Every byte of the pyramid, for each pixel type and out-of-level rule, on sizes that
// cross tile edges and leave partial windows and half bands.
TEST_F(Fourier, FastPyramidEqualsLiteralByteForByte) {
    const struct {
        char type;
        int w, h;
    } sources[] = {{'G', 131, 77}, {'P', 67, 130}, {'B', 139, 71}, {'G', 5, 3}};
    for (const auto &s : sources) {
        for (int rc_type : {0, 1}) {
            SCOPED_TRACE(testing::Message() << s.type << s.w << "x" << s.h << " rc " << rc_type);
            const Bytes lit = pyramid("lit.r64", s.type, s.w, s.h, rc_type, false);
            ASSERT_GT(lit.size(), 8u);
            EXPECT_TRUE(lit == pyramid("fast.r64", s.type, s.w, s.h, rc_type, true));
        }
    }
}

// Stores that fail for a reason other than position or level make the pass fail with
// that reason after it has run to the end, both ways: destination tiles beyond a
// read-only file (-6), and a tiny cache whose dirty tiles cannot be written back (-1).
TEST_F(Fourier, FailedStoresAreReported) {
    pyramid("full.r64", 'G', 200, 70, 1, true);
    R64_FILE *w = make("ro.r64", 'P', 40, 24, [](int x, int y, unsigned char *c) {
        c[0] = static_cast<unsigned char>(x * 5);
        c[1] = static_cast<unsigned char>(y * 9);
    });
    r64_close_file(w);
    for (bool fast : {true, false}) {
        for (const auto &[name, entries, code] :
             {std::tuple{"ro.r64", R64_CACHE_ENTRIES, -6}, std::tuple{"full.r64", 4, -1}}) {
            ent_len = entries;
            R64_FILE *f = r64_open_file(dir.file(name).c_str(), O_RDONLY, 0, 0, 0, 0);
            ent_len = R64_CACHE_ENTRIES;
            const std::string out = stdout_of([&] { EXPECT_EQ(run(f, 0, fast), -1); });
            EXPECT_EQ(r64_error, code) << name;
            EXPECT_EQ(out.substr(out.size() - 14),
                      code == -6 ? "h = 20/24   \r\n" : "h = 68/70   \r\n");
            r64_close_file(f);
        }
    }
}

} // namespace
