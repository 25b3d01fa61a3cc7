// cr writing and decoding, checked against a pyramid the test computes itself, the
// layout parsed by hand and bytes derived from the calibration formulas.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/file/cr_decoder.h"
#include "r64/file/cr_gather.h"
#include "r64/file/cr_residual.h"
#include "r64/file/cr_write_steps.h"
#include "image/jpeg/jpeg_codec.h"
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
int ref_calibration(int lo, int hi) {
    return std::clamp(128 - (hi + lo) / 2, -128, 127);
}

size_t be32(const Bytes &b, size_t o) {
    return size_t{b[o]} << 24 | b[o + 1] << 16 | b[o + 2] << 8 | b[o + 3];
}

class CrWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    // An r64 file of `type`: level 0 from fn, each level above the rounded 2x2 mean
    // (edges repeated) while both sides stay 3 or more, 'B' thresholded at 128; cut to
    // `cut` bytes if asked; opened read-only.
    void source(char type, int w, int h, PixelFn fn, off_t cut = -1) {
        r64_.reset();
        R64_FILE *f = r64_open_file(src_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
        ASSERT_NE(f, nullptr);
        for (int l = 0; l < R64_LEVELS && f->level_w[l] >= 3 && f->level_h[l] >= 3; ++l)
            for (int i = 0; i < f->level_w[l] * f->level_h[l]; ++i) {
                const int x = i % f->level_w[l], y = i / f->level_w[l];
                int v[3] = {2, 2, 2};
                for (int d = 0; l > 0 && d < 4; ++d) {
                    u8 c[3] = {0, 0, 0};
                    r64_red(c, f, std::min(2 * x + (d & 1), f->level_w[l - 1] - 1),
                            std::min(2 * y + (d >> 1), f->level_h[l - 1] - 1), l - 1);
                    for (int k = 0; k < 3; ++k)
                        v[k] += c[k];
                }
                u8 px[3];
                for (int k = 0; k < 3; ++k) {
                    const int m =
                        l > 0 ? v[k] / 4 : std::clamp(fn(x, y, type == 'P' ? k : 0), 0, 255);
                    px[k] = static_cast<u8>(type == 'B' ? (m >= 128 ? 255 : 0) : m);
                }
                ASSERT_EQ(r64_set(f, x, y, l, px), 0);
            }
        ASSERT_EQ(r64_close_file(f), 0);
        ASSERT_EQ(cut < 0 ? 0 : truncate(src_.c_str(), cut), 0);
        r64_.reset(r64_open_file(src_.c_str(), O_RDONLY, 0, 0, 0, 0));
        ASSERT_NE(r64_, nullptr);
    }
    int convert(int rect, const std::string &out) {
        return cr_write_file(out.c_str(), 0644, rect, r64_.get());
    }

    r64_test::ScratchDir dir_;
    std::string src_ = dir_.file("src.r64");
    std::string out_ = dir_.file("out.cr");
    std::unique_ptr<R64_FILE, int (*)(R64_FILE *)> r64_{nullptr, r64_close_file};
};

// Curve slips (band edges, truncation, the byte wrap at 556, the offset's sign or limits):
// the worked examples, then every reachable sum against the formulas.
TEST_F(CrWrite, CalibrationCurves) {
    const int examples[][4] = {{100, 28, 128, 100}, {300, 0, 231, 296}, {0, 0, 29, 1}};
    for (auto [cc, cal, curve, back] : examples) // cr_cal(cc) = curve, cr_inv_cal(curve) = back
        EXPECT_TRUE(cr_cal(cc, cal) == curve && cr_inv_cal(curve, cal) == back) << cc;
    EXPECT_EQ(cr_cal(556, 0), 0);
    for (int cal : {-128, -5, 0, 127}) {
        for (int v = -255; v <= 255; ++v)
            ASSERT_EQ(cr_cal(v, static_cast<char>(cal)), ref_cal(v + cal)) << v << " " << cal;
        for (int c = 0; c < 256; ++c)
            ASSERT_EQ(cr_inv_cal(c, static_cast<char>(cal)), ref_inv(c) - cal) << c << " " << cal;
    }
    EXPECT_EQ(r64::cr_calibration(-255, -200), 127);
}

