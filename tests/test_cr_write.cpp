// cr writing and decoding: r64 pyramids are built here from levels the test
// computes itself, converted, and checked against the file layout (parsed by hand)
// and against the source pixels; stored tiles against bytes the test derives from
// the calibration formulas; faults are injected through a forwarding dispatcher.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/file/cr_decoder.h"
#include "r64/file/cr_gather.h"
#include "r64/file/cr_residual.h"
#include "r64/r64.h"
#include "scratch_dir.h"

namespace {

using r64_test::Bytes;

// Pixels of every level, 3 bytes each (r = g = b for 'G' and 'B').
struct Pyramid {
    char type;
    std::vector<int> w, h;
    std::vector<Bytes> px;
    const unsigned char *at(int level, int x, int y) const {
        return &px[level][(static_cast<size_t>(y) * w[level] + x) * 3];
    }
};

using PixelFn = std::function<int(int x, int y, int k)>;

// Level 0 from fn, each further level the rounded 2x2 mean (edges repeated), 'B'
// thresholded; levels while both sides stay 3 or more.
Pyramid make_levels(char type, int w, int h, const PixelFn &fn) {
    Pyramid p{type, {}, {}, {}};
    Bytes l0(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k) {
                int v = std::clamp(fn(x, y, type == 'P' ? k : 0), 0, 255);
                l0[(static_cast<size_t>(y) * w + x) * 3 + k] =
                    static_cast<unsigned char>(type == 'B' ? (v >= 128 ? 255 : 0) : v);
            }
    while (w >= 3 && h >= 3) {
        p.w.push_back(w);
        p.h.push_back(h);
        p.px.push_back(l0);
        const int nw = (w + 1) / 2, nh = (h + 1) / 2;
        Bytes next(static_cast<size_t>(nw) * nh * 3);
        for (int y = 0; y < nh; ++y)
            for (int x = 0; x < nw; ++x)
                for (int k = 0; k < 3; ++k) {
                    int s = 0;
                    for (int d = 0; d < 4; ++d) {
                        const int sx = std::min(2 * x + (d & 1), w - 1);
                        const int sy = std::min(2 * y + (d >> 1), h - 1);
                        s += l0[(static_cast<size_t>(sy) * w + sx) * 3 + k];
                    }
                    int v = (s + 2) / 4;
                    next[(static_cast<size_t>(y) * nw + x) * 3 + k] =
                        static_cast<unsigned char>(type == 'B' ? (v >= 128 ? 255 : 0) : v);
                }
        l0.swap(next);
        w = nw;
        h = nh;
    }
    return p;
}

void write_r64(const std::string &path, const Pyramid &p, int w, int h) {
    R64_FILE *f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, p.type, w, h);
    ASSERT_NE(f, nullptr);
    for (size_t l = 0; l < p.px.size(); ++l)
        for (int y = 0; y < p.h[l]; ++y)
            for (int x = 0; x < p.w[l]; ++x)
                ASSERT_EQ(r64_set(f, x, y, static_cast<int>(l), p.at(static_cast<int>(l), x, y)),
                          0);
    r64_close_file(f);
}

// A photo-like picture: soft gradients, a few waves, hard edges and a little noise.
int photo(int x, int y, int k) {
    unsigned n = static_cast<unsigned>(x * 7919 + y * 104729 + k * 31) * 2654435761u;
    double v = 90 + 60 * std::sin(x / 37.0 + k) * std::cos(y / 23.0) + 0.15 * x + 0.1 * y +
               ((x / 50 + y / 40) % 3 == 0 ? 40 : 0) + static_cast<int>(n >> 29) - 4;
    return static_cast<int>(v);
}

int smooth(int x, int y, int k) {
    return 100 + (x * 3 + y * 2 + k * 20) % 50;
}

