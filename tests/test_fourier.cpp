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
Spectrum transform(bool forward, COMPLEX *x, int bits) {
    return {forward ? fastft(x, bits) : fastdft(x, bits), &std::free};
}
const auto cx = [](double re, double im) { return COMPLEX{.im = im, .re = re}; };

int g_ok = 0; // allocations that succeed before one fails

int run(R64_FILE *f, int level, bool fast) {
    return fast ? r64_new_level_hifi(f, level) : r64::new_level_hifi_literal(f, level);
}

class Fourier : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }

    // A new file with level 0 filled by px(x, y, channel) and flushed.
    template <class Px> R64_FILE *make(const std::string &name, char type, int w, int h, Px px) {
        R64_FILE *f =
            r64_open_file(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const uint8_t col[3] = {uint8_t(px(x, y, 0)), uint8_t(px(x, y, 1)),
                                        uint8_t(px(x, y, 2))};
                EXPECT_EQ(r64_set(f, x, y, 0, col), 0);
            }
        EXPECT_EQ(r64_flush(f), 0);
        return f;
    }

    // Builds the whole pyramid of an image of flat patches and noise (so that clamping
    // happens too) one way; the file's bytes.
    Bytes pyramid(const std::string &name, char type, int w, int h, int rc_type, bool fast) {
        std::mt19937 rng(static_cast<unsigned>(w * 31 + h));
        R64_FILE *f = make(name, type, w, h, [&](int x, int y, int) {
            return (x / 9 + y / 7) % 3 == 0 ? rng() % 256 : 0;
        });
        const unsigned char bg[3] = {200, 17, 99}, bg_b[3] = {1, 0, 0}; // 'B': neither 0 nor 255
        r64_ctl(f, R64_CTL_RC_TYPE, rc_type);
        r64_ctl(f, R64_CTL_BACKGROUND, type == 'B' ? bg_b : bg);
        for (int level = 0; level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; level++) {
            stdout_of([&] { EXPECT_EQ(run(f, level, fast), 0); });
            EXPECT_EQ(r64_flush(f), 0);
        }
        r64_close_file(f);
        return read_bytes(dir.file(name));
    }

    static int ramp(int x, int y, int k) { return x * 5 + y * 9 + k * 40; }

    ScratchDir dir;
};

// Against a direct DFT over N and back: a wrong butterfly order, bit reversal, scaling or
// sign, an input changed in place, a root table kept or rebuilt wrongly; print_all's format.
TEST_F(Fourier, TransformsRootTableAndPrinting) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> d(-300.0, 300.0);
    for (int bits : {0, 2, 3}) {
        const int n = 1 << bits;
        COMPLEX x[8], kept[8];
        for (int i = 0; i < n; i++)
            kept[i] = x[i] = cx(d(rng), d(rng));
        const Spectrum fwd = transform(true, x, bits), back = transform(false, fwd.get(), bits);
        for (int k = 0; k < n; k++) {
            std::complex<long double> sum = 0;
            for (int i = 0; i < n; i++)
                sum += std::complex<long double>(x[i].re, x[i].im) *
                       std::polar(1.0L, -2.0L * 3.14159265358979323846264L * i * k / n);
            const std::complex<long double> dft = sum / (1.0L * n);
            EXPECT_LE(std::hypot(fwd[k].re - dft.real(), fwd[k].im - dft.imag()), 1e-12) << n << k;
            EXPECT_LE(std::hypot(back[k].re - x[k].re, back[k].im - x[k].im), 1e-12) << n << k;
            EXPECT_TRUE(x[k].re == kept[k].re && x[k].im == kept[k].im);
        }
    }
    // The one-slot root table is kept while size and direction stay, rebuilt on any
    // change: a marker planted in it survives unless the call rebuilt it.
    COMPLEX x[8] = {}; // after the inverse of 8 above; forward, bits, rebuilt:
    const int calls[][3] = {{1, 3, 1}, {1, 3, 0}, {0, 2, 1}, {1, 2, 1}, {1, 3, 1}};
    for (const auto &[fwd, bits, rebuilt] : calls) {
        w_list[1] = cx(12345.0, -999.0);
        transform(fwd, x, bits);
        EXPECT_EQ(w_list[1].re != 12345.0, rebuilt) << fwd << " " << bits;
        EXPECT_EQ(w_list_size * w_list_sign, (1 << bits) * (fwd ? -1 : 1));
    }
    COMPLEX v[2] = {cx(1, 2), cx(-0.5, 0)};
    EXPECT_EQ(stdout_of([&] { print_all(v, 2); }),
              "a\n\t0 (1.000000, 2.000000)\n\t1 (-0.500000, 0.000000)\n");
}