// The vector residual kernels against the formulas, byte for byte, for 4-byte and
// 3-byte pixels: odd offsets and sizes (vector tails, parent pixel halving),
// differences inside the band, outside it within 256 values and spread over more.
template <int P> void residual_kernels_match_formulas() {
    unsigned seed = 1;
    auto rnd = [&seed](int n) {
        return static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % n;
    };
    auto fill = [&rnd](Bytes &b, int lo, int span) {
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<u8>(i % P == 3 ? 0 : std::clamp(lo + rnd(span), 0, 255));
    };
    for (int round = 0; round < 60; ++round) {
        const int w_ofs = rnd(40), h_ofs = rnd(40), w = 1 + rnd(90), h = 1 + rnd(9), n = w * h * P;
        // Differences in the band; out of it within 256 values; spread wider.
        const int mode = round % 3;
        const bool band = mode == 0;
        CR_BUFFER parent{w_ofs >> 1, h_ofs >> 1, (w + 2) / 2 + 1, (h + 2) / 2 + 1, nullptr};
        Bytes pb(static_cast<size_t>(parent.w_len) * parent.h_len * P), tile(n), dec(n);
        fill(pb, 100, 40);
        fill(tile, band ? 90 : mode == 1 ? 0 : 15, band ? 30 : mode == 1 ? 200 : 256);
        fill(dec, band ? 40 : 0, band ? 170 : 256);
        parent.buf = pb.data();
        auto up = [&](int i) { // parent byte of tile byte i
            const int x = (w_ofs + i / P % w) / 2 - parent.w_ofs, y = (h_ofs + i / P / w) / 2;
            return static_cast<int>(pb[((y - parent.h_ofs) * parent.w_len + x) * P + i % P]);
        };
        int lo[3] = {999, 999, 999}, hi[3] = {-999, -999, -999}, cal[3];
        for (int i = 0; i < n; ++i)
            if (i % P != 3) {
                lo[i % P] = std::min(lo[i % P], tile[i] - up(i));
                hi[i % P] = std::max(hi[i % P], tile[i] - up(i));
            }
        Bytes got = tile, want(n), out(n, 0xAA);
        r64::cr_encode_residual<P>(parent, w_ofs, h_ofs, w, h, got.data(), cal);
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(cal[k], ref_calibration(lo[k], hi[k]));
        for (int i = 0; i < n; ++i)
            want[i] = static_cast<u8>(i % P == 3 ? 0 : ref_cal(tile[i] - up(i) + cal[i % P]));
        ASSERT_EQ(got, want) << round;
        const u8 cb[3] = {static_cast<u8>(cal[0]), static_cast<u8>(cal[1]),
                          static_cast<u8>(cal[2])};
        r64::cr_reconstruct<P>(parent, w_ofs, h_ofs, w, h, dec.data(), cb, out.data());
        for (int i = 0; i < n; ++i)
            want[i] = static_cast<u8>(
                i % P == 3 ? 0 : std::clamp(up(i) + ref_inv(dec[i]) - cal[i % P], 0, 255));
        ASSERT_EQ(out, want) << round;
    }
}

// Both vector widths where the processor has the wider one.
TEST_F(CrWrite, ResidualKernelsMatchFormulas) {
    const bool wide = r64::cr_wide_kernels;
    for (bool use_wide : {false, wide}) {
        SCOPED_TRACE(use_wide ? "32-byte vectors" : "16-byte vectors");
        r64::cr_wide_kernels = use_wide;
        residual_kernels_match_formulas<r64::kRgbx>();
        residual_kernels_match_formulas<r64::kRgb>();
    }
    r64::cr_wide_kernels = wide;
}