// The calibration curve and its inverse, from their definitions.
int ref_cal(int v) {
    if (v > 223)
        v = 224 + 32 * (v - 224) / 332;
    else if (v < 32)
        v = 32 + 32 * (v - 32) / 332;
    return v & 255;
}
int ref_inv(int c) {
    if (c > 223)
        return 224 + 332 * (c - 224) / 32;
    if (c < 32)
        return 32 + 332 * (c - 32) / 32;
    return c;
}

class CrWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override {
        if (r64_ != nullptr)
            r64_close_file(r64_);
    }
    // Writes the pyramid and opens it read-only as the conversion's source.
    void source(const Pyramid &p, int w, int h) {
        write_r64(src_, p, w, h);
        r64_ = r64_open_file(src_.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(r64_, nullptr);
    }
    int convert(int rect, const std::string &out) {
        return cr_write_file(out.c_str(), 0644, rect, r64_);
    }
    // Every level decoded back tile by tile, row by row; fails the test on any error.
    std::vector<Bytes> decode_all(const std::string &path, int *decodes = nullptr,
                                  int max_levels = R64_LEVELS) {
        std::vector<Bytes> levels;
        CR_FILE *f = cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
        EXPECT_NE(f, nullptr);
        if (f == nullptr)
            return levels;
        CR_DECODER *d = cr_open_decoder(f, 0);
        for (int l = 0; l < max_levels && cr_check_level(f, l); ++l) {
            const int lw = f->level_w[l], lh = f->level_h[l], rs = f->header.rect_size;
            Bytes img(static_cast<size_t>(lw) * lh * 3);
            for (int ty = 0; ty < lh; ty += rs)
                for (int tx = 0; tx < lw; tx += rs) {
                    int w = 0, h = 0;
                    unsigned char *t = cr_decode_tile(&w, &h, d, tx, ty, l);
                    EXPECT_NE(t, nullptr)
                        << "level " << l << " tile " << tx << "," << ty << " error " << r64_error;
                    if (t == nullptr)
                        continue;
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w; ++x)
                            for (int k = 0; k < 3; ++k) {
                                EXPECT_EQ(t[(y * w + x) * 4 + 3], 0);
                                img[((static_cast<size_t>(ty) + y) * lw + tx + x) * 3 + k] =
                                    t[(y * w + x) * 4 + k];
                            }
                    free(t);
                }
            levels.push_back(img);
        }
        if (decodes != nullptr)
            *decodes = static_cast<int>(r64::cr_decoder_tiles_decoded(d));
        cr_close_decoder(d);
        cr_close_file(f);
        return levels;
    }

    r64_test::ScratchDir dir_;
    std::string src_ = dir_.file("src.r64");
    std::string out_ = dir_.file("out.cr");
    R64_FILE *r64_ = nullptr;
};

double psnr(const Bytes &a, const Bytes &b, double *mae) {
    double se = 0, ae = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        se += d * d;
        ae += std::abs(d);
    }
    *mae = ae / a.size();
    return se == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// The curves and the calibration: the worked examples, the untouched band, and
// the formulas over the whole range a sample and an offset can reach.
TEST_F(CrWrite, CalibrationCurves) {
    EXPECT_EQ(cr_cal(100, 28), 128);
    EXPECT_EQ(cr_inv_cal(128, 28), 100);
    EXPECT_EQ(cr_cal(300, 0), 231);
    EXPECT_EQ(cr_inv_cal(231, 0), 296);
    EXPECT_EQ(cr_cal(0, 0), 29);
    EXPECT_EQ(cr_inv_cal(29, 0), 1);
    EXPECT_EQ(cr_cal(556, 0), 0);
    EXPECT_EQ(cr_cal(10, static_cast<char>(-128)), ref_cal(-118));
    for (int v = -300; v <= 555; ++v) {
        ASSERT_EQ(cr_cal(v, 0), ref_cal(v)) << v;
        if (v >= 32 && v <= 223) {
            ASSERT_EQ(cr_inv_cal(cr_cal(v, 0), 0), v);
        }
    }
    for (int c = 0; c < 256; ++c)
        ASSERT_EQ(cr_inv_cal(c, 5), ref_inv(c) - 5);
    EXPECT_EQ(r64::cr_calibration(-40, 60), 118);
    EXPECT_EQ(r64::cr_calibration(-255, -200), 127);
}

