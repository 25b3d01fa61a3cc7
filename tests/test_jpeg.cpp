// JpegCodec: the memory codec against libjpeg driven directly (plain 3-byte RGB, grey
// and CMYK rows through the library's own memory source and destination).
#include <algorithm>
#include <array>
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

// Smooth gradients, or noise; fourth bytes are junk the compressor must ignore.
Bytes tile(int w, int h, std::mt19937 *noise = nullptr) {
    Bytes px(std::size_t(w) * h * 4);
    for (std::size_t i = 0; i < px.size(); ++i) {
        const int x = int(i / 4 % w), y = int(i / 4 / w), c = int(i % 4);
        px[i] = static_cast<unsigned char>(noise    ? (*noise)()
                                           : c == 0 ? 40 + 160 * x / w
                                           : c == 1 ? 200 - 150 * y / h
                                           : c == 2 ? 60 + 60 * (x + y) / (w + h)
                                                    : x * 7 + y);
    }
    return px;
}

Bytes rgb_of(const Bytes &px) { // 4-byte pixels to 3-byte
    Bytes rgb;
    for (std::size_t i = 0; i < px.size(); i += 4)
        rgb.insert(rgb.end(), &px[i], &px[i] + 3);
    return rgb;
}

Bytes rgbx_of(const Bytes &rgb) { // 3-byte pixels to 4-byte with a 0 fourth byte
    Bytes px;
    for (std::size_t i = 0; i < rgb.size(); i += 3)
        px.insert(px.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 0});
    return px;
}

// libjpeg compressing rows of `comps` bytes; through jpeg_memory_dest when `reported` is
// given, which then receives get_jpeg_compressed_size taken after finishing.
Bytes lib_encode(const Bytes &rows, int w, int h, int comps, J_COLOR_SPACE space, int quality,
                 int *reported = nullptr) {
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    if (reported)
        jpeg_memory_dest(&c, &out, nullptr);
    else
        jpeg_mem_dest(&c, &out, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = comps;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_colorspace(&c, space == JCS_RGB ? JCS_YCbCr : space);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = const_cast<unsigned char *>(&rows[std::size_t(c.next_scanline) * w * comps]);
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    if (reported) {
        *reported = get_jpeg_compressed_size(&c);
        size = 0;
    }
    jpeg_destroy_compress(&c);
    Bytes stream(out, out + size);
    std::free(out);
    return stream;
}

// libjpeg decoding into rows of its own pixel size in `space`.
Bytes lib_decode(const Bytes &stream, J_COLOR_SPACE space) {
    jpeg_decompress_struct d;
    jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, stream.data(), stream.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = space;
    jpeg_start_decompress(&d);
    const std::size_t stride = std::size_t(d.output_width) * d.output_components;
    Bytes rows(stride * d.output_height);
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = &rows[d.output_scanline * stride];
        jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return rows;
}

Bytes compress(const Bytes &px, int w, int h, int quality) {
    int len = -1;
    unsigned char *out = jpeg_compress(&len, const_cast<unsigned char *>(px.data()), w, h, quality);
    EXPECT_TRUE(out != nullptr && len > 0);
    Bytes stream(out, out + (out ? len : 0));
    std::free(out);
    return stream;
}

// Decodes an exact-size heap copy of `stream`, so that reads past it are caught.
bool uncompress(const Bytes &stream, Bytes &img, int &w, int &h) {
    auto copy = std::make_unique_for_overwrite<unsigned char[]>(stream.size());
    if (!stream.empty())
        std::memcpy(copy.get(), stream.data(), stream.size());
    w = h = -1;
    unsigned char *out = jpeg_uncompress(&w, &h, stream.empty() ? nullptr : copy.get(),
                                         static_cast<int>(stream.size()));
    img.assign(out, out + (out ? std::size_t(w) * h * 4 : 0));
    std::free(out);
    return out != nullptr;
}

// A loader destination whose fourth bytes start as 0xAB; records the rows asked for.
struct RowSink {
    Bytes px;
    int width = 0, bpp = 0, stop_at = -1;
    bool grey_palette = false;
    std::vector<int> asked;
};

int sink_header(LoadJPGInfo *info, void *data) {
    auto *s = static_cast<RowSink *>(data);
    s->width = info->width;
    s->bpp = info->bpp;
    s->grey_palette = info->bpp == 8 && info->num_palette == 256 && info->palette;
    for (int i = 0; s->grey_palette && i < 256; ++i) {
        const RGB4 &p = info->palette[i];
        s->grey_palette = p.r == i && p.g == i && p.b == i && p.x == 0;
    }
    s->px.assign(std::size_t(info->width) * info->height * 4, 0xAB);
    return 1;
}

unsigned char *sink_row(int line, void *data) {
    auto *s = static_cast<RowSink *>(data);
    s->asked.push_back(line);
    return line == s->stop_at ? nullptr
                              : &s->px[std::size_t(line) * s->width * (s->bpp == 8 ? 1 : 4)];
}

int load(const Bytes &stream, RowSink &sink) {
    return LoadJPGFromMemory(const_cast<unsigned char *>(stream.data()), int(stream.size()),
                             sink_header, sink_row, &sink);
}

} // namespace