// Stored codec layout (sizes less one), and a tile one byte short refused without
// reading past its size (ASan watches the exact copy).
TEST_F(CrWrite, StoredCodec) {
    unsigned char px[8] = {1, 2, 3, 9, 4, 5, 6, 9};
    int size = 0, w = 0, h = 0;
    unsigned char *s = none_compress(&size, px, 2, 1);
    ASSERT_EQ(Bytes(s, s + size), (Bytes{1, 0, 1, 2, 3, 4, 5, 6}));
    Bytes part(s, s + 7);
    EXPECT_EQ(none_uncompress(&w, &h, part.data(), 7), nullptr);
    unsigned char *d = none_uncompress(&w, &h, s, size);
    EXPECT_EQ(std::tuple(w, h, Bytes(d, d + 8)), std::tuple(2, 1, Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
    free(d);
    free(s);
}

// The reusable JPEG codec, tile after tile, against the public one: the same streams
// and pixels over sizes in any order; a header larger or smaller than the tile asked
// for refused before anything is written to the tile (ASan watches the exact-size
// buffer), and a cut stream refused.
TEST_F(CrWrite, ReusableCodecMatchesPublicCodec) {
    r64::JpegTileEncoder enc;
    r64::JpegTileDecoder dec;
    r64::ByteBuffer stream;
    for (auto [w, h] : {std::pair{256, 256}, {17, 300}, {16, 16}, {255, 31}, {256, 256}}) {
        Bytes px(static_cast<size_t>(w) * h * 4);
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = static_cast<u8>(photo(static_cast<int>(i / 4) % w, static_cast<int>(i / 4) / w,
                                          static_cast<int>(i % 4)));
        int len = 0, dw = 0, dh = 0;
        std::unique_ptr<u8, decltype(&free)> ref(jpeg_compress(&len, px.data(), w, h, 80), free);
        ASSERT_TRUE(enc.encode(px.data(), w, h, 80, stream));
        ASSERT_EQ(Bytes(stream.data(), stream.data() + stream.size()),
                  Bytes(ref.get(), ref.get() + len));
        std::unique_ptr<u8, decltype(&free)> back(jpeg_uncompress(&dw, &dh, ref.get(), len), free);
        Bytes got(px.size(), 0xAA);
        ASSERT_TRUE(dec.decode(stream.bytes(), w, h, got.data()));
        EXPECT_EQ(got, Bytes(back.get(), back.get() + got.size())) << w << "x" << h;
        Bytes small(static_cast<size_t>(w - 1) * h * 4, 0xAA);
        EXPECT_FALSE(dec.decode(stream.bytes(), w - 1, h, small.data()));
        EXPECT_FALSE(dec.decode(stream.bytes(), w, h + 1, got.data()));
        EXPECT_EQ(small, Bytes(small.size(), 0xAA));
        EXPECT_FALSE(dec.decode(stream.bytes().first(stream.size() / 2), w, h, got.data()));
    }
}

// The 100x50 example: progress line, record order, types and offsets, level 5's record
// zero, level 1 a JPEG stream, the root stored at 100 as plain values with its calibration.
TEST_F(CrWrite, ExampleLayout) {
    source('P', 100, 50, photo);
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
    EXPECT_EQ(Bytes(b.begin() + 16 + 12 * 6, b.begin() + 100), Bytes(12, 0));
    EXPECT_EQ(Bytes(&b[be32(b, 40)], &b[be32(b, 40)] + 2), (Bytes{0xFF, 0xD8}));
    Bytes root = {6, 3}; // 7 x 4 plain values
    for (int i = 0; i < 7 * 4; ++i) {
        u8 c[3];
        ASSERT_EQ(r64_red(c, r64_.get(), i % 7, i / 7, 4), 0);
        root.insert(root.end(), c, c + 3);
    }
    ASSERT_EQ(be32(b, 16 + 60 + 8), 86u);
    EXPECT_EQ(Bytes(b.begin() + 100, b.begin() + 186), root);
    for (int k = 0; k < 3; ++k) {
        int lo = 255, hi = 0;
        for (size_t i = 2 + k; i < root.size(); i += 3)
            lo = std::min<int>(lo, root[i]), hi = std::max<int>(hi, root[i]);
        EXPECT_EQ(b[16 + 60 + 5 + k], static_cast<u8>(ref_calibration(lo, hi))) << k;
    }
}

// Round trips close to the source at every level (a wrong parent, calibration or
// limit shows as a PSNR drop): tile edges 16, 64, 256; grey and bilevel back as
// r = g = b; very wide and tall images (every top tile a root); all tiles stored in
// the band (exact: 99 dB). Reading level 0 decodes each tile of the file once.
TEST_F(CrWrite, DecodedLevelsStayClose) {
    // type, size, tile edge, picture, PSNR floor at level 0 and above (smaller levels carry
    // more detail per pixel and bilevel edges ring: lower floors).
    const std::tuple<char, int, int, int, PixelFn, double, double> cases[] = {
        {'P', 512, 384, 16, photo, 36, 27}, {'P', 512, 384, 256, photo, 36, 27},
        {'G', 512, 384, 64, photo, 40, 31}, {'B', 512, 384, 64, photo, 30, 20},
        {'G', 3000, 40, 64, photo, 30, 30}, {'G', 40, 3000, 64, photo, 30, 30},
        {'P', 61, 45, 15, smooth, 98, 98}};
    for (auto [type, w, h, rect, fn, level0_db, any_db] : cases) {
        SCOPED_TRACE(testing::Message() << type << " " << w << "x" << h << " " << rect);
        source(type, w, h, fn);
        ASSERT_EQ(convert(rect, out_), 0);
        CR_FILE *f = cr_open_file(out_.c_str(), O_RDONLY, 0, 0, 0, 0);
        ASSERT_NE(f, nullptr);
        CR_DECODER *dec = cr_open_decoder(f, 0);
        long tiles = 0, level0_decodes = 0;
        for (int l = 0; l < R64_LEVELS && r64_->level_ofs[l] != 0; ++l) {
            const int lw = r64_->level_w[l], lh = r64_->level_h[l];
            double se = 0;
            for (int ty = 0; ty < lh; ty += rect)
                for (int tx = 0; tx < lw; tx += rect, ++tiles) {
                    int tw = std::min(rect, lw - tx), th = std::min(rect, lh - ty);
                    Bytes want(static_cast<size_t>(tw) * th * 4); // as the literal gather reads
                    ASSERT_EQ(r64::gather_tile_literal(r64_.get(), l, tx, ty, tw, th, want.data()),
                              0);
                    u8 *t = cr_decode_tile(&tw, &th, dec, tx, ty, l);
                    const Bytes got(t, t + (t != nullptr ? tw * th * 4 : 0));
                    free(t);
                    ASSERT_EQ(got.size(), want.size()) << l << ": " << tx << "," << ty;
                    for (size_t i = 0; i < got.size(); ++i) {
                        se += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
                        ASSERT_TRUE(i % 4 == 3 ? got[i] == 0
                                               : type == 'P' || got[i] == got[i & ~size_t{3}]);
                    }
                }
            const double db = se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * lw * lh * 3 / se);
            EXPECT_GT(db, l == 0 ? level0_db : any_db) << "level " << l;
            level0_decodes = l == 0 ? r64::cr_decoder_tiles_decoded(dec) : level0_decodes;
        }
        EXPECT_EQ(level0_decodes, tiles);
        cr_close_decoder(dec);
        cr_close_file(f);
    }
}

// The fast gathers (4-byte and 3-byte pixels) against the literal one on odd tiles at
// odd offsets, each pixel type, also on a damaged file (same failure, same code). The
// fast ones run on a handle of their own whose cache holds one tile of the rectangle,
// so runs of tiles read past the cache meet tiles taken from it.
TEST_F(CrWrite, FastGatherMatchesLiteral) {
    auto run = [](r64::GatherFn gather, int pixel, R64_FILE *f, int level, int x0, int y0, int w,
                  int h) {
        Bytes b(static_cast<size_t>(w) * h * pixel, 0xAA);
        r64_error = 7;
        const int rc = gather(f, level, x0, y0, w, h, b.data());
        return std::tuple(rc, r64_error, rc == 0 ? b : Bytes{});
    };
    auto drop_fourth = [](std::tuple<int, int, Bytes> t) {
        Bytes &b = std::get<2>(t);
        size_t n = 0;
        for (size_t i = 0; i < b.size(); ++i)
            if (i % 4 != 3)
                b[n++] = b[i];
        b.resize(n);
        return t;
    };
    for (char type : {'P', 'G', 'B'})
        for (off_t cut : {-1, 8 + 203 * 40}) {
            source(type, 203, 77, photo, cut);
            const std::unique_ptr<R64_FILE, int (*)(R64_FILE *)> fast(
                r64_open_file(src_.c_str(), O_RDONLY, 0, 0, 0, 0), r64_close_file);
            ASSERT_NE(fast, nullptr);
            for (int level = 0; level < 3; ++level)
                for (int rect : {17, 65, 150})
                    for (int y0 = 0; y0 < r64_->level_h[level]; y0 += rect + 13)
                        for (int x0 = 0; x0 < r64_->level_w[level]; x0 += rect + 29) {
                            SCOPED_TRACE(testing::Message()
                                         << type << level << " " << x0 << "," << y0 << " " << rect);
                            const int w = std::min(rect, r64_->level_w[level] - x0);
                            const int h = std::min(rect, r64_->level_h[level] - y0);
                            const auto want =
                                run(r64::gather_tile_literal, 4, r64_.get(), level, x0, y0, w, h);
                            u8 c[3];
                            r64_red(c, fast.get(), x0 + w / 2, y0, level);
                            ASSERT_EQ(want, run(r64::gather_tile_fast, 4, fast.get(), level, x0, y0,
                                                w, h));
                            ASSERT_EQ(drop_fourth(want), run(r64::gather_tile_rgb, 3, fast.get(),
                                                             level, x0, y0, w, h));
                        }
        }
}

// The pipelined writer (reused codecs, whole-row gather, one table write, tiles on any
// number of threads) against the literal writer with the literal gather, byte for byte:
// each type, tile edges from 1 to 256 (stored-only, odd, JPEG edges and remainders), and
// a tall image with a single root.
TEST_F(CrWrite, PipelinedMatchesLiteralByteForByte) {
    const std::tuple<char, int, int, int> cases[] = {{'P', 203, 77, 1},     {'G', 300, 200, 16},
                                                     {'B', 520, 300, 64},   {'P', 611, 397, 37},
                                                     {'P', 1030, 700, 256}, {'G', 129, 1030, 256}};
    for (auto [type, w, h, rect] : cases) {
        SCOPED_TRACE(testing::Message() << type << " " << w << "x" << h << " " << rect);
        source(type, w, h, photo);
        const std::string literal = dir_.file("literal.cr");
        ASSERT_EQ(r64::cr_write_file_using(literal.c_str(), 0644, rect, r64_.get(),
                                           r64::gather_tile_literal),
                  0);
        const Bytes want = r64_test::read_bytes(literal);
        ASSERT_EQ(convert(rect, out_), 0);
        EXPECT_TRUE(r64_test::read_bytes(out_) == want);
        for (int threads : {2, 7}) {
            ASSERT_EQ(cr_write_file_threads(out_.c_str(), 0644, rect, r64_.get(), threads), 0);
            EXPECT_TRUE(r64_test::read_bytes(out_) == want) << threads << " threads";
        }
    }
}

// Refusals that must touch no file and codes that must survive the close: a tile edge
// outside 1..256, the source under another name (same inode), a failed pixel read, no levels.
TEST_F(CrWrite, RefusalsKeepTheirCodes) {
    source('P', 600, 20, smooth);
    for (int rect : {0, 257}) // -5, and no file made
        EXPECT_TRUE(convert(rect, out_) == -1 && r64_error == -5 && access(out_.c_str(), F_OK) != 0)
            << rect;
    const Bytes before = r64_test::read_bytes(src_);
    ASSERT_EQ(::link(src_.c_str(), dir_.file("link.r64").c_str()), 0);
    EXPECT_TRUE(convert(64, dir_.file("link.r64")) == -1 && r64_error == -1);
    EXPECT_EQ(r64_test::read_bytes(src_), before);
    ASSERT_EQ(truncate(src_.c_str(), r64_->level_ofs[1]), 0); // level 0 only
    EXPECT_TRUE(convert(64, out_) == -1 && r64_error == -6);
    EXPECT_TRUE(cr_write_file_threads(out_.c_str(), 0644, 64, r64_.get(), 3) == -1 &&
                r64_error == -6);

    r64_.reset(r64_open_file(dir_.file("flat.r64").c_str(), O_RDWR | O_CREAT, 0644, 'G', 2, 1000));
    ASSERT_NE(r64_, nullptr);
    EXPECT_TRUE(convert(64, out_) == -1 && r64_error == -2);
}

// Converts on `threads` with the cr file's requests forwarded to a real descriptor
// (+65536); write or seek number `fault` fails (odd) or, for a write, moves half its
// bytes (even). *foreign counts requests made on another thread than the caller's.
int convert_routed(const std::string &path, R64_FILE *src, int fault, int *calls, int threads = 1,
                   int *foreign = nullptr) {
    using F = r64_test::FakeDispatcher;
    F fake;
    fake.own_uid = static_cast<int>(geteuid()) + 1;
    *calls = 0;
    const auto caller = std::this_thread::get_id();
    fake.answer = [&](UFR_REQ *req) {
        if (foreign != nullptr && std::this_thread::get_id() != caller)
            ++*foreign;
        UFR_ARGS *a = req->argv;
        const int fd = a[0].d_int.d - 65536, code = req->ufr_code;
        const bool seek = code == UFR_CODE_LSEEK64, write = code == UFR_CODE_WRITE;
        const bool inject = (seek || write) && ++*calls == fault;
        if (code == UFR_CODE_OPEN64)
            return F::ok(::open(a[0].d_char_ptr.d, a[1].d_int.d, a[2].d_int.d) + 65536);
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
    return cr_write_file_threads(path.c_str(), 0644, 64, src, threads);
}

// An unchecked seek or write, or a short write taken as whole, would report success:
// each one must fail the conversion with -1.
TEST_F(CrWrite, WriteFaultsAreReported) {
    source('P', 100, 50, photo);
    ASSERT_EQ(convert(64, out_), 0);
    const std::string routed = dir_.file("routed.cr");
    int calls = 0;
    ASSERT_EQ(convert_routed(routed, r64_.get(), 0, &calls), 0);
    EXPECT_EQ(r64_test::read_bytes(routed), r64_test::read_bytes(out_));
    // Header and empty table in one write, a seek for the end; a seek to the data, a
    // write per tile; a seek back and the filled table in one write.
    const int total = 2 + 1 + 6 + 2;
    EXPECT_EQ(calls, total);
    int foreign = 0; // worker threads compute only: every request on the caller's thread
    ASSERT_EQ(convert_routed(routed, r64_.get(), 0, &calls, 3, &foreign), 0);
    EXPECT_EQ(r64_test::read_bytes(routed), r64_test::read_bytes(out_));
    EXPECT_EQ(foreign, 0);
    for (int fault = 1; fault <= total; ++fault) {
        EXPECT_TRUE(convert_routed(routed, r64_.get(), fault, &calls) == -1 && r64_error == -1)
            << fault;
    }
    // Data that would end past the 32-bit record offsets is refused, not wrapped.
    CR_FILE *f = cr_open_file(routed.c_str(), O_RDWR | O_TRUNC, 0644, 64, 100, 50);
    ASSERT_NE(f, nullptr);
    f->write_ofs = 0xFFFFFFFFu - 50; // the root's 86 bytes would pass 4 GiB
    EXPECT_TRUE(_cr_write(nullptr, f, r64_.get(), 0, 0, 4) == -1 && r64_error == -1);
    cr_close_file(f);
}

} // namespace