// The residual kernels (vector blocks, tables, tails) against the formulas pixel by
// pixel: odd offsets and sizes, small differences (in the band) and large ones.
TEST_F(CrWrite, ResidualKernelsMatchFormulas) {
    unsigned seed = 1;
    auto rnd = [&seed](int n) {
        return static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % n;
    };
    for (int round = 0; round < 40; ++round) {
        const int w_ofs = rnd(40), h_ofs = rnd(40), w = 1 + rnd(70), h = 1 + rnd(9);
        const int spread = round % 2 == 0 ? 30 : 256;
        CR_BUFFER parent{w_ofs >> 1, h_ofs >> 1, (w + 2) / 2 + 1, (h + 2) / 2 + 1, nullptr};
        Bytes pb(static_cast<size_t>(parent.w_len) * parent.h_len * 4, 0), tile(w * h * 4, 0);
        for (size_t i = 0; i < pb.size(); ++i)
            pb[i] = i % 4 == 3 ? 0 : 100 + rnd(40);
        for (size_t i = 0; i < tile.size(); ++i)
            tile[i] = i % 4 == 3 ? 0 : std::clamp(100 + rnd(spread) - spread / 3, 0, 255);
        parent.buf = pb.data();
        auto pp = [&](int x, int y, int k) {
            return pb[(((h_ofs + y) / 2 - parent.h_ofs) * parent.w_len + (w_ofs + x) / 2 -
                       parent.w_ofs) *
                          4 +
                      k];
        };
        int lo[3] = {999, 999, 999}, hi[3] = {-999, -999, -999}, cal[3];
        for (int i = 0; i < w * h; ++i)
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], tile[i * 4 + k] - pp(i % w, i / w, k));
                hi[k] = std::max(hi[k], tile[i * 4 + k] - pp(i % w, i / w, k));
            }
        Bytes want = tile, got = tile;
        r64::cr_encode_residual(parent, w_ofs, h_ofs, w, h, got.data(), cal);
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(cal[k], std::clamp(128 - (hi[k] + lo[k]) / 2, -128, 127));
        for (int i = 0; i < w * h; ++i)
            for (int k = 0; k < 3; ++k)
                want[i * 4 + k] = ref_cal(tile[i * 4 + k] - pp(i % w, i / w, k) + cal[k]);
        ASSERT_EQ(got, want) << round;
        // Decoded bytes over the whole range, some blocks in the band and some not.
        Bytes dec(w * h * 4, 0), out(w * h * 4, 0xAA);
        for (size_t i = 0; i < dec.size(); ++i)
            dec[i] = i % 4 == 3 ? 0 : (round % 2 == 0 ? 40 + rnd(170) : rnd(256));
        const unsigned char cb[3] = {static_cast<unsigned char>(cal[0]),
                                     static_cast<unsigned char>(cal[1]),
                                     static_cast<unsigned char>(cal[2])};
        r64::cr_reconstruct(parent, w_ofs, h_ofs, w, h, dec.data(), cb, out.data());
        for (int i = 0; i < w * h; ++i) {
            for (int k = 0; k < 3; ++k)
                want[i * 4 + k] = std::clamp(pp(i % w, i / w, k) + ref_inv(dec[i * 4 + k]) -
                                                 static_cast<signed char>(cb[k]),
                                             0, 255);
            want[i * 4 + 3] = 0;
        }
        ASSERT_EQ(out, want) << round;
    }
}

