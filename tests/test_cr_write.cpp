// cr writing and decoding, checked against a pyramid the test computes itself, the
// layout parsed by hand and bytes derived from the calibration formulas.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/types.h>
#include <string>
#include <tuple>
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
using PixelFn = int (*)(int x, int y, int k);
using u8 = unsigned char;

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
    return (v > 223 ? 224 + 32 * (v - 224) / 332 : v < 32 ? 32 + 32 * (v - 32) / 332 : v) & 255;
}
int ref_inv(int c) {
    return c > 223 ? 224 + 332 * (c - 224) / 32 : c < 32 ? 32 + 332 * (c - 32) / 32 : c;
}

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

size_t be32(const Bytes &b, size_t o) {
    return size_t{b[o]} << 24 | b[o + 1] << 16 | b[o + 2] << 8 | b[o + 3];
}

// Every level, 3 bytes a pixel (r = g = b for 'G', 'B'): level 0 from fn, each above the
// rounded 2x2 mean (edges repeated), 'B' thresholded; while both sides stay 3 or more.
struct Pyramid {
    char type;
    std::vector<int> w, h;
    std::vector<Bytes> px;
};
Pyramid make_levels(char type, int w, int h, PixelFn fn) {
    Pyramid p{type, {}, {}, {}};
    for (int l = 0; w >= 3 && h >= 3; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
        Bytes b(static_cast<size_t>(w) * h * 3);
        for (size_t i = 0; i < b.size(); ++i) {
            const int x = static_cast<int>(i / 3 % w), y = static_cast<int>(i / 3 / w), k = i % 3;
            int v = l == 0 ? fn(x, y, type == 'P' ? k : 0) : 2;
            for (int d = 0; l > 0 && d < 4; ++d) {
                const int sx = std::min(2 * x + (d & 1), p.w[l - 1] - 1);
                const int sy = std::min(2 * y + (d >> 1), p.h[l - 1] - 1);
                v += p.px[l - 1][(static_cast<size_t>(sy) * p.w[l - 1] + sx) * 3 + k];
            }
            v = std::clamp(l == 0 ? v : v / 4, 0, 255);
            b[i] = static_cast<u8>(type == 'B' ? (v >= 128 ? 255 : 0) : v);
        }
        p.w.push_back(w);
        p.h.push_back(h);
        p.px.push_back(b);
    }
    return p;
}

// A cr file open for decoding, closed with the object.
struct Decoder {
    explicit Decoder(const std::string &path)
        : f(cr_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0)),
          d(f != nullptr ? cr_open_decoder(f, 0) : nullptr) {}
    ~Decoder() {
        if (f != nullptr) {
            cr_close_decoder(d);
            cr_close_file(f);
        }
    }
    // The tile's pixels, 4 bytes each, or empty with r64_error set.
    Bytes tile(int x, int y, int level) {
        int w = 0, h = 0;
        unsigned char *t = f != nullptr ? cr_decode_tile(&w, &h, d, x, y, level) : nullptr;
        Bytes out(t, t + (t != nullptr ? w * h * 4 : 0));
        free(t);
        return out;
    }
    CR_FILE *f;
    CR_DECODER *d;
};

class CrWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override { close_source(); }
    void close_source() {
        if (r64_ != nullptr)
            r64_close_file(r64_);
        r64_ = nullptr;
    }
    // Writes the pyramid, cut to `cut` bytes if asked, and opens it read-only.
    void source(const Pyramid &p, off_t cut = -1) {
        close_source();
        R64_FILE *f =
            r64_open_file(src_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, p.type, p.w[0], p.h[0]);
        ASSERT_NE(f, nullptr);
        for (size_t l = 0; l < p.px.size(); ++l)
            for (int i = 0; i < p.w[l] * p.h[l]; ++i)
                ASSERT_EQ(r64_set(f, i % p.w[l], i / p.w[l], static_cast<int>(l), &p.px[l][i * 3]),
                          0);
        ASSERT_EQ(r64_close_file(f), 0);
        ASSERT_EQ(cut < 0 ? 0 : truncate(src_.c_str(), cut), 0);
        r64_ = r64_open_file(src_.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(r64_, nullptr);
    }
    int convert(int rect, const std::string &out) {
        return cr_write_file(out.c_str(), 0644, rect, r64_);
    }
    // Every level decoded tile by tile, row by row; `decodes`: tiles the decoder decoded.
    std::vector<Bytes> decode_all(const std::string &path, int *decodes = nullptr,
                                  int max_levels = R64_LEVELS) {
        Decoder dec(path);
        EXPECT_NE(dec.f, nullptr);
        std::vector<Bytes> levels;
        for (int l = 0; l < max_levels && dec.f != nullptr && cr_check_level(dec.f, l); ++l) {
            const int lw = dec.f->level_w[l], lh = dec.f->level_h[l], rs = dec.f->header.rect_size;
            Bytes img(static_cast<size_t>(lw) * lh * 3);
            for (int ty = 0; ty < lh; ty += rs)
                for (int tx = 0; tx < lw; tx += rs) {
                    const Bytes t = dec.tile(tx, ty, l);
                    const int w = std::min(rs, lw - tx), n = w * std::min(rs, lh - ty) * 4;
                    EXPECT_EQ(t.size(), static_cast<size_t>(n))
                        << "level " << l << " tile " << tx << "," << ty << " error " << r64_error;
                    for (int i = 0; t.size() == static_cast<size_t>(n) && i < n; ++i)
                        if (i % 4 == 3)
                            EXPECT_EQ(t[i], 0);
                        else
                            img[((static_cast<size_t>(ty) + i / 4 / w) * lw + tx + i / 4 % w) * 3 +
                                i % 4] = t[i];
                }
            levels.push_back(img);
        }
        if (decodes != nullptr)
            *decodes = static_cast<int>(r64::cr_decoder_tiles_decoded(dec.d));
        return levels;
    }

    r64_test::ScratchDir dir_;
    std::string src_ = dir_.file("src.r64");
    std::string out_ = dir_.file("out.cr");
    R64_FILE *r64_ = nullptr;
};

// The curves' worked examples and formulas for every reachable sum; offset limits.
TEST_F(CrWrite, CalibrationCurves) {
    const int examples[][4] = {{100, 28, 128, 100}, {300, 0, 231, 296}, {0, 0, 29, 1}};
    for (auto [cc, cal, curve, back] : examples) // cr_cal(cc) = curve, cr_inv_cal(curve) = back
        EXPECT_TRUE(cr_cal(cc, cal) == curve && cr_inv_cal(curve, cal) == back) << cc;
    EXPECT_EQ(cr_cal(556, 0), 0);
    for (int cal : {-128, -5, 0, 28, 127}) {
        for (int v = -255; v <= 255; ++v)
            ASSERT_EQ(cr_cal(v, static_cast<char>(cal)), ref_cal(v + cal)) << v << " " << cal;
        for (int c = 0; c < 256; ++c)
            ASSERT_EQ(cr_inv_cal(c, static_cast<char>(cal)), ref_inv(c) - cal) << c << " " << cal;
    }
    EXPECT_EQ(r64::cr_calibration(-40, 60), 118);
    EXPECT_EQ(r64::cr_calibration(-255, -200), 127);
}

// The vector residual kernels against the formulas: odd offsets and sizes, values
// inside the untouched band and far outside it.
TEST_F(CrWrite, ResidualKernelsMatchFormulas) {
    unsigned seed = 1;
    auto rnd = [&seed](int n) {
        return static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % n;
    };
    auto fill = [&rnd](Bytes &b, int lo, int span) {
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<u8>(i % 4 == 3 ? 0 : std::clamp(lo + rnd(span), 0, 255));
    };
    for (int round = 0; round < 40; ++round) {
        const int w_ofs = rnd(40), h_ofs = rnd(40), w = 1 + rnd(70), h = 1 + rnd(9), n = w * h * 4;
        const bool band = round % 2 == 0;
        CR_BUFFER parent{w_ofs >> 1, h_ofs >> 1, (w + 2) / 2 + 1, (h + 2) / 2 + 1, nullptr};
        Bytes pb(static_cast<size_t>(parent.w_len) * parent.h_len * 4), tile(n), dec(n);
        fill(pb, 100, 40);
        fill(tile, band ? 90 : 15, band ? 30 : 256);
        fill(dec, band ? 40 : 0, band ? 170 : 256);
        parent.buf = pb.data();
        auto up = [&](int i) { // parent byte of tile byte i
            const int x = (w_ofs + i / 4 % w) / 2 - parent.w_ofs, y = (h_ofs + i / 4 / w) / 2;
            return static_cast<int>(pb[((y - parent.h_ofs) * parent.w_len + x) * 4 + i % 4]);
        };
        int lo[3] = {999, 999, 999}, hi[3] = {-999, -999, -999}, cal[3];
        for (int i = 0; i < n; ++i)
            if (i % 4 != 3) {
                lo[i % 4] = std::min(lo[i % 4], tile[i] - up(i));
                hi[i % 4] = std::max(hi[i % 4], tile[i] - up(i));
            }
        Bytes got = tile, want(n), out(n, 0xAA);
        r64::cr_encode_residual(parent, w_ofs, h_ofs, w, h, got.data(), cal);
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(cal[k], std::clamp(128 - (hi[k] + lo[k]) / 2, -128, 127));
        for (int i = 0; i < n; ++i)
            want[i] = static_cast<u8>(i % 4 == 3 ? 0 : ref_cal(tile[i] - up(i) + cal[i % 4]));
        ASSERT_EQ(got, want) << round;
        const u8 cb[3] = {static_cast<u8>(cal[0]), static_cast<u8>(cal[1]),
                          static_cast<u8>(cal[2])};
        r64::cr_reconstruct(parent, w_ofs, h_ofs, w, h, dec.data(), cb, out.data());
        for (int i = 0; i < n; ++i)
            want[i] = static_cast<u8>(
                i % 4 == 3 ? 0 : std::clamp(up(i) + ref_inv(dec[i]) - cal[i % 4], 0, 255));
        ASSERT_EQ(out, want) << round;
    }
}