// A 64x64 tile at quality 80 comes back the same size with fourth bytes 0 and close
// colours: catches a wrong pixel layout, stride or colour space on either side.
TEST(JpegCodec, Tile64RoundTrip) {
    Bytes px = tile(64, 64), img;
    Bytes stream = compress(px, 64, 64, 80);
    ASSERT_GE(stream.size(), 4u);
    EXPECT_TRUE(stream[0] == 0xFF && stream[1] == 0xD8);
    EXPECT_TRUE(stream[stream.size() - 2] == 0xFF && stream.back() == 0xD9);
    int w, h;
    ASSERT_TRUE(uncompress(stream, img, w, h));
    EXPECT_TRUE(w == 64 && h == 64 && img.size() == 16384u);
    double error = 0;
    for (std::size_t i = 0; i < img.size(); ++i) {
        ASSERT_TRUE(i % 4 != 3 || img[i] == 0) << "fourth byte " << i;
        error += i % 4 == 3 ? 0 : std::abs(int(img[i]) - int(px[i]));
    }
    EXPECT_LT(error / (64 * 64 * 3), 3.0);
}

// The stream is byte for byte the library's from the same pixels as 3-byte rows, and the
// reported length is the whole of it (get_jpeg_compressed_size after finishing is 3 more):
// catches the fourth byte leaking into the coding, a length taken before finishing, and a
// buffer that fails to grow (1x1 tiles and noise at quality 100 outgrow the raw size).
TEST(JpegCodec, StreamMatchesLibraryAndLengthIsWhole) {
    std::mt19937 rng(5);
    std::vector<std::array<int, 3>> cases = {{1, 1, 80},    {3, 250, 80},   {250, 3, 80},
                                             {16, 16, 100}, {17, 33, 100},  {64, 64, 80},
                                             {100, 37, 50}, {256, 256, 80}, {127, 129, 10}};
    for (int i = 0; i < 40; ++i)
        cases.push_back({16 + int(rng() % 120), 16 + int(rng() % 120), 80});
    for (auto [w, h, q] : cases) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h << " q" << q);
        Bytes px = tile(w, h, &rng);
        Bytes expected = lib_encode(rgb_of(px), w, h, 3, JCS_RGB, q);
        EXPECT_EQ(compress(px, w, h, q), expected);
        int reported = 0;
        lib_encode(rgb_of(px), w, h, 3, JCS_RGB, q, &reported);
        EXPECT_EQ(reported, int(expected.size()) + 3);
    }
}

// jpeg_uncompress (4-byte pixels straight from the library) and the loader's row copy
// both equal the library's 3-byte decode on odd sizes; the loader leaves the fourth byte.
TEST(JpegCodec, DecodeMatchesLibraryOnOddSizes) {
    std::mt19937 rng(9);
    for (auto [w, h] :
         {std::pair{17, 17}, {31, 65}, {64, 64}, {99, 13}, {201, 77}, {1, 1}, {2, 300}}) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        Bytes stream = compress(rng() % 2 ? tile(w, h) : tile(w, h, &rng), w, h, 80), img;
        Bytes expected = rgbx_of(lib_decode(stream, JCS_RGB));
        int uw, uh;
        ASSERT_TRUE(uncompress(stream, img, uw, uh));
        EXPECT_TRUE(uw == w && uh == h);
        EXPECT_EQ(img, expected);
        RowSink sink;
        EXPECT_EQ(load(stream, sink), 1);
        for (std::size_t i = 3; i < expected.size(); i += 4)
            expected[i] = 0xAB;
        EXPECT_EQ(sink.px, expected);
    }
}

// Streams cut the old way (a byte past the end-of-image marker, inside it, or without it)
// still give every row: catches a source that ends the data, or too tight a refill bound.
TEST(JpegCodec, StreamsCutAtTheEndMarkerDecodeFully) {
    std::mt19937 rng(21);
    for (int t = 0; t < 40; ++t) {
        const int w = 16 + int(rng() % 90), h = 16 + int(rng() % 90);
        Bytes stream = compress(t % 2 ? tile(w, h, &rng) : tile(w, h), w, h, 80), full, img;
        int cw, ch;
        ASSERT_TRUE(uncompress(stream, full, cw, ch));
        for (long extra : {1L, -1L, -2L}) {
            SCOPED_TRACE(::testing::Message() << w << "x" << h << " " << extra);
            Bytes cut(stream.begin(), stream.end() + std::min(extra, 0L));
            if (extra > 0)
                cut.push_back(static_cast<unsigned char>(rng()));
            ASSERT_TRUE(uncompress(cut, img, cw, ch));
            EXPECT_EQ(img, full);
        }
    }
}

