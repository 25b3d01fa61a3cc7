// JpegCodec: the memory codec against libjpeg driven directly (plain 3-byte RGB, grey
// and CMYK rows through the library's own memory source and destination).
#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "r64/jpeg_mem.h"

namespace {

using Bytes = std::vector<unsigned char>;
using namespace std::literals;

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

// Pixels of `from` bytes to pixels of `to` bytes: the first three kept, any fourth 0.
Bytes repack(const Bytes &px, std::size_t from, std::size_t to) {
    Bytes out;
    for (std::size_t i = 0; i < px.size(); i += from)
        for (std::size_t k = 0; k < to; ++k)
            out.push_back(k < 3 ? px[i + k] : 0);
    return out;
}

// libjpeg compressing rows of `comps` bytes.
Bytes lib_encode(const Bytes &rows, int w, int h, int comps, J_COLOR_SPACE space, int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = w, c.image_height = h, c.input_components = comps, c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    for (JSAMPROW r; c.next_scanline < c.image_height; jpeg_write_scanlines(&c, &r, 1))
        r = const_cast<unsigned char *>(&rows[std::size_t(c.next_scanline) * w * comps]);
    jpeg_finish_compress(&c);
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
    for (JSAMPROW r; d.output_scanline < d.output_height; jpeg_read_scanlines(&d, &r, 1))
        r = &rows[d.output_scanline * stride];
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return rows;
}

Bytes compress(const Bytes &px, int w, int h, int quality) {
    int len = -1;
    unsigned char *out = jpeg_compress(&len, const_cast<unsigned char *>(px.data()), w, h, quality);
    Bytes stream(out, out + (out ? len : 0));
    std::free(out);
    return stream;
}

// Decodes an exact-size heap copy of `stream` (reads past it are caught); empty when refused.
Bytes uncompress(const Bytes &stream, int &w, int &h) {
    Bytes copy(stream);
    w = h = -1;
    unsigned char *out = jpeg_uncompress(&w, &h, copy.data(), int(copy.size()));
    Bytes img(out, out + (out ? std::size_t(w) * h * 4 : 0));
    std::free(out);
    return img;
}

// A loader destination whose fourth bytes start as 0xAB; keeps the offered palette.
struct RowSink {
    Bytes px, palette;
    int width = 0, bpp = 0, stop_at = -1;
};

int sink_header(LoadJPGInfo *info, void *data) {
    auto *s = static_cast<RowSink *>(data);
    s->width = info->width;
    s->bpp = info->bpp;
    if (const auto *p = reinterpret_cast<const unsigned char *>(info->palette))
        s->palette.assign(p, p + 4 * info->num_palette);
    s->px.assign(std::size_t(info->width) * info->height * 4, 0xAB);
    return 1;
}

unsigned char *sink_row(int line, void *data) {
    auto *s = static_cast<RowSink *>(data);
    return line == s->stop_at ? nullptr
                              : &s->px[std::size_t(line) * s->width * (s->bpp == 8 ? 1 : 4)];
}

int load(const Bytes &stream, RowSink &sink) {
    return LoadJPGFromMemory(const_cast<unsigned char *>(stream.data()), int(stream.size()),
                             sink_header, sink_row, &sink);
}

} // namespace

// Against the library on the same pixels as 3-byte rows, byte for byte: the stream and
// its reported length (the whole stream: the fourth byte leaking into the coding, a
// buffer that fails to grow as 1x1 and noise at quality 100 outgrow the raw size, a
// length taken before finishing), jpeg_uncompress (fourth bytes 0), and streams cut the
// old way (a byte past the end-of-image marker or inside it) still giving every row.
TEST(JpegCodec, MatchesLibraryOnOddSizes) {
    std::mt19937 rng(5);
    std::vector<std::array<int, 3>> cases = {{64, 64, 80},  {1, 1, 80},     {3, 250, 80},
                                             {17, 33, 100}, {127, 129, 10}, {256, 256, 80}};
    for (int i = 0; i < 20; ++i) // many sizes: the old length rule failed on most
        cases.push_back({16 + int(rng() % 120), 16 + int(rng() % 120), 80});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto [w, h, q] = cases[i];
        SCOPED_TRACE(::testing::Message() << w << "x" << h << " q" << q);
        const Bytes px = q == 80 && i % 2 == 0 ? tile(w, h) : tile(w, h, &rng);
        const Bytes stream = lib_encode(repack(px, 4, 3), w, h, 3, JCS_RGB, q);
        EXPECT_EQ(compress(px, w, h, q), stream);
        int uw, uh;
        const Bytes expected = repack(lib_decode(stream, JCS_RGB), 3, 4);
        EXPECT_EQ(uncompress(stream, uw, uh), expected);
        EXPECT_TRUE(uw == w && uh == h);
        for (long extra : {1L, -1L, -2L}) {
            Bytes cut(stream.begin(), stream.end() + std::min(extra, 0L));
            if (extra > 0)
                cut.push_back(static_cast<unsigned char>(rng()));
            EXPECT_EQ(uncompress(cut, uw, uh), expected) << extra;
        }
    }
}