// The stored codec: layout by hand, width 256 kept in one byte, and malformed
// input refused without reading past its size (ASan watches the exact copies).
TEST_F(CrWrite, StoredCodec) {
    unsigned char px[8] = {1, 2, 3, 9, 4, 5, 6, 9};
    int size = 0, w = 0, h = 0;
    unsigned char *s = none_compress(&size, px, 2, 1);
    ASSERT_EQ(size, 8);
    EXPECT_EQ(Bytes(s, s + 8), (Bytes{1, 0, 1, 2, 3, 4, 5, 6}));
    for (int cut : {1, 7}) {
        Bytes part(s, s + cut);
        EXPECT_EQ(none_uncompress(&w, &h, part.data(), cut), nullptr) << cut;
    }
    unsigned char *d = none_uncompress(&w, &h, s, size);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::tuple(w, h, Bytes(d, d + 8)), std::tuple(2, 1, Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
    free(d);
    free(s);
    Bytes wide(256 * 4, 7);
    s = none_compress(&size, wide.data(), 256, 1);
    d = none_uncompress(&w, &h, s, size);
    EXPECT_TRUE(d != nullptr && w == 256 && h == 1);
    free(d);
    free(s);
}

// The 100x50 example: record order, types and offsets, the absent level's record zero,
// the progress line, the stored tiles byte for byte (root pixels, then calibrated
// differences from the rebuilt level above; level 3, a hard checker, needs limiting).
TEST_F(CrWrite, ExampleLayout) {
    Pyramid p = make_levels('P', 100, 50, photo);
    for (size_t i = 0; i < p.px[3].size(); ++i)
        p.px[3][i] = (i / 3 + i % 3) % 2 != 0 ? 255 : 0;
    source(p);
    indicate_file_size = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(convert(64, out_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "r64 width=100 height=50loading 84   \rloading 14682   \rloading 20082   \r\n");
    const Bytes b = r64_test::read_bytes(out_);
    ASSERT_EQ(be32(b, 12), 7u);
    size_t ofs = 100; // records in writing order: levels 4, 3, 2, 1, level 0 left and right
    for (auto [rec, type] : {std::pair{5, 'n'}, {4, 'n'}, {3, 'n'}, {2, 'j'}, {0, 'j'}, {1, 'j'}}) {
        EXPECT_EQ(be32(b, 16 + 12 * rec), ofs) << rec;
        EXPECT_EQ(b[16 + 12 * rec + 4], type) << rec;
        ofs += be32(b, 16 + 12 * rec + 8);
    }
    EXPECT_EQ(ofs, b.size());
    EXPECT_EQ(be32(b, 16 + 12 * 5 + 8), 86u);
    EXPECT_EQ(Bytes(b.begin() + 16 + 12 * 6, b.begin() + 100), Bytes(12, 0));
    EXPECT_EQ(Bytes(&b[be32(b, 40)], &b[be32(b, 40)] + 2), (Bytes{0xFF, 0xD8})); // JPEG
    Bytes parent; // the level above as a reader rebuilds it; none for the root
    for (int level = 4; level >= 2; --level) {
        const int w = p.w[level], h = p.h[level], n = w * h * 3;
        const Bytes &src = p.px[level];
        auto up = [&](int i) {
            const int x = i / 3 % w, y = i / 3 / w, pw = p.w[level + 1];
            return parent.empty() ? 0 : parent[((y >> 1) * pw + (x >> 1)) * 3 + i % 3];
        };
        int lo[3] = {999, 999, 999}, hi[3] = {-999, -999, -999}, cal[3];
        for (int i = 0; i < n; ++i) {
            lo[i % 3] = std::min(lo[i % 3], src[i] - up(i));
            hi[i % 3] = std::max(hi[i % 3], src[i] - up(i));
        }
        for (int k = 0; k < 3; ++k)
            cal[k] = std::clamp(128 - (hi[k] + lo[k]) / 2, -128, 127);
        Bytes want = {static_cast<u8>(w - 1), static_cast<u8>(h - 1)}, rebuilt(n);
        for (int i = 0; i < n; ++i) {
            const int d = src[i] - up(i), v = parent.empty() ? d : ref_cal(d + cal[i % 3]);
            want.push_back(static_cast<u8>(v));
            rebuilt[i] = static_cast<u8>(
                parent.empty() ? v : std::clamp(up(i) + ref_inv(v) - cal[i % 3], 0, 255));
        }
        const size_t r = 16 + 12 * (level + 1), at = be32(b, r);
        EXPECT_EQ(Bytes(b.begin() + at, b.begin() + at + want.size()), want) << "level " << level;
        EXPECT_EQ(
            Bytes(b.begin() + r + 5, b.begin() + r + 8),
            (Bytes{static_cast<u8>(cal[0]), static_cast<u8>(cal[1]), static_cast<u8>(cal[2])}));
        parent = rebuilt;
    }
}

// Round trips close to the source at every level: each tile edge, grey and bilevel
// (back as r = g = b), very wide and tall images (every top tile a root), and all tiles
// stored in the band (exact: 99 dB). Reading level 0 decodes each tile of the file once.
TEST_F(CrWrite, DecodedLevelsStayClose) {
    // Smaller levels carry more detail per pixel and bilevel edges ring: lower floors.
    struct Case {
        char type;
        int w, h, rect;
        PixelFn fn;
        double level0_db, any_db;
    };
    const Case cases[] = {{'P', 512, 384, 16, photo, 36, 27},  {'P', 512, 384, 64, photo, 36, 27},
                          {'P', 512, 384, 256, photo, 36, 27}, {'G', 512, 384, 64, photo, 40, 31},
                          {'B', 512, 384, 64, photo, 30, 20},  {'G', 3000, 40, 64, photo, 30, 30},
                          {'G', 40, 3000, 64, photo, 30, 30},  {'P', 61, 45, 15, smooth, 98, 98}};
    for (const Case &c : cases) {
        const Pyramid p = make_levels(c.type, c.w, c.h, c.fn);
        source(p);
        ASSERT_EQ(convert(c.rect, out_), 0);
        const std::vector<Bytes> got = decode_all(out_);
        ASSERT_EQ(got.size(), p.px.size());
        std::printf("%c %dx%d rect %3d, cr/r64 size %.3f:", c.type, c.w, c.h, c.rect,
                    double(r64_test::file_size(out_)) / r64_test::file_size(src_));
        int tiles = 0, decodes = 0;
        for (size_t l = 0; l < got.size(); ++l) {
            double mae;
            const double db = psnr(got[l], p.px[l], &mae);
            std::printf("  L%zu %.2f dB mae %.2f", l, db, mae);
            EXPECT_GT(db, l == 0 ? c.level0_db : c.any_db)
                << c.type << " " << c.w << "x" << c.h << " rect " << c.rect << " level " << l;
            for (size_t i = 0; c.type != 'P' && i < got[l].size(); i += 3)
                ASSERT_TRUE(got[l][i] == got[l][i + 1] && got[l][i] == got[l][i + 2]);
            tiles += (p.w[l] + c.rect - 1) / c.rect * ((p.h[l] + c.rect - 1) / c.rect);
        }
        std::printf("\n");
        decode_all(out_, &decodes, 1);
        EXPECT_EQ(decodes, tiles);
    }
}

// The fast gather against the literal one: odd sizes and offsets, each pixel type,
// a damaged file (same failure, same code), and whole converted files byte for byte.
TEST_F(CrWrite, FastGatherMatchesLiteral) {
    // Return value, code and (on success) bytes of one gather.
    auto run = [this](r64::GatherFn gather, int level, int x0, int y0, int w, int h) {
        Bytes b(static_cast<size_t>(w) * h * 4, 0xAA);
        r64_error = 7;
        const int rc = gather(r64_, level, x0, y0, w, h, b.data());
        return std::tuple(rc, r64_error, rc == 0 ? b : Bytes{});
    };
    for (char type : {'P', 'G', 'B'})
        for (off_t cut : {-1, 8 + 203 * 40}) {
            const Pyramid p = make_levels(type, 203, 77, photo);
            source(p, cut);
            for (int level = 0; level < 3; ++level)
                for (int rect : {1, 17, 64, 65, 100, 256})
                    for (int y0 = 0; y0 < p.h[level]; y0 += rect + 13)
                        for (int x0 = 0; x0 < p.w[level]; x0 += rect + 29) {
                            const int w = std::min(rect, p.w[level] - x0);
                            const int h = std::min(rect, p.h[level] - y0);
                            ASSERT_EQ(run(r64::gather_tile_literal, level, x0, y0, w, h),
                                      run(r64::gather_tile_fast, level, x0, y0, w, h))
                                << type << level << " " << x0 << "," << y0 << " " << w << "x" << h;
                        }
            if (cut < 0) {
                const std::string lit = dir_.file("literal.cr");
                ASSERT_EQ(
                    r64::cr_write_file_using(lit.c_str(), 0644, 17, r64_, r64::gather_tile_literal),
                    0);
                ASSERT_EQ(convert(17, out_), 0);
                EXPECT_EQ(r64_test::read_bytes(lit), r64_test::read_bytes(out_));
            }
        }
}

// Refusals leave no file made or touched: a tile edge outside 1..256, the source as its
// own target; the codes of a source without levels and of a failed read survive.
TEST_F(CrWrite, RefusalsKeepTheirCodes) {
    source(make_levels('P', 600, 20, smooth));
    for (int rect : {0, -1, 257}) {
        EXPECT_EQ(convert(rect, out_), -1);
        EXPECT_EQ(r64_error, -5);
        EXPECT_NE(access(out_.c_str(), F_OK), 0);
    }
    CR_FILE *f = cr_open_file(out_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 300, 600, 20);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(_cr_write(nullptr, f, r64_, 0, 0, 1), -1); // a 300 x 10 stored tile
    EXPECT_EQ(r64_error, -5);
    cr_close_file(f);

    const Bytes before = r64_test::read_bytes(src_);
    const std::string link = dir_.file("link.r64");
    ASSERT_EQ(::link(src_.c_str(), link.c_str()), 0);
    for (const std::string &same : {src_, link}) {
        EXPECT_EQ(convert(64, same), -1);
        EXPECT_EQ(r64_error, -1);
    }
    EXPECT_EQ(r64_test::read_bytes(src_), before);
    ASSERT_EQ(truncate(src_.c_str(), r64_->level_ofs[1]), 0); // level 0 only
    EXPECT_EQ(convert(64, out_), -1);
    EXPECT_EQ(r64_error, -6);

    close_source();
    r64_ = r64_open_file(dir_.file("flat.r64").c_str(), O_RDWR | O_CREAT, 0644, 'G', 2, 1000);
    ASSERT_NE(r64_, nullptr);
    EXPECT_EQ(convert(64, out_), -1);
    EXPECT_EQ(r64_error, -2);
}

// Converts with the cr file's requests forwarded to a real descriptor (+65536); write or
// seek number `fault` fails (odd) or, for a write, moves half its bytes (even).
int convert_routed(const std::string &path, R64_FILE *src, int fault, int *calls) {
    using F = r64_test::FakeDispatcher;
    F fake;
    fake.own_uid = static_cast<int>(geteuid()) + 1;
    *calls = 0;
    fake.answer = [&](UFR_REQ *req) {
        UFR_ARGS *a = req->argv;
        const int fd = a[0].d_int.d - 65536, code = req->ufr_code;
        const bool seek = code == UFR_CODE_LSEEK64, write = code == UFR_CODE_WRITE;
        const bool inject = (seek || write) && ++*calls == fault;
        if (code == UFR_CODE_OPEN64) {
            const int real = ::open(a[0].d_char_ptr.d, a[1].d_int.d, a[2].d_int.d);
            return real < 0 ? F::fail(-1, errno) : F::ok(real + 65536);
        }
        if (code == UFR_CODE_CLOSE)
            return F::ok(::close(fd));
        if (code == UFR_CODE_READ)
            return F::ok(
                static_cast<int>(::read(fd, a[1].d_rep_char_ptr.d, a[1].d_rep_char_ptr.len)));
        if (inject && (seek || fault % 2 == 1))
            return F::fail(-1, seek ? EINVAL : EIO);
        if (write)
            return F::ok(static_cast<int>(
                ::write(fd, a[1].d_char_ptr.d, a[1].d_char_ptr.len / (inject ? 2 : 1))));
        return seek ? F::ok64(::lseek(fd, a[1].d_int64.d, a[2].d_int.d)) : F::fail(-1, ENOSYS);
    };
    return cr_write_file(path.c_str(), 0644, 64, src);
}

// Any failed or short write or failed seek fails the conversion with -1, keeping the
// tiles written before; a tile past 4 GiB of data is refused.
TEST_F(CrWrite, WriteFaultsAreReported) {
    source(make_levels('P', 100, 50, photo));
    ASSERT_EQ(convert(64, out_), 0);
    const std::string routed = dir_.file("routed.cr");
    int calls = 0;
    ASSERT_EQ(convert_routed(routed, r64_, 0, &calls), 0);
    EXPECT_EQ(r64_test::read_bytes(routed), r64_test::read_bytes(out_));
    const int total = 9 + 6 * 5; // table: 8 writes and a seek; per tile 3 seeks, 2 writes
    EXPECT_EQ(calls, total);
    for (int fault = 1; fault <= total; ++fault) {
        EXPECT_EQ(convert_routed(routed, r64_, fault, &calls), -1) << fault;
        EXPECT_EQ(r64_error, -1) << fault;
    }
    // Level 1's data write (call 26) falls short: the three tiles above it stay.
    ASSERT_EQ(convert_routed(routed, r64_, 26, &calls), -1);
    {
        Decoder dec(routed);
        for (int level = 4; level >= 1; --level)
            EXPECT_EQ(dec.tile(0, 0, level).empty(), level == 1) << level;
        EXPECT_EQ(r64_error, -4);
    }
    CR_FILE *f = cr_open_file(routed.c_str(), O_RDWR | O_TRUNC, 0644, 64, 100, 50);
    ASSERT_NE(f, nullptr);
    f->write_ofs = 0xFFFFFFFFu - 50; // the root's 86 bytes would pass the 32-bit offsets
    EXPECT_EQ(_cr_write(nullptr, f, r64_, 0, 0, 4), -1);
    EXPECT_EQ(r64_error, -1);
    cr_close_file(f);
}

// Damaged files make the decoder fail on the tile hit and every tile below it.
TEST_F(CrWrite, DecoderReportsDamage) {
    source(make_levels('P', 100, 50, photo));
    ASSERT_EQ(convert(64, out_), 0);
    const Bytes good = r64_test::read_bytes(out_);
    // A byte set at pos (or the file cut there), the tile hit, the code.
    const struct {
        size_t pos;
        int byte, x, y, level, code;
    } cases[] = {
        {16 + 60 + 8, 0x7F, 0, 0, 4, -4},             // level 4's size past the end
        {16 + 24 + 4, 'x', 0, 0, 1, -5},              // level 1's type unknown
        {be32(good, 16 + 48), 3, 0, 0, 3, -5},        // level 3's stored width wrong
        {be32(good, 16 + 24), 0, 0, 0, 1, -5},        // level 1 not a JPEG stream
        {be32(good, 16 + 12) + 10, -1, 64, 0, 0, -4}, // the last tile cut short
    };
    for (const auto &c : cases) {
        Bytes b = good;
        if (c.byte < 0)
            b.resize(c.pos);
        else
            b[c.pos] = static_cast<u8>(c.byte);
        r64_test::write_bytes(out_, b);
        Decoder dec(out_);
        ASSERT_NE(dec.f, nullptr);
        const std::tuple<int, int, int, int> reads[] = {
            {c.x, c.y, c.level, c.code}, {70, 10, 0, c.code}, {0, 0, 5, -9}, {100, 0, 0, -7}};
        for (auto [x, y, level, code] : reads) {
            EXPECT_TRUE(dec.tile(x, y, level).empty());
            EXPECT_EQ(r64_error, code) << c.pos << ": " << x << "," << y << " level " << level;
        }
    }
}

} // namespace
