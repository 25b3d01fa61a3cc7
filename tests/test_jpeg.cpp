// JpegCodec: the memory codec against libjpeg driven directly (3-byte RGB rows through
// the library's own memory source and destination), on tiles of many sizes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "r64/jpeg_mem.h"

namespace {

using Bytes = std::vector<unsigned char>;
using CBuffer = std::unique_ptr<unsigned char, decltype(&std::free)>;

// A smooth tile (gradients), fourth bytes set to junk the compressor must ignore.
Bytes smooth_tile(int w, int h) {
    Bytes px(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *p = &px[(std::size_t(y) * w + x) * 4];
            p[0] = static_cast<unsigned char>(40 + 160 * x / w);
            p[1] = static_cast<unsigned char>(200 - 150 * y / h);
            p[2] = static_cast<unsigned char>(60 + 60 * (x + y) / (w + h));
            p[3] = static_cast<unsigned char>(x * 7 + y);
        }
    return px;
}

Bytes noise_tile(int w, int h, std::mt19937 &rng) {
    Bytes px(std::size_t(w) * h * 4);
    for (auto &b : px)
        b = static_cast<unsigned char>(rng());
    return px;
}

// Reference encoder: the pixels as 3-byte rows, the library's own memory destination.
Bytes bare_encode(const Bytes &px, int w, int h, int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&c, &out, &out_size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    Bytes row(std::size_t(w) * 3);
    while (c.next_scanline < c.image_height) {
        const unsigned char *src = &px[std::size_t(c.next_scanline) * w * 4];
        for (int x = 0; x < w; ++x)
            std::memcpy(&row[x * 3], src + x * 4, 3);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes stream(out, out + out_size);
    std::free(out);
    return stream;
}

// Reference decoder: 3-byte RGB rows spread into 4-byte pixels with a 0 fourth byte.
Bytes bare_decode(const Bytes &stream, int &w, int &h) {
    jpeg_decompress_struct d;
    jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, stream.data(), stream.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    w = d.output_width;
    h = d.output_height;
    Bytes px(std::size_t(w) * h * 4, 0), row(std::size_t(w) * 3);
    while (d.output_scanline < d.output_height) {
        unsigned char *dst = &px[std::size_t(d.output_scanline) * w * 4];
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&d, &r, 1);
        for (int x = 0; x < w; ++x)
            std::memcpy(dst + x * 4, &row[x * 3], 3);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return px;
}

Bytes compress(const Bytes &px, int w, int h, int quality) {
    int len = -1;
    CBuffer out(jpeg_compress(&len, const_cast<unsigned char *>(px.data()), w, h, quality),
                std::free);
    EXPECT_NE(out, nullptr);
    EXPECT_GT(len, 0);
    if (!out || len <= 0)
        return {};
    return Bytes(out.get(), out.get() + len);
}

// Decodes exactly `stream` (an exact-size heap copy, so reads past it are caught).
Bytes uncompress(const Bytes &stream, int &w, int &h, bool &ok) {
    auto copy = std::make_unique_for_overwrite<unsigned char[]>(stream.size());
    if (!stream.empty())
        std::memcpy(copy.get(), stream.data(), stream.size());
    w = h = -1;
    CBuffer img(jpeg_uncompress(&w, &h, stream.empty() ? nullptr : copy.get(),
                                static_cast<int>(stream.size())),
                std::free);
    ok = img != nullptr;
    if (!ok)
        return {};
    return Bytes(img.get(), img.get() + std::size_t(w) * h * 4);
}

bool every_fourth_byte_zero(const Bytes &px) {
    for (std::size_t i = 3; i < px.size(); i += 4)
        if (px[i] != 0)
            return false;
    return true;
}

double mean_abs_error(const Bytes &a, const Bytes &b) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (i % 4 != 3) {
            sum += std::abs(int(a[i]) - int(b[i]));
            ++n;
        }
    return sum / double(n);
}

// A loader destination whose fourth bytes hold a sentinel, with a per-row count.
struct RowSink {
    Bytes px;
    int width = 0, height = 0, bpp = 0, num_palette = 0;
    int stop_at = -1;
    std::vector<int> asked;
    bool grey_palette_ok = false;
};

int sink_header(LoadJPGInfo *info, void *data) {
    auto *s = static_cast<RowSink *>(data);
    s->width = info->width;
    s->height = info->height;
    s->bpp = info->bpp;
    s->num_palette = info->num_palette;
    if (info->bpp == 8) {
        s->grey_palette_ok = info->palette != nullptr && info->num_palette == 256;
        for (int i = 0; s->grey_palette_ok && i < 256; ++i)
            s->grey_palette_ok = info->palette[i].r == i && info->palette[i].g == i &&
                                 info->palette[i].b == i && info->palette[i].x == 0;
    }
    s->px.assign(std::size_t(info->width) * info->height * 4, 0xAB);
    return 1;
}

unsigned char *sink_row(int line, void *data) {
    auto *s = static_cast<RowSink *>(data);
    s->asked.push_back(line);
    if (line == s->stop_at)
        return nullptr;
    return &s->px[std::size_t(line) * s->width * (s->bpp == 8 ? 1 : 4)];
}

int load(const Bytes &stream, RowSink &sink) {
    return LoadJPGFromMemory(const_cast<unsigned char *>(stream.data()),
                             static_cast<int>(stream.size()), sink_header, sink_row, &sink);
}

// A stream made with libjpeg directly: grey (1 byte a pixel) or plain CMYK (4 bytes).
Bytes bare_encode_planes(const Bytes &px, int w, int h, J_COLOR_SPACE space, int comps) {
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&c, &out, &out_size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = comps;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, space);
    jpeg_set_quality(&c, 100, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = const_cast<unsigned char *>(&px[std::size_t(c.next_scanline) * w * comps]);
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes stream(out, out + out_size);
    std::free(out);
    return stream;
}

} // namespace