// The stored codec: layout by hand, width 256 kept in one byte, and malformed
// input refused without reading past its size (ASan watches the exact buffer).
TEST_F(CrWrite, StoredCodec) {
    unsigned char px[8] = {1, 2, 3, 9, 4, 5, 6, 9};
    int size = 0;
    unsigned char *s = none_compress(&size, px, 2, 1);
    ASSERT_EQ(size, 8);
    EXPECT_EQ(Bytes(s, s + 8), (Bytes{1, 0, 1, 2, 3, 4, 5, 6}));
    int w = 0, h = 0;
    unsigned char *d = none_uncompress(&w, &h, s, size);
    EXPECT_EQ(w, 2);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(Bytes(d, d + 8), (Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
    free(d);
    EXPECT_EQ(none_uncompress(&w, &h, s, 1), nullptr);
    EXPECT_EQ(none_uncompress(&w, &h, s, 7), nullptr);
    free(s);
    Bytes wide(256 * 4, 7);
    s = none_compress(&size, wide.data(), 256, 1);
    d = none_uncompress(&w, &h, s, size);
    EXPECT_EQ(w, 256);
    ASSERT_NE(d, nullptr);
    free(d);
    free(s);
}

// The 100x50 example: record order and types, contiguous data from offset 100, the
// stored tiles byte for byte (root pixels, calibrated differences), the absent
// level's record zero, and the progress line.
TEST_F(CrWrite, ExampleLayout) {
    Pyramid p = make_levels('P', 100, 50, photo);
    // Level 3 as a hard checker: its differences leave the band and its rebuilt
    // pixels need limiting.
    for (size_t i = 0; i < p.px[3].size(); ++i) {
        p.px[3][i] = (i / 3 + i % 3) % 2 != 0 ? 255 : 0;
    }
    source(p, 100, 50);
    indicate_file_size = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(convert(64, out_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "r64 width=100 height=50loading 84   \rloading 14682   \rloading 20082   \r\n");
    const Bytes b = r64_test::read_bytes(out_);
    auto be32 = [&](size_t o) { return b[o] << 24 | b[o + 1] << 16 | b[o + 2] << 8 | b[o + 3]; };
    ASSERT_EQ(be32(12), 7);
    const int order[6] = {5, 4, 3, 2, 0, 1}; // level 4, 3, 2, 1, level 0 left and right
    const char types[6] = {'n', 'n', 'n', 'j', 'j', 'j'};
    size_t ofs = 100;
    for (int i = 0; i < 6; ++i) {
        const size_t r = 16 + 12 * order[i];
        EXPECT_EQ(static_cast<size_t>(be32(r)), ofs) << i;
        EXPECT_EQ(b[r + 4], types[i]) << i;
        ofs += be32(r + 8);
    }
    EXPECT_EQ(ofs, b.size());
    EXPECT_EQ(Bytes(b.begin() + 16 + 12 * 6, b.begin() + 100), Bytes(12, 0));
    EXPECT_EQ(be32(16 + 12 * 5 + 8), 86);

    // Expected stored tiles: root pixels, then each level's calibrated differences
    // from the level above as a reader rebuilds it.
    Bytes parent = p.px[4];
    for (int level = 4, rec = 5; level >= 2; --level, --rec) {
        const int w = p.w[level], h = p.h[level];
        int lo[3] = {999, 999, 999}, hi[3] = {-999, -999, -999}, cal[3];
        auto diff = [&](int x, int y, int k) {
            const int pv = level == 4 ? 0 : parent[((y >> 1) * p.w[level + 1] + (x >> 1)) * 3 + k];
            return p.at(level, x, y)[k] - pv;
        };
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) {
                    lo[k] = std::min(lo[k], diff(x, y, k));
                    hi[k] = std::max(hi[k], diff(x, y, k));
                }
        Bytes want = {static_cast<unsigned char>(w - 1), static_cast<unsigned char>(h - 1)};
        Bytes rebuilt(static_cast<size_t>(w) * h * 3);
        for (int k = 0; k < 3; ++k)
            cal[k] = std::clamp(128 - (hi[k] + lo[k]) / 2, -128, 127);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < 3; ++k) {
                    const int v = level == 4 ? diff(x, y, k) : ref_cal(diff(x, y, k) + cal[k]);
                    want.push_back(static_cast<unsigned char>(v));
                    rebuilt[(y * w + x) * 3 + k] = static_cast<unsigned char>(
                        level == 4
                            ? v
                            : std::clamp(p.at(level, x, y)[k] - diff(x, y, k) + ref_inv(v) - cal[k],
                                         0, 255));
                }
        const size_t r = 16 + 12 * rec, at = be32(r);
        EXPECT_EQ(Bytes(b.begin() + at, b.begin() + at + want.size()), want) << "level " << level;
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(b[r + 5 + k], static_cast<unsigned char>(cal[k]));
        parent = rebuilt;
    }
    EXPECT_EQ(b[be32(16 + 24)], 0xFF); // level 1 is a JPEG stream
    EXPECT_EQ(b[be32(16 + 24) + 1], 0xD8);
}

// Round trip: a photo-like picture stays close to its source at every level for
// each tile edge, every tile of every level decodes, and reading level 0 decodes
// each tile once; grey and bilevel sources come back grey (r = g = b) and close.
TEST_F(CrWrite, DecodedLevelsStayClose) {
    // Level 0 must be well above 30 dB for colour; smaller levels carry more detail
    // per pixel and bilevel edges ring, so their floors are lower.
    struct Case {
        char type;
        int rect;
        double level0_db, any_db;
    };
    for (const Case c : {Case{'P', 16, 36, 27}, Case{'P', 64, 36, 27}, Case{'P', 256, 36, 27},
                         Case{'G', 64, 40, 31}, Case{'B', 64, 30, 20}}) {
        const Pyramid p = make_levels(c.type, 512, 384, photo);
        source(p, 512, 384);
        ASSERT_EQ(convert(c.rect, out_), 0);
        const std::vector<Bytes> got = decode_all(out_);
        ASSERT_EQ(got.size(), p.px.size());
        std::printf("%c rect %3d, cr/r64 size %.3f:", c.type, c.rect,
                    double(r64_test::file_size(out_)) / r64_test::file_size(src_));
        for (size_t l = 0; l < got.size(); ++l) {
            double mae;
            const double db = psnr(got[l], p.px[l], &mae);
            std::printf("  L%zu %.2f dB mae %.2f", l, db, mae);
            EXPECT_GT(db, l == 0 ? c.level0_db : c.any_db)
                << c.type << " rect " << c.rect << " level " << l;
            for (size_t i = 0; c.type != 'P' && i < got[l].size(); i += 3) {
                ASSERT_TRUE(got[l][i] == got[l][i + 1] && got[l][i] == got[l][i + 2]);
            }
        }
        std::printf("\n");
        // A fresh decoder reading level 0 row by row decodes every tile of the file
        // once (each tile above is an ancestor of some tile of level 0).
        int tiles = 0, decodes = 0;
        for (size_t l = 0; l < p.px.size(); ++l)
            tiles += (p.w[l] + c.rect - 1) / c.rect * ((p.h[l] + c.rect - 1) / c.rect);
        decode_all(out_, &decodes, 1);
        EXPECT_EQ(decodes, tiles);
        r64_close_file(r64_);
        r64_ = nullptr;
    }
}

// All tiles stored and every difference inside the untouched band: the decoded
// pyramid is the source exactly.
TEST_F(CrWrite, StoredTilesDecodeExactly) {
    const Pyramid p = make_levels('P', 61, 45, smooth);
    source(p, 61, 45);
    ASSERT_EQ(convert(15, out_), 0);
    EXPECT_EQ(decode_all(out_), p.px);
}

// Top levels wider or taller than one tile: every top tile is a root with its
// subtree, so every tile of every level is written and decodes.
TEST_F(CrWrite, WideAndTallImagesKeepEveryTile) {
    for (const auto &[w, h] : {std::pair{3000, 40}, std::pair{40, 3000}}) {
        const Pyramid p = make_levels('G', w, h, photo);
        source(p, w, h);
        ASSERT_EQ(convert(64, out_), 0);
        const std::vector<Bytes> got = decode_all(out_);
        ASSERT_EQ(got.size(), p.px.size());
        double mae;
        for (size_t l = 0; l < got.size(); ++l)
            EXPECT_GT(psnr(got[l], p.px[l], &mae), 30);
        r64_close_file(r64_);
        r64_ = nullptr;
    }
}

// The fast gather against the literal one: odd sizes and offsets, each pixel type,
// tiles of a damaged file (same failure, same code), and whole converted files.
TEST_F(CrWrite, FastGatherMatchesLiteral) {
    for (char type : {'P', 'G', 'B'}) {
        const Pyramid p = make_levels(type, 203, 77, photo);
        write_r64(src_, p, 203, 77);
        for (bool damaged : {false, true}) {
            if (damaged) {
                ASSERT_EQ(truncate(src_.c_str(), 8 + 203 * 40), 0);
            }
            r64_ = r64_open_file(src_.c_str(), O_RDONLY, 0, 0, 0, 0);
            ASSERT_NE(r64_, nullptr);
            for (int level = 0; level < 3; ++level)
                for (int rect : {1, 17, 64, 65, 100, 256})
                    for (int y0 = 0; y0 < p.h[level]; y0 += rect + 13)
                        for (int x0 = 0; x0 < p.w[level]; x0 += rect + 29) {
                            const int w = std::min(rect, p.w[level] - x0);
                            const int h = std::min(rect, p.h[level] - y0);
                            Bytes a(w * h * 4, 0xAA), b(w * h * 4, 0xAA);
                            r64_error = 7;
                            const int ra =
                                r64::gather_tile_literal(r64_, level, x0, y0, w, h, a.data());
                            const int ea = r64_error;
                            r64_error = 7;
                            const int rb =
                                r64::gather_tile_fast(r64_, level, x0, y0, w, h, b.data());
                            ASSERT_EQ(ra, rb) << type << level << " " << x0 << "," << y0;
                            ASSERT_EQ(ea, r64_error);
                            if (ra == 0) {
                                ASSERT_EQ(a, b) << type << level << " " << x0 << "," << y0;
                            }
                        }
            if (!damaged) {
                const std::string lit = dir_.file("literal.cr");
                ASSERT_EQ(
                    r64::cr_write_file_using(lit.c_str(), 0644, 17, r64_, r64::gather_tile_literal),
                    0);
                ASSERT_EQ(convert(17, out_), 0);
                EXPECT_EQ(r64_test::read_bytes(lit), r64_test::read_bytes(out_));
            }
            r64_close_file(r64_);
            r64_ = nullptr;
        }
    }
}

// Refusals: a tile edge outside 1..256 and the source itself as target leave no
// file made or touched; the codes of a source without levels and of a failed pixel
// read survive the close.
TEST_F(CrWrite, RefusalsKeepTheirCodes) {
    const Pyramid p = make_levels('P', 100, 50, smooth);
    source(p, 100, 50);
    for (int rect : {0, -1, 257}) {
        EXPECT_EQ(convert(rect, out_), -1);
        EXPECT_EQ(r64_error, -5);
        EXPECT_NE(access(out_.c_str(), F_OK), 0);
    }
    const Bytes before = r64_test::read_bytes(src_);
    const std::string link = dir_.file("link.r64");
    ASSERT_EQ(::link(src_.c_str(), link.c_str()), 0);
    for (const std::string &same : {src_, link}) {
        EXPECT_EQ(convert(64, same), -1);
        EXPECT_EQ(r64_error, -1);
    }
    EXPECT_EQ(r64_test::read_bytes(src_), before);

    ASSERT_EQ(truncate(src_.c_str(), 8 + 100 * 50 * 3), 0); // level 0 only
    EXPECT_EQ(convert(64, out_), -1);
    EXPECT_EQ(r64_error, -6);
    r64_close_file(r64_);
    r64_ = nullptr;

    R64_FILE *flat =
        r64_open_file(dir_.file("flat.r64").c_str(), O_RDWR | O_CREAT, 0644, 'G', 2, 1000);
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(cr_write_file(out_.c_str(), 0644, 64, flat), -1);
    EXPECT_EQ(r64_error, -2);
    r64_ = flat;
}

// Serves every request for a file made read-write by forwarding it to a real
// descriptor (numbered above 65535 on the routed side); the write or seek numbered
// `fault` fails (odd numbers) or, for a write, moves half its bytes (even numbers).
int convert_routed(const std::string &path, R64_FILE *src, int fault, int *calls) {
    using F = r64_test::FakeDispatcher;
    F fake;
    fake.own_uid = static_cast<int>(geteuid()) + 1;
    *calls = 0;
    fake.answer = [&](UFR_REQ *req) {
        UFR_ARGS *a = req->argv;
        const int fd = a[0].d_int.d - 65536;
        const int code = req->ufr_code;
        const bool inject =
            (code == UFR_CODE_WRITE || code == UFR_CODE_LSEEK64) && ++*calls == fault;
        switch (code) {
        case UFR_CODE_OPEN64: {
            const int real = ::open(a[0].d_char_ptr.d, a[1].d_int.d, a[2].d_int.d);
            return real < 0 ? F::fail(-1, errno) : F::ok(real + 65536);
        }
        case UFR_CODE_CLOSE:
            return F::ok(::close(fd));
        case UFR_CODE_WRITE:
            if (inject && fault % 2 == 1)
                return F::fail(-1, EIO);
            return F::ok(static_cast<int>(
                ::write(fd, a[1].d_char_ptr.d, a[1].d_char_ptr.len / (inject ? 2 : 1))));
        case UFR_CODE_READ:
            return F::ok(
                static_cast<int>(::read(fd, a[1].d_rep_char_ptr.d, a[1].d_rep_char_ptr.len)));
        case UFR_CODE_LSEEK64:
            if (inject)
                return F::fail(-1, EINVAL);
            return F::ok64(::lseek(fd, a[1].d_int64.d, a[2].d_int.d));
        default:
            return F::fail(-1, ENOSYS);
        }
    };
    return cr_write_file(path.c_str(), 0644, 64, src);
}

// Write faults: a failed or short write or a failed seek anywhere makes the
// conversion fail with -1; the tiles written before stay readable; with no fault
// the routed file equals a direct one; a tile past 4 GiB of data is refused.
TEST_F(CrWrite, WriteFaultsAreReported) {
    const Pyramid p = make_levels('P', 100, 50, photo);
    source(p, 100, 50);
    ASSERT_EQ(convert(64, out_), 0);
    const Bytes direct = r64_test::read_bytes(out_);
    const std::string routed = dir_.file("routed.cr");
    int calls = 0;
    ASSERT_EQ(convert_routed(routed, r64_, 0, &calls), 0);
    EXPECT_EQ(r64_test::read_bytes(routed), direct);
    const int total = calls;
    EXPECT_EQ(total, 9 + 6 * 5); // table: 8 writes and a seek; per tile 3 seeks, 2 writes
    for (int fault = 1; fault <= total; ++fault) {
        EXPECT_EQ(convert_routed(routed, r64_, fault, &calls), -1) << fault;
        EXPECT_EQ(r64_error, -1) << fault;
    }
    // Level 1's data write (call 26) falls short: the three tiles above it decode,
    // level 1 was never recorded.
    ASSERT_EQ(convert_routed(routed, r64_, 26, &calls), -1);
    CR_FILE *f = cr_open_file(routed.c_str(), O_RDONLY, 0, 0, 0, 0);
    ASSERT_NE(f, nullptr);
    CR_DECODER *d = cr_open_decoder(f, 0);
    int w, h;
    for (int level = 4; level >= 1; --level) {
        unsigned char *t = cr_decode_tile(&w, &h, d, 0, 0, level);
        EXPECT_EQ(t != nullptr, level > 1) << level;
        free(t);
    }
    EXPECT_EQ(r64_error, -4);
    cr_close_decoder(d);
    cr_close_file(f);

    f = cr_open_file(routed.c_str(), O_RDWR | O_TRUNC, 0644, 64, 100, 50);
    ASSERT_NE(f, nullptr);
    f->write_ofs = 0xFFFFFFFFu - 50; // the root's 86 bytes would pass the 32-bit offsets
    EXPECT_EQ(_cr_write(nullptr, f, r64_, 0, 0, 4), -1);
    EXPECT_EQ(r64_error, -1);
    cr_close_file(f);
}

// The decoder on damaged files: a record beyond the file, an unknown type, a
// stored tile of the wrong size, a broken JPEG stream; the failure reaches the
// tiles below; bad coordinates and levels; nothing crashes.
TEST_F(CrWrite, DecoderReportsDamage) {
    const Pyramid p = make_levels('P', 100, 50, photo);
    source(p, 100, 50);
    ASSERT_EQ(convert(64, out_), 0);
    int decodes = 0;
    decode_all(out_, &decodes);
    EXPECT_EQ(decodes, 6); // each of the six tiles once
    const Bytes good = r64_test::read_bytes(out_);
    auto be32 = [&](size_t o) {
        return good[o] << 24 | good[o + 1] << 16 | good[o + 2] << 8 | good[o + 3];
    };
    // Each damage, the tile it hits (x, y, level) and the code every tile at or
    // below it reports.
    struct Damage {
        std::function<void(Bytes &)> apply;
        int x, y, level, code;
    };
    const Damage cases[] = {
        {[](Bytes &b) { b[16 + 60 + 8] = 0x7F; }, 0, 0, 4, -4},          // size past the end
        {[](Bytes &b) { b[16 + 24 + 4] = 'x'; }, 0, 0, 1, -5},           // unknown type
        {[&](Bytes &b) { b[be32(16 + 48)] = 3; }, 0, 0, 3, -5},          // stored width wrong
        {[&](Bytes &b) { b[be32(16 + 24)] = 0; }, 0, 0, 1, -5},          // not a JPEG stream
        {[&](Bytes &b) { b.resize(be32(16 + 12) + 10); }, 64, 0, 0, -4}, // last tile cut short
    };
    for (const Damage &c : cases) {
        Bytes b = good;
        c.apply(b);
        r64_test::write_bytes(out_, b);
        CR_FILE *f = cr_open_file(out_.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(f, nullptr);
        CR_DECODER *d = cr_open_decoder(f, 0);
        int w, h;
        EXPECT_EQ(cr_decode_tile(&w, &h, d, c.x, c.y, c.level), nullptr);
        EXPECT_EQ(r64_error, c.code);
        EXPECT_EQ(cr_decode_tile(&w, &h, d, 70, 10, 0), nullptr);
        EXPECT_EQ(r64_error, c.code);
        EXPECT_EQ(cr_decode_tile(&w, &h, d, 0, 0, 5), nullptr); // the absent level
        EXPECT_EQ(r64_error, -9);
        EXPECT_EQ(cr_decode_tile(&w, &h, d, 100, 0, 0), nullptr);
        EXPECT_EQ(r64_error, -7);
        cr_close_decoder(d);
        cr_close_file(f);
    }
}

// A tile edge the stored form cannot hold is refused by the tile writer too (its
// tiles would decode to another size).
TEST_F(CrWrite, TileWriterRefusesWideTiles) {
    const Pyramid p = make_levels('P', 600, 20, smooth);
    source(p, 600, 20);
    CR_FILE *f = cr_open_file(out_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 300, 600, 20);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(_cr_write(nullptr, f, r64_, 0, 0, 1), -1); // a 300 x 10 stored tile
    EXPECT_EQ(r64_error, -5);
    cr_close_file(f);
}

} // namespace