// Input that is not a whole stream is refused (null, sizes 0) without hanging or reading
// outside it: every cut that loses coded data (empty input first), an image without
// frames, a segment length far past the end (the skip must stop), and no JPEG at all.
TEST(JpegCodec, BrokenInputIsRefused) {
    std::mt19937 rng(33);
    Bytes stream = compress(tile(40, 24, &rng), 40, 24, 80);
    int w, h;
    for (std::size_t n = 0; n + 3 <= stream.size(); ++n)
        ASSERT_TRUE(uncompress(Bytes(stream.begin(), stream.begin() + n), w, h).empty()) << n;
    for (std::string_view s :
         {"\xFF\xD8\xFF\xD9"sv, "\xFF\xD8\xFF\xE1\xFF\xFF\0\0"sv, "not jpeg"sv}) {
        EXPECT_TRUE(uncompress(Bytes(s.begin(), s.end()), w, h).empty()) << s.size();
        EXPECT_TRUE(w == 0 && h == 0);
    }
}

// The loader: a null callback refuses before the stream is touched (a null stream here);
// RGB rows copied leaving fourth bytes alone, and a read callback that stops at row 5
// gets rows 0 to 4 while the loader still returns 1; grey offered as 8 bpp with the grey
// palette, bytes copied (jpeg_uncompress refuses grey with sizes 0). CMYK: each colour
// byte times K over 255, fraction dropped (200,100,0,128 gives 100,50,0), fourth byte 0.
TEST(JpegCodec, LoaderAndOtherColourSpaces) {
    RowSink sink;
    EXPECT_EQ(LoadJPGFromMemory(nullptr, 100, nullptr, sink_row, &sink), 0);
    EXPECT_EQ(LoadJPGFromMemory(nullptr, 100, sink_header, nullptr, &sink), 0);
    Bytes stream = compress(tile(33, 20), 33, 20, 80);
    Bytes expected = repack(lib_decode(stream, JCS_RGB), 3, 4);
    sink.stop_at = 5;
    EXPECT_EQ(load(stream, sink), 1);
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] = i < 5 * 33 * 4 && i % 4 != 3 ? expected[i] : 0xAB;
    EXPECT_EQ(sink.px, expected);

    Bytes grey(19 * 11), palette, cmyk;
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<unsigned char>(i * 3);
    for (int i = 0; i < 1024; ++i)
        palette.push_back(static_cast<unsigned char>(i % 4 == 3 ? 0 : i / 4));
    stream = lib_encode(grey, 19, 11, 1, JCS_GRAYSCALE, 90);
    int w, h;
    EXPECT_TRUE(uncompress(stream, w, h).empty() && w == 0 && h == 0);
    sink = RowSink{};
    EXPECT_EQ(load(stream, sink), 1);
    EXPECT_TRUE(sink.bpp == 8 && sink.palette == palette);
    expected = lib_decode(stream, JCS_GRAYSCALE);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sink.px.begin()));

    for (int i = 0; i < 24 * 16; ++i)
        cmyk.insert(cmyk.end(), {200, 100, 0, static_cast<unsigned char>(i < 24 * 8 ? 255 : 128)});
    stream = lib_encode(cmyk, 24, 16, 4, JCS_CMYK, 100);
    expected = lib_decode(stream, JCS_CMYK);
    for (std::size_t i = 0; i < expected.size(); ++i)
        expected[i] =
            i % 4 == 3 ? 0 : static_cast<unsigned char>(expected[i] * expected[i | 3] / 255);
    const Bytes img = uncompress(stream, w, h);
    EXPECT_EQ(img, expected);
    EXPECT_EQ(Bytes(img.end() - 4, img.end()), (Bytes{100, 50, 0, 0}));
}