// The fast kernels (one window; five side by side, not a multiple of the lanes) against
// set_rect_buf and half_filter: a reordered or dropped operation shows in some bit.
TEST_F(Fourier, FastWindowKernelsMatchLiteralBits) {
    constexpr int kWindows = 5, kCols = 4 * kWindows + 4;
    std::mt19937 rng(11);
    for (int trial = 0; trial < 120; trial++) {
        unsigned char px[8][kCols][3];
        for (unsigned char &b : std::span(&px[0][0][0], sizeof px)) {
            const int r = static_cast<int>(rng() % 256),
                      kinds[4] = {r, r / 128 * 255, trial, r / 250 * r * 37};
            b = static_cast<unsigned char>(kinds[trial % 4]);
        }
        for (int c = 0; c < 3; c++) {
            double side_by_side[kWindows][4][4], one[4][4];
            r64::hifi_filter_windows(&px[0][0][0], kCols * 3, 3, c, kWindows, side_by_side);
            for (int q = 0; q < kWindows; q++) {
                COMPLEX rect[3][8][8];
                for (int n = 0; n < 64; n++)
                    rect[c][n / 8][n % 8] =
                        cx(window_fn(n % 8, n / 8) * px[n / 8][4 * q + n % 8][c], 0.0);
                half_filter(&rect[c], 1);
                r64::hifi_filter_window(&px[0][4 * q][0], kCols * 3, 3, c, one);
                for (int k = 0; k < 16; k++)
                    ASSERT_TRUE(one[k / 4][k % 4] == rect[c][k / 4][k % 4].re &&
                                side_by_side[q][k / 4][k % 4] == one[k / 4][k % 4])
                        << trial << " " << q << " " << k;
            }
        }
    }
}

// A misplaced window or frequency cut moves or smears the quarter of a lone pixel ('B': a
// set bit); overshoot beside a hard edge (-13, 268) must clamp, not wrap in a byte.
TEST_F(Fourier, IsolatedPixelAndSharpEdge) {
    for (const auto &[type, w, dot] :
         {std::tuple{'G', 16, true}, {'B', 16, true}, {'G', 32, false}}) {
        R64_FILE *f = make("f.r64", type, w, 16, [dot = dot](int x, int y, int) {
            return dot ? (x == 6 && y == 6 ? 255 : 0) : (x < 16 ? 0 : 255);
        });
        stdout_of([&] { EXPECT_EQ(r64_new_level_hifi(f, 0), 0); });
        const std::vector<unsigned char> got = load_level(f, 1).px;
        for (size_t k = 0; k < got.size(); k++) // edge: column 8 takes a value between
            EXPECT_TRUE(dot ? got[k] == (k == 3 * 8 + 3 ? (type == 'G' ? 63 : 0xFF) : 0)
                            : k % 16 == 8 || got[k] == (k % 16 < 8 ? 0 : 255))
                << type << w << " " << k;
        r64_close_file(f);
    }
}