// A 64x64 tile at quality 80: a JPEG stream that comes back the same size, fourth bytes 0,
// colours close. Catches a wrong pixel layout, stride or colour space on either side.
TEST(JpegCodec, Tile64RoundTrip) {
    Bytes px = smooth_tile(64, 64);
    Bytes stream = compress(px, 64, 64, 80);
    ASSERT_GE(stream.size(), 4u);
    EXPECT_EQ(stream[0], 0xFF);
    EXPECT_EQ(stream[1], 0xD8);
    EXPECT_EQ(stream[stream.size() - 2], 0xFF);
    EXPECT_EQ(stream[stream.size() - 1], 0xD9);
    int w, h;
    bool ok;
    Bytes img = uncompress(stream, w, h, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 64);
    EXPECT_EQ(img.size(), 16384u);
    EXPECT_TRUE(every_fourth_byte_zero(img));
    EXPECT_LT(mean_abs_error(px, img), 3.0);
}

// The stream is byte for byte what the library makes from the same pixels as 3-byte rows,
// and the reported length is the whole stream: catches the fourth byte leaking into the
// coding, a length taken before finishing, and a buffer that does not grow (1x1 tiles and
// noise at quality 100 outgrow the raw image size).
TEST(JpegCodec, StreamMatchesLibraryAndLengthIsWhole) {
    std::mt19937 rng(5);
    struct Case {
        int w, h, quality;
    };
    std::vector<Case> cases = {{1, 1, 80},     {3, 250, 80},  {250, 3, 80},  {16, 16, 100},
                               {17, 33, 100},  {64, 64, 80},  {100, 37, 50}, {255, 17, 95},
                               {256, 256, 80}, {127, 129, 10}};
    for (int i = 0; i < 40; ++i)
        cases.push_back({16 + int(rng() % 120), 16 + int(rng() % 120), 80});
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " q" << c.quality);
        Bytes px = noise_tile(c.w, c.h, rng);
        Bytes ours = compress(px, c.w, c.h, c.quality);
        EXPECT_EQ(ours, bare_encode(px, c.w, c.h, c.quality));
    }
}