// Input that is not a whole stream is refused (null, sizes 0 or the header's) without
// hanging or reading outside it: every cut that loses coded data, garbage, empty input,
// and a segment length far past the end (the skip must stop).
TEST(JpegCodec, BrokenInputIsRefused) {
    std::mt19937 rng(33);
    Bytes stream = compress(tile(40, 24, &rng), 40, 24, 80), img;
    int w, h;
    for (std::size_t n = 0; n + 3 <= stream.size(); ++n)
        ASSERT_FALSE(uncompress(Bytes(stream.begin(), stream.begin() + n), img, w, h)) << n;
    std::vector<Bytes> junk = {{},
                               {0xFF},
                               {0xFF, 0xD8},
                               {0xFF, 0xD8, 0xFF, 0xD9},
                               {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 0x00, 0x00},
                               {'n', 'o', 't', ' ', 'j', 'p', 'e', 'g'}};
    for (int i = 0; i < 200; ++i) {
        junk.push_back(tile(1 + int(rng() % 64), 1, &rng));
        junk.back()[0] = i % 2 ? 0xFF : junk.back()[0];
        junk.back()[1] = i % 2 ? 0xD8 : junk.back()[1];
    }
    for (const Bytes &b : junk)
        EXPECT_FALSE(uncompress(b, img, w, h)) << b.size() << " bytes";
    EXPECT_TRUE(w == 0 && h == 0);
}

// Grey streams: the loader offers 8 bpp with the grey palette and copies bytes;
// jpeg_uncompress refuses them with sizes 0.
TEST(JpegCodec, GreyStreams) {
    Bytes grey(19 * 11), img;
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<unsigned char>(i * 3);
    Bytes stream = lib_encode(grey, 19, 11, 1, JCS_GRAYSCALE, 90);
    int w, h;
    EXPECT_FALSE(uncompress(stream, img, w, h));
    EXPECT_TRUE(w == 0 && h == 0);
    RowSink sink;
    EXPECT_EQ(load(stream, sink), 1);
    EXPECT_EQ(sink.bpp, 8);
    EXPECT_TRUE(sink.grey_palette);
    Bytes expected = lib_decode(stream, JCS_GRAYSCALE);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sink.px.begin()));
}

// CMYK streams: each colour byte times K over 255, fraction dropped (200,100,0,128 gives
// 100,50,0); the fourth byte stays 0 through jpeg_uncompress.
TEST(JpegCodec, CmykScaling) {
    const int w = 24, h = 16;
    Bytes cmyk;
    for (int i = 0; i < w * h; ++i)
        cmyk.insert(cmyk.end(),
                    {200, 100, 0, static_cast<unsigned char>(i < w * h / 2 ? 255 : 128)});
    Bytes stream = lib_encode(cmyk, w, h, 4, JCS_CMYK, 100), img;
    Bytes raw = lib_decode(stream, JCS_CMYK), expected(raw.size(), 0);
    for (std::size_t i = 0; i < raw.size(); ++i)
        expected[i] = i % 4 == 3 ? 0 : static_cast<unsigned char>(raw[i] * raw[i | 3] / 255);
    int rw, rh;
    ASSERT_TRUE(uncompress(stream, img, rw, rh));
    EXPECT_EQ(img, expected);
    const std::size_t last = raw.size() - 4;
    ASSERT_EQ(Bytes(raw.begin() + last, raw.end()), (Bytes{200, 100, 0, 128}));
    EXPECT_EQ(Bytes(img.begin() + last, img.end()), (Bytes{100, 50, 0, 0}));
}

// Callbacks: a null one refuses before the stream is touched; a read callback that stops
// at row 5 gets rows 0 to 4, and the loader still returns 1.
TEST(JpegCodec, LoaderCallbacks) {
    RowSink none;
    EXPECT_EQ(LoadJPGFromMemory(nullptr, 100, nullptr, sink_row, &none), 0);
    EXPECT_EQ(LoadJPGFromMemory(nullptr, 100, sink_header, nullptr, &none), 0);
    EXPECT_TRUE(none.asked.empty());
    Bytes stream = compress(tile(33, 20), 33, 20, 80);
    Bytes expected = rgbx_of(lib_decode(stream, JCS_RGB));
    RowSink sink;
    sink.stop_at = 5;
    EXPECT_EQ(load(stream, sink), 1);
    EXPECT_EQ(sink.asked, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = i < 5 * 33 * 4 && i % 4 != 3 ? expected[i] : 0xAB;
    EXPECT_EQ(sink.px, expected);
}

// A fatal library error while compressing (a width of 0) ends the process with status 1.
TEST(JpegCodecDeathTest, EmptyImageEndsTheProcess) {
    unsigned char px[64] = {};
    int len = 0;
    EXPECT_EXIT(jpeg_compress(&len, px, 0, 4, 80), ::testing::ExitedWithCode(1), "");
}