// Both ways: the band loop's bounds in the progress lines (9 rows end in a half band),
// weights not summing to one change a uniform level, a level not in the file is refused
// (-9) before anything is printed, reducing the last level runs through storing nothing.
TEST_F(Fourier, ProgressUniformRefusedAndLastLevels) {
    for (const int h : {8, 9}) {
        for (const bool fast : {true, false}) {
            R64_FILE *f = make("flat.r64", 'G', 7, h, [](int, int, int) { return 37; });
            for (int level : {1, 32, -1}) {
                r64_error = 0;
                EXPECT_EQ(stdout_of([&] { EXPECT_EQ(run(f, level, fast), -1); }), "");
                EXPECT_EQ(r64_error, -9);
            }
            EXPECT_EQ(stdout_of([&] { EXPECT_EQ(run(f, 0, fast), 0); }),
                      h == 8 ? "h = -4/8   \rh = 0/8   \rh = 4/8   \r\n"
                             : "h = -4/9   \rh = 0/9   \rh = 4/9   \rh = 8/9   \r\n");
            const std::vector<unsigned char> got = load_level(f, 1).px;
            EXPECT_EQ(got, std::vector<unsigned char>(got.size(), 37));
            ASSERT_EQ(r64_flush(f), 0);
            const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
            EXPECT_EQ(stdout_of([&] { EXPECT_EQ(run(f, 1, fast), 0); }).back(), '\n');
            EXPECT_EQ(r64_flush(f), 0);
            EXPECT_EQ(u_lseek64(f->fd, 0, SEEK_END), length);
            r64_close_file(f);
        }
    }
}

// Every byte of the pyramid, for each pixel type and out-of-level rule, on sizes that
// cross tile edges and leave partial windows and half bands.
TEST_F(Fourier, FastPyramidEqualsLiteralByteForByte) {
    for (const auto &[type, w, h] : {std::tuple{'G', 131, 77}, {'P', 67, 130}, {'B', 139, 71}})
        for (int rc_type : {0, 1})
            EXPECT_TRUE(pyramid("lit.r64", type, w, h, rc_type, false) ==
                        pyramid("fast.r64", type, w, h, rc_type, true))
                << type << w << "x" << h << " rc " << rc_type;
}

// Both ways, failed stores (beyond a read-only file: -6; a tiny cache's write-backs: -1)
// are reported after the pass; no memory (-3) fails at once, writing and leaking nothing.
TEST_F(Fourier, FailuresAreReported) {
    pyramid("full.r64", 'G', 200, 70, 1, true);
    r64_close_file(make("ro.r64", 'P', 40, 24, ramp));
    for (bool fast : {true, false}) {
        for (const auto &[name, entries, code, tail] :
             {std::tuple{"ro.r64", R64_CACHE_ENTRIES, -6, "h = 20/24   \r\n"},
              std::tuple{"full.r64", 4, -1, "h = 68/70   \r\n"}}) {
            ent_len = entries;
            R64_FILE *f = r64_open_file(dir.file(name).c_str(), O_RDONLY, 0, 0, 0, 0);
            ent_len = R64_CACHE_ENTRIES;
            const std::string out = stdout_of([&] { EXPECT_EQ(run(f, 0, fast), -1); });
            EXPECT_EQ(r64_error, code) << name;
            EXPECT_EQ(out.substr(out.size() - 14), tail);
            r64_close_file(f);
        }
    }

    R64_FILE *f = make("oom.r64", 'P', 30, 20, ramp);
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    const auto saved = std::pair{r64::hifi_calloc, r64::transform_alloc};
    r64::hifi_calloc = [](size_t n, size_t s) { return g_ok-- > 0 ? std::calloc(n, s) : nullptr; };
    r64::transform_alloc = [](size_t b) { return g_ok-- > 0 ? std::malloc(b) : nullptr; };
    // Three line buffers, then the band (fast); the literal way fails in its first band.
    for (int allowed : {0, 1, 2, 3, 30}) {
        g_ok = allowed;
        r64_error = 0;
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(run(f, 0, allowed < 30), -1); }),
                  allowed < 30 ? "" : "h = -4/20   \r\n");
        EXPECT_EQ(r64_error, -3) << allowed;
    }
    std::tie(r64::hifi_calloc, r64::transform_alloc) = saved;
    EXPECT_EQ(r64_flush(f), 0);
    EXPECT_EQ(u_lseek64(f->fd, 0, SEEK_END), length);
    r64_close_file(f);
}

} // namespace