// Decoding: jpeg_uncompress (4-byte pixels straight from the library) and the loader's
// row-copy path both equal the library's 3-byte decode, on odd sizes and subsampled
// chroma; the loader leaves the destination's fourth byte untouched.
TEST(JpegCodec, DecodeMatchesLibraryOnEverySize) {
    std::mt19937 rng(9);
    const int sizes[][2] = {{16, 16},   {17, 17},  {31, 65},   {64, 64}, {99, 13},
                            {128, 128}, {201, 77}, {256, 256}, {1, 1},   {2, 300}};
    for (const auto &s : sizes) {
        const int w = s[0], h = s[1];
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        Bytes smooth = smooth_tile(w, h);
        Bytes stream = compress(rng() % 2 ? smooth : noise_tile(w, h, rng), w, h, 80);
        int rw, rh;
        Bytes expected = bare_decode(stream, rw, rh);
        int uw, uh;
        bool ok;
        Bytes img = uncompress(stream, uw, uh, ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(uw, w);
        EXPECT_EQ(uh, h);
        EXPECT_EQ(img, expected);

        RowSink sink;
        EXPECT_EQ(load(stream, sink), 1);
        EXPECT_EQ(sink.bpp, 24);
        ASSERT_EQ(sink.px.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(sink.px[i], i % 4 == 3 ? 0xAB : expected[i]) << "byte " << i;
    }
}

// Streams cut the old way (one byte past the end-of-image marker, inside it, or without
// it) still give every row, identical to the whole stream's decode. Catches a source that
// reports the end of data, or a refill bound that is too tight.
TEST(JpegCodec, StreamsCutAtTheEndMarkerDecodeFully) {
    std::mt19937 rng(21);
    for (int t = 0; t < 40; ++t) {
        const int w = 16 + int(rng() % 90), h = 16 + int(rng() % 90);
        Bytes stream = compress(t % 2 ? noise_tile(w, h, rng) : smooth_tile(w, h), w, h, 80);
        int fw, fh;
        bool ok;
        Bytes full = uncompress(stream, fw, fh, ok);
        ASSERT_TRUE(ok);
        Bytes past = stream;
        past.push_back(static_cast<unsigned char>(rng()));
        Bytes inside(stream.begin(), stream.end() - 1);
        Bytes without(stream.begin(), stream.end() - 2);
        for (const Bytes *cut : {&past, &inside, &without}) {
            SCOPED_TRACE(::testing::Message()
                         << w << "x" << h << " length " << cut->size() << " of " << stream.size());
            int cw, ch;
            Bytes img = uncompress(*cut, cw, ch, ok);
            ASSERT_TRUE(ok);
            EXPECT_EQ(cw, w);
            EXPECT_EQ(ch, h);
            EXPECT_EQ(img, full);
        }
    }
}

// get_jpeg_compressed_size keeps its meaning: bytes written so far plus 3, so after
// finishing it is the whole stream plus 3.
TEST(JpegCodec, CompressedSizeIsWrittenPlusThree) {
    Bytes px = smooth_tile(40, 24);
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    jpeg_memory_dest(&c, &out, nullptr);
    c.image_width = 40;
    c.image_height = 24;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 80, TRUE);
    jpeg_start_compress(&c, TRUE);
    Bytes row(40 * 3);
    while (c.next_scanline < c.image_height) {
        for (int x = 0; x < 40; ++x)
            std::memcpy(&row[x * 3], &px[(c.next_scanline * 40 + x) * 4], 3);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    const int reported = get_jpeg_compressed_size(&c);
    jpeg_destroy_compress(&c);
    CBuffer owned(out, std::free);
    EXPECT_EQ(reported, int(bare_encode(px, 40, 24, 80).size()) + 3);
}

// Input that is not a whole JPEG stream is refused (null, no image kept) without hanging
// or reading outside it: every cut that loses coded data, garbage, empty input, and a
// segment length pointing far past the end (the skip must stop).
TEST(JpegCodec, BrokenInputIsRefused) {
    std::mt19937 rng(33);
    Bytes stream = compress(noise_tile(40, 24, rng), 40, 24, 80);
    for (std::size_t n = 0; n + 3 <= stream.size(); ++n) {
        int w, h;
        bool ok;
        uncompress(Bytes(stream.begin(), stream.begin() + n), w, h, ok);
        ASSERT_FALSE(ok) << "cut at " << n << " of " << stream.size();
    }
    std::vector<Bytes> junk = {
        {},
        {0xFF},
        {0xFF, 0xD8},
        {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 0x00, 0x00},
        {0xFF, 0xD8, 0xFF, 0xD9},
        {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'},
    };
    for (int i = 0; i < 200; ++i) {
        Bytes b = noise_tile(1 + int(rng() % 64), 1, rng);
        if (i % 2) {
            b[0] = 0xFF;
            b[1] = 0xD8;
        }
        junk.push_back(b);
    }
    for (const Bytes &b : junk) {
        int w, h;
        bool ok;
        uncompress(b, w, h, ok);
        EXPECT_FALSE(ok) << "input of " << b.size() << " bytes";
    }
    int w = -1, h = -1;
    EXPECT_EQ(jpeg_uncompress(&w, &h, nullptr, 0), nullptr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
}

// Grey streams: the loader offers them as 8 bpp with the grey palette and copies bytes;
// jpeg_uncompress refuses them with sizes 0.
TEST(JpegCodec, GreyStreams) {
    const int w = 19, h = 11;
    Bytes grey(std::size_t(w) * h);
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<unsigned char>(i * 3);
    Bytes stream = bare_encode_planes(grey, w, h, JCS_GRAYSCALE, 1);
    int rw = -1, rh = -1;
    bool ok;
    uncompress(stream, rw, rh, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(rw, 0);
    EXPECT_EQ(rh, 0);

    RowSink sink;
    EXPECT_EQ(load(stream, sink), 1);
    EXPECT_EQ(sink.bpp, 8);
    EXPECT_TRUE(sink.grey_palette_ok);
    // At quality 100 grey levels come back within a step or two.
    for (std::size_t i = 0; i < grey.size(); ++i)
        ASSERT_NEAR(sink.px[i], grey[i], 3) << "pixel " << i;
}

// CMYK streams: each colour byte times the K byte over 255, fraction dropped; fourth byte
// untouched (0 through jpeg_uncompress). 200,100,0,128 gives 100,50,0.
TEST(JpegCodec, CmykScaling) {
    const int w = 24, h = 16;
    Bytes cmyk(std::size_t(w) * h * 4);
    for (int i = 0; i < w * h; ++i) {
        const unsigned char pixel[4] = {200, 100, 0, 128};
        std::memcpy(&cmyk[i * 4], pixel, 4);
    }
    for (int i = 0; i < w * h / 2; ++i) // a second uniform half
        cmyk[i * 4 + 3] = 255;
    Bytes stream = bare_encode_planes(cmyk, w, h, JCS_CMYK, 4);

    // What the library decodes, scaled here independently.
    jpeg_decompress_struct d;
    jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, stream.data(), stream.size());
    jpeg_read_header(&d, TRUE);
    ASSERT_EQ(d.out_color_space, JCS_CMYK);
    jpeg_start_decompress(&d);
    Bytes raw(std::size_t(w) * h * 4);
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = &raw[std::size_t(d.output_scanline) * w * 4];
        jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    Bytes expected(raw.size(), 0);
    for (std::size_t i = 0; i < raw.size(); i += 4)
        for (int k = 0; k < 3; ++k)
            expected[i + k] = static_cast<unsigned char>(raw[i + k] * raw[i + 3] / 255);

    int rw, rh;
    bool ok;
    Bytes img = uncompress(stream, rw, rh, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(img, expected);
    const std::size_t last = img.size() - 4; // in the K = 128 half
    if (raw[last] == 200 && raw[last + 1] == 100 && raw[last + 2] == 0 && raw[last + 3] == 128) {
        EXPECT_EQ(img[last], 100);
        EXPECT_EQ(img[last + 1], 50);
        EXPECT_EQ(img[last + 2], 0);
    }
}

// The loader's callbacks: a null callback refuses before touching the stream; a read
// callback that stops at row 5 gets rows 0 to 4 and the loader still reports 1.
TEST(JpegCodec, LoaderCallbacks) {
    RowSink none;
    EXPECT_EQ(LoadJPGFromMemory(nullptr, 100, nullptr, sink_row, &none), 0);
    EXPECT_EQ(LoadJPGFromMemory(nullptr, 100, sink_header, nullptr, &none), 0);
    EXPECT_TRUE(none.asked.empty());

    const int w = 33, h = 20;
    Bytes stream = compress(smooth_tile(w, h), w, h, 80);
    int rw, rh;
    Bytes expected = bare_decode(stream, rw, rh);
    RowSink sink;
    sink.stop_at = 5;
    EXPECT_EQ(load(stream, sink), 1);
    EXPECT_EQ(sink.asked, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    const std::size_t stride = std::size_t(w) * 4;
    for (std::size_t i = 0; i < sink.px.size(); ++i) {
        const bool delivered = i < 5 * stride && i % 4 != 3;
        ASSERT_EQ(sink.px[i], delivered ? expected[i] : 0xAB) << "byte " << i;
    }
}

// A fatal library error while compressing (a width of 0) ends the process with status 1.
TEST(JpegCodecDeathTest, EmptyImageEndsTheProcess) {
    unsigned char px[64] = {};
    int len = 0;
    EXPECT_EXIT(jpeg_compress(&len, px, 0, 4, 80), ::testing::ExitedWithCode(1), "");
}
