// r64tool run as a process: pictures written here (libpng, libtiff, PNM by hand) are
// imported, converted and exported, and the pixels that come back are checked against
// values computed here from the pictures' own samples; imported files are checked byte
// for byte against level 0 written and reduced here through the library.
#include <fcntl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <nlohmann/json.hpp>
#include <png.h>
#include <tiffio.h>

#include "r64/r64.h"
#include "scratch_dir.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define R64_TEST_ASAN 1
#endif
#endif
#ifndef R64_TEST_ASAN
#define R64_TEST_ASAN 0
#endif

namespace {

using r64_test::Bytes;
namespace fs = std::filesystem;

// A picture as the test knows it: 8-bit RGB, what the tool should import.
struct Picture {
    int w = 0, h = 0;
    Bytes rgb;
    unsigned char *at(int x, int y) { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
};

// Smooth (a triangle wave, no jumps that a cr file's JPEG tiles would blur), but
// different in every channel, so that swapped channels or rows show.
unsigned char sample(int x, int y, int k) {
    const int t = (x * (3 + k) + y * (5 - k) + 40 * k) % 510;
    return static_cast<unsigned char>(t < 256 ? t : 509 - t);
}

// Writes pic as a JPEG (grey: its green channel) and returns what a decoder makes of
// the file: the pixels an import must give.
Picture write_jpeg(const std::string &path, Picture pic, bool grey) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    FILE *fp = std::fopen(path.c_str(), "wb");
    jpeg_stdio_dest(&c, fp);
    c.image_width = pic.w, c.image_height = pic.h;
    c.input_components = grey ? 1 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    for (JSAMPROW r; c.next_scanline < c.image_height; jpeg_write_scanlines(&c, &r, 1)) {
        r = pic.at(0, static_cast<int>(c.next_scanline));
        for (int x = 0; grey && x < pic.w; ++x)
            r[x] = r[3 * x + 1];
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(fp);
    jpeg_decompress_struct d{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    fp = std::fopen(path.c_str(), "rb");
    jpeg_stdio_src(&d, fp);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    for (JSAMPROW r; d.output_scanline < d.output_height; jpeg_read_scanlines(&d, &r, 1))
        r = pic.at(0, static_cast<int>(d.output_scanline));
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::fclose(fp);
    return pic;
}

// `info --json`: one JSON value, its scalars read by path ("format", "levels.0.width"),
// strings without their quotes.
using Flat = std::map<std::string, std::string>;

Flat json_of(const std::string &s) {
    Flat out;
    const nlohmann::json j = nlohmann::json::parse(s, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << s;
    const nlohmann::json flat = j.flatten();
    for (const auto &[pointer, v] : flat.items()) {
        std::string key = pointer.substr(1); // "/levels/0/width" -> "levels.0.width"
        std::replace(key.begin(), key.end(), '/', '.');
        out[key] = v.is_string() ? v.get<std::string>() : v.dump();
    }
    return out;
}

// Writes a PNG and returns its pixels composited over white and scaled to 8 bits: 16-bit
// samples are v * 257, which scales back to v exactly; the 4-bit palette is half
// transparent.
Picture write_png(const std::string &path, int w, int h, int type, int depth,
                  bool interlace = false) {
    Picture pic{w, h, Bytes(3 * static_cast<size_t>(w) * h)};
    png_color pal[16];
    png_byte trns[16];
    for (int i = 0; i < 16; ++i) {
        pal[i] = {png_byte(i * 16), png_byte(255 - i * 9), png_byte(i * i)};
        trns[i] = png_byte(i < 8 ? 255 : i * 15);
    }
    const int bytes = depth == 16 ? 2 : 1;
    const bool colour = type & PNG_COLOR_MASK_COLOR, alpha = type & PNG_COLOR_MASK_ALPHA,
               indexed = type == PNG_COLOR_TYPE_PALETTE;
    std::vector<Bytes> rows(h, Bytes(static_cast<size_t>(w) * 4 * bytes));
    std::vector<png_bytep> ptrs;
    for (int y = 0; y < h; ++y) {
        ptrs.push_back(rows[y].data());
        for (int x = 0; x < w; ++x) {
            const int i = (x + 3 * y) % 16, a = alpha && (x + y) % 3 ? (x * 7 + y) & 0xFF : 255;
            std::vector<int> s = {sample(x, y, colour ? 0 : 1), sample(x, y, 1), sample(x, y, 2)};
            if (indexed) {
                rows[y][x / 2] |= static_cast<png_byte>(x % 2 ? i : i << 4);
                s = {pal[i].red, pal[i].green, pal[i].blue};
            }
            const int opacity = indexed ? trns[i] : a;
            for (int k = 0; k < 3; ++k) // over white
                pic.at(x, y)[k] =
                    std::lround((s[colour ? k : 0] * opacity + 255.0 * (255 - opacity)) / 255.0);
            s.resize(colour ? 3 : 1);
            if (alpha)
                s.push_back(a);
            for (size_t k = 0; k < s.size() && !indexed; ++k) // 16 bits: both bytes v
                std::fill_n(&rows[y][(x * s.size() + k) * bytes], bytes, s[k]);
        }
    }
    FILE *fp = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, w, h, depth, type, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (indexed) {
        png_set_PLTE(png, info, pal, 16);
        png_set_tRNS(png, info, trns, 16, nullptr);
    }
    png_set_rows(png, info, ptrs.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
    return pic;
}

// Reads a PNG back as 8-bit RGB (grey replicated, 1-bit expanded to 0 and 255).
Picture read_png(const std::string &path) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    EXPECT_NE(png_image_begin_read_from_file(&img, path.c_str()), 0) << path << img.message;
    img.format = PNG_FORMAT_RGB;
    Picture pic{int(img.width), int(img.height), Bytes(PNG_IMAGE_SIZE(img))};
    EXPECT_TRUE(pic.rgb.empty() ||
                png_image_finish_read(&img, nullptr, pic.rgb.data(), 0, nullptr));
    return pic;
}

struct Result {
    int status;
    std::string out, err;
};

class R64Tool : public ::testing::Test {
  protected:
    Result run(const std::string &args) {
        const std::string out = io_.file("stdout.txt"), err = io_.file("stderr.txt");
        const int rc = std::system(
            (std::string(R64_BUILD_DIR) + "/r64tool " + args + " >" + out + " 2>" + err).c_str());
        const Bytes o = r64_test::read_bytes(out), e = r64_test::read_bytes(err);
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, {o.begin(), o.end()}, {e.begin(), e.end()}};
    }
    std::string f(const std::string &name) const { return dir_.file(name); }

    // Imports, checks the type stored, exports level 0 and returns what came back.
    Picture round_trip(const std::string &picture, const std::string &type,
                       const std::string &options = "") {
        const Result imp = run("import " + f(picture) + " " + f("t.r64") + " " + options);
        EXPECT_EQ(imp.status, 0) << imp.err;
        EXPECT_EQ(json_of(run("info " + f("t.r64") + " --json").out)["type"], type);
        const Result exp = run("export " + f("t.r64") + " " + f("t.png"));
        EXPECT_EQ(exp.status, 0) << exp.err;
        return read_png(f("t.png"));
    }

    r64_test::ScratchDir dir_, io_; // the pictures and files; the tool's output
};

void expect_same(const Picture &got, const Picture &want, int tolerance = 0) {
    ASSERT_EQ(std::make_pair(got.w, got.h), std::make_pair(want.w, want.h));
    for (size_t i = 0; i < want.rgb.size(); ++i)
        ASSERT_LE(std::abs(got.rgb[i] - want.rgb[i]), tolerance)
            << "pixel " << (i / 3) % want.w << "," << i / 3 / want.w << " channel " << i % 3;
}

// Each PNG colour layout must reach the file with its own samples: a missed expansion,
// 16-bit scaling, palette lookup, transparency or interlace pass shows here.
TEST_F(R64Tool, PngRoundTripEveryColourLayout) {
    // Colour type, depth, interlaced: grey, palette, grey+alpha, RGBA and RGB.
    const int shapes[][3] = {{0, 16, 0}, {3, 4, 0}, {4, 8, 0}, {6, 16, 0}, {2, 8, 1}};
    for (const auto &[type, depth, interlace] : shapes) {
        SCOPED_TRACE(testing::Message() << "colour type " << type << " depth " << depth);
        const Picture want = write_png(f("in.png"), 131, 70, type, depth, interlace);
        expect_same(round_trip("in.png", type & PNG_COLOR_MASK_COLOR ? "P" : "G"), want);
    }
}

// Raw and plain PBM, PGM and PPM, with a comment and a two-byte maxval: a header
// misparsed by one token or samples scaled wrongly shift or change the pixels.
TEST_F(R64Tool, PnmRoundTripRawAndPlain) {
    const int w = 21, h = 9;
    const std::pair<std::string, int> kinds[] = {{"P1", 1},   {"P4", 1},   {"P2", 1000},
                                                 {"P5", 255}, {"P3", 255}, {"P6", 1000},
                                                 {"P6", 255}, {"P5", 100}};
    for (const auto &[magic, maxval] : kinds) {
        SCOPED_TRACE(magic);
        const bool bits = maxval == 1, raw = magic[1] >= '4', colour = magic[1] % 3 == 0;
        std::string data = magic + "\n# made by the test\n" + std::to_string(w) + " " +
                           std::to_string(h) + "\n" + (bits ? "" : std::to_string(maxval) + "\n");
        Picture want{w, h, Bytes(3 * w * h)};
        for (int y = 0; y < h; ++y) {
            Bytes packed((w + 7) / 8);
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < (colour ? 3 : 1); ++k) {
                    const int v = bits ? (x + y) % 3 == 0 // 1 is black
                                       : (x * 37 + y * 101 + k * 50) % (maxval + 1);
                    std::fill_n(want.at(x, y) + k, colour ? 1 : 3,
                                std::lround((bits ? 1 - v : v) * 255.0 / maxval));
                    if (!raw)
                        data += std::to_string(v) + (bits ? "" : " "); // PBM: no separators
                    else if (bits)
                        packed[x / 8] |= static_cast<unsigned char>(v << (7 - x % 8));
                    else if (maxval > 255)
                        data += {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
                    else
                        data += static_cast<char>(v);
                }
            data += raw ? std::string(packed.begin(), bits ? packed.end() : packed.begin()) : "\n";
        }
        r64_test::write_bytes(f("in.pnm"), Bytes(data.begin(), data.end()));
        expect_same(round_trip("in.pnm", colour ? "P" : "G"), want);
    }
}

// JPEG pictures arrive as the decoder decodes them, grey ones as 'G'.
TEST_F(R64Tool, JpegImportGreyAndColour) {
    Picture src{97, 45, Bytes(3 * 97 * 45)};
    for (size_t i = 0; i < src.rgb.size(); ++i)
        src.rgb[i] = sample(int(i / 3 % 97), int(i / 3 / 97), int(i % 3));
    for (bool grey : {false, true}) {
        const Picture want = write_jpeg(f("in.jpg"), src, grey);
        expect_same(round_trip("in.jpg", grey ? "G" : "P"), want);
    }
}

// The chosen type decides what is stored: luma for G, the threshold for B, and B exports
// as 1-bit grey.
TEST_F(R64Tool, TypeConversionAndBilevelExport) {
    Picture luma = write_png(f("c.png"), 70, 40, PNG_COLOR_TYPE_RGB, 8);
    for (size_t i = 0; i < luma.rgb.size(); i += 3)
        std::fill_n(
            &luma.rgb[i], 3,
            std::lround(0.299 * luma.rgb[i] + 0.587 * luma.rgb[i + 1] + 0.114 * luma.rgb[i + 2]));
    expect_same(round_trip("c.png", "G", "--type G"), luma, 1);

    Picture want = write_png(f("g.png"), 70, 40, PNG_COLOR_TYPE_GRAY, 8);
    for (auto &v : want.rgb)
        v = v >= 40 ? 255 : 0;
    expect_same(round_trip("g.png", "B", "--type B --threshold 40"), want);
    const Bytes png = r64_test::read_bytes(f("t.png")); // IHDR: bit depth, colour type
    EXPECT_EQ(Bytes(png.begin() + 24, png.begin() + 26), (Bytes{1, PNG_COLOR_TYPE_GRAY}));
}

// The whole pipeline, with the Fourier filter: every level in both files with its size and
// tiles, every cr record written, the cr's level 0 close to its source, a reduced level
// exported at its size and a missing one refused, verify --against with a row a level.
TEST_F(R64Tool, PyramidTocrInfoAndExport) {
    const Picture src = write_png(f("in.png"), 300, 133, PNG_COLOR_TYPE_RGB, 8);
    ASSERT_EQ(run("import " + f("in.png") + " " + f("p.r64") + " --filter fourier").status, 0);
    ASSERT_EQ(run("tocr " + f("p.r64") + " " + f("p.cr") + " --tile 64").status, 0);
    Flat r = json_of(run("info " + f("p.r64") + " --json").out);
    Flat c = json_of(run("info " + f("p.cr") + " --json").out);
    // A name that is not UTF-8 still gives JSON, its stray byte as U+FFFD.
    std::filesystem::copy_file(f("p.r64"), f("p\xff.r64"));
    EXPECT_EQ(json_of(run("info " + f("p\xff.r64") + " --json").out)["file"],
              f("p\xef\xbf\xbd.r64"));
    EXPECT_EQ(r["format"] + " " + c["format"] + " " + c["tile"], "r64 cr 64");
    for (int l = 0, w = 300, h = 133; l < 7; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
        const std::string at = "levels." + std::to_string(l) + ".";
        const std::string tiles = std::to_string(((w + 63) / 64) * ((h + 63) / 64));
        EXPECT_EQ(r[at + "width"] + "x" + r[at + "height"] + " " + r[at + "complete"] + " " +
                      r[at + "tiles"] + " " + c[at + "tiles"] + " " +
                      std::to_string(std::stoi(c[at + "stored"]) + std::stoi(c[at + "jpeg"])) +
                      " " + c[at + "never_written"] + " " + c[at + "damaged"],
                  std::to_string(w) + "x" + std::to_string(h) + " true " + tiles + " " + tiles +
                      " " + tiles + " 0 0");
    }
    ASSERT_EQ(run("export " + f("p.cr") + " " + f("c0.png")).status, 0);
    const Picture back = read_png(f("c0.png"));
    ASSERT_EQ(std::make_pair(back.w, back.h), std::make_pair(300, 133));
    double abs_sum = 0;
    for (size_t i = 0; i < src.rgb.size(); ++i)
        abs_sum += std::abs(back.rgb[i] - src.rgb[i]);
    EXPECT_LT(abs_sum / src.rgb.size(), 6.0);
    ASSERT_EQ(run("export " + f("p.cr") + " " + f("c2.png") + " --level 2").status, 0);
    const Picture l2 = read_png(f("c2.png"));
    EXPECT_EQ(std::make_pair(l2.w, l2.h), std::make_pair(75, 34));
    const Result none = run("export " + f("p.cr") + " " + f("x.png") + " --level 7");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("has no level 7 (it holds 7 levels)"), std::string::npos) << none.err;

    const Result ver = run("verify " + f("p.cr") + " --against " + f("p.r64"));
    EXPECT_EQ(ver.status, 0) << ver.err;
    EXPECT_EQ(std::count(ver.out.begin(), ver.out.end(), '\n'), 2 + 7) << ver.out;
}

// A damaged tile is reported by position and reason and the check goes on: the count
// names exactly the damaged tiles, whole tiles are not reported, the status is 1 and
// the file is named on standard error.
TEST_F(R64Tool, VerifyReportsEachDamagedTileAndGoesOn) {
    write_png(f("in.png"), 200, 100, PNG_COLOR_TYPE_RGB, 8);
    ASSERT_EQ(run("import " + f("in.png") + " " + f("v.r64")).status, 0);
    ASSERT_EQ(run("tocr " + f("v.r64") + " " + f("v.cr") + " --tile 64").status, 0);
    const Bytes r64 = r64_test::read_bytes(f("v.r64")), cr = r64_test::read_bytes(f("v.cr"));
    // Level 0 of 200 x 100 in 64-pixel tiles: 4 x 2 records of 12 bytes after the 16-byte
    // header, row by row; tile (64, 0) is record 1, tile (192, 64), 8 x 36, record 7.
    Bytes bad = cr;
    const unsigned char *rec_7 = &cr[16 + 12 * 7];
    bad[16 + 12] = 0x7F; // tile (64, 0)'s data now lie far beyond the end of the file
    const size_t stored_at = size_t(rec_7[0]) << 24 | rec_7[1] << 16 | rec_7[2] << 8 | rec_7[3];
    bad[stored_at] = 35; // the stored tile now claims 36 x 8 pixels: as many bytes
    bad[stored_at + 1] = 7;
    // 14 tiles in either file: 4 x 2, 2 (100 x 50), then one for 50 x 25 to 7 x 4. The r64
    // file is cut inside level 0's last band: it and every later level lie beyond the end.
    const std::tuple<std::string, Bytes, std::vector<std::string>> cases[] = {
        {"bad.cr",
         bad,
         {"level 0 tile (64, 0): record outside the file",
          "level 0 tile (192, 64): decodes to 36 x 8 pixels instead of 8 x 36",
          "14 tiles read, 2 damaged"}},
        {"cut.r64",
         Bytes(r64.begin(), r64.begin() + 8 + 200 * 64 * 3 + 100),
         {"level 0 tile (0, 64): data cut short (100 of 6912 bytes",
          "level 0 tile (64, 64): the tile lies beyond the end of the file",
          "14 tiles read, 10 damaged"}}};
    for (const auto &[name, bytes, found] : cases) {
        r64_test::write_bytes(f(name), bytes);
        const Result r = run("verify " + f(name));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("level 0 tile (0, 0)"), std::string::npos) << r.out;
        for (const std::string &text : found)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
    }
}

// Pictures that cannot be imported (too large, too small, cut short, a bad header, not a
// picture) are refused with status 1, the file named on standard error, no temporary
// file left and an existing target untouched; library failures come with the reason in
// words and the code.
TEST_F(R64Tool, RefusalsLeaveNothingBehind) {
    write_png(f("big.png"), 32768, 3, PNG_COLOR_TYPE_GRAY, 8);
    write_png(f("tiny.png"), 2, 50, PNG_COLOR_TYPE_GRAY, 8);
    write_png(f("cut.png"), 300, 300, PNG_COLOR_TYPE_RGB, 8);
    const Bytes png = r64_test::read_bytes(f("cut.png"));
    r64_test::write_bytes(f("cut.png"), Bytes(png.begin(), png.begin() + png.size() / 2));
    for (const auto &[name, text] :
         {std::pair{"bad.ppm", "P6\n12 -4\n255\n"}, {"text.txt", "hello"}, {"keep.r64", "old"}})
        r64_test::write_bytes(f(name), Bytes(text, text + std::strlen(text)));
    const auto files = [&] { return std::distance(fs::directory_iterator(dir_.path()), {}); };
    const auto before = files();
    for (const char *name : {"big.png", "tiny.png", "cut.png", "bad.ppm", "text.txt"})
        for (const char *target : {"new.r64", "keep.r64"}) {
            const Result r = run(std::string("import ") + f(name) + " " + f(target));
            EXPECT_EQ(r.status, 1) << name;
            EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
            EXPECT_EQ(files(), before) << name;
            EXPECT_EQ(r64_test::read_bytes(f("keep.r64")), (Bytes{'o', 'l', 'd'})) << name;
        }
    EXPECT_NE(run("import " + f("big.png") + " " + f("n.r64")).err.find("32767"),
              std::string::npos);
    const Result lib = run("tocr " + f("text.txt") + " " + f("o.cr"));
    EXPECT_EQ(lib.status, 1);
    EXPECT_TRUE(lib.err.ends_with("text.txt: cannot open as an r64 file: data cut short or a "
                                  "tile never written [r64_error -4]\n"))
        << lib.err;
    EXPECT_EQ(files(), before);
}

// tocr --threads: the same file on 3 threads as on 1, and a count outside 1..64 refused.
TEST_F(R64Tool, TocrThreadsGiveTheSameFile) {
    write_png(f("in.png"), 300, 133, PNG_COLOR_TYPE_RGB, 8);
    ASSERT_EQ(run("import " + f("in.png") + " " + f("p.r64")).status, 0);
    ASSERT_EQ(run("tocr " + f("p.r64") + " " + f("one.cr") + " --tile 64 --threads 1").status, 0);
    ASSERT_EQ(run("tocr " + f("p.r64") + " " + f("three.cr") + " --tile 64 --threads 3").status, 0);
    EXPECT_EQ(r64_test::read_bytes(f("three.cr")), r64_test::read_bytes(f("one.cr")));
    EXPECT_EQ(run("tocr " + f("p.r64") + " " + f("zero.cr") + " --threads 0").status, 1);
}

// import straight to cr: the bytes of import then tocr, --format overriding the name's
// extension, and a picture cut short leaving nothing beside the target (neither the
// temporary r64 pyramid nor the cr file in the making).
TEST_F(R64Tool, ImportToCr) {
    write_png(f("in.png"), 300, 133, PNG_COLOR_TYPE_RGB, 8);
    ASSERT_EQ(run("import " + f("in.png") + " " + f("p.r64")).status, 0);
    ASSERT_EQ(run("tocr " + f("p.r64") + " " + f("want.cr") + " --tile 64").status, 0);
    ASSERT_EQ(run("import " + f("in.png") + " " + f("got.cr") + " --tile 64 --threads 2").status,
              0);
    EXPECT_EQ(r64_test::read_bytes(f("got.cr")), r64_test::read_bytes(f("want.cr")));
    ASSERT_EQ(run("import " + f("in.png") + " " + f("plain.cr") + " --format r64").status, 0);
    EXPECT_EQ(r64_test::read_bytes(f("plain.cr")), r64_test::read_bytes(f("p.r64")));

    Bytes png = r64_test::read_bytes(f("in.png"));
    png.resize(png.size() / 2);
    r64_test::write_bytes(f("cut.png"), png);
    const auto before = std::distance(fs::directory_iterator(dir_.path()), {});
    EXPECT_EQ(run("import " + f("cut.png") + " " + f("cut.cr")).status, 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), before);
}

// A TIFF layout written with libtiff: samples of `bits` each, `spp` a pixel, rows in
// strips of 7 or tiles of 32 x 16, and what the import must give for it.
struct TiffCase {
    const char *name;
    int bits, spp, photometric, extra; // extra: EXTRASAMPLE_* of an alpha sample, or -1
    bool tiled, big;
    int compression;
    const char *type;
};

// The raw sample k of pixel (x, y) for a case, and its expected 8-bit RGB over white.
unsigned tiff_sample(const TiffCase &c, int x, int y, int k) {
    if (c.photometric == PHOTOMETRIC_PALETTE)
        return static_cast<unsigned>((x + 3 * y) % 16);
    if (c.bits == 1)
        return (x + y) % 3 == 0;
    if (c.extra >= 0 && k == c.spp - 1) // alpha: opaque, clear and in between
        return (x % 4 == 0 ? 255u : (x * 7 + y) & 0xFF) * (c.bits == 16 ? 257u : 1u);
    return sample(x, y, k) * (c.bits == 16 ? 257u : 1u);
}

Picture write_tiff(const std::string &path, const TiffCase &c, int w, int h) {
    TIFF *t = TIFFOpen(path.c_str(), c.big ? "w8" : "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, c.spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, c.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
    if (c.extra >= 0) {
        const uint16_t extra = static_cast<uint16_t>(c.extra);
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    std::vector<uint16_t> map(3 * 16);
    for (int i = 0; i < 16; ++i) // 16 bits an entry, as the format stores them
        map[i] = uint16_t(i * 16 * 257), map[16 + i] = uint16_t((255 - i * 9) * 257),
        map[32 + i] = uint16_t(i * i * 257);
    if (c.photometric == PHOTOMETRIC_PALETTE)
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + 16, map.data() + 32);
    const int tw = c.tiled ? 32 : w, th = c.tiled ? 16 : 7;
    if (c.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, tw);
        TIFFSetField(t, TIFFTAG_TILELENGTH, th);
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, th);
    }
    // One block (a tile, or a strip) of packed samples, zero beyond the picture.
    const auto block = [&](int x0, int y0) {
        Bytes b(static_cast<size_t>(th) * ((tw * c.spp * c.bits + 7) / 8));
        const size_t row_bytes = b.size() / th;
        for (int y = 0; y < th; ++y)
            for (int x = 0; x < tw; ++x)
                for (int k = 0; k < c.spp && x0 + x < w && y0 + y < h; ++k) {
                    const unsigned v = tiff_sample(c, x0 + x, y0 + y, k);
                    const size_t i = size_t(x) * c.spp + k;
                    unsigned char *row = &b[y * row_bytes];
                    if (c.bits == 16)
                        std::memcpy(row + 2 * i, &v, 2); // host order, little-endian here
                    else if (c.bits == 8)
                        row[i] = static_cast<unsigned char>(v);
                    else
                        row[i * c.bits / 8] |=
                            static_cast<unsigned char>(v << (8 - c.bits - i * c.bits % 8));
                }
        return b;
    };
    for (int y = 0; y < h; y += th)
        for (int x = 0; x < w; x += tw) {
            Bytes b = block(x, y);
            if (c.tiled)
                TIFFWriteTile(t, b.data(), x, y, 0, 0);
            else
                TIFFWriteEncodedStrip(t, y / th, b.data(),
                                      tmsize_t(b.size() / th * std::min(th, h - y)));
        }
    TIFFClose(t);
    Picture want{w, h, Bytes(3 * static_cast<size_t>(w) * h)};
    const bool grey = c.photometric <= PHOTOMETRIC_MINISBLACK;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double scale = c.bits == 16 ? 257.0 : 1.0;
            const double a = c.extra >= 0 ? tiff_sample(c, x, y, c.spp - 1) / scale : 255.0;
            for (int k = 0; k < 3; ++k) {
                double v = tiff_sample(c, x, y, grey ? 0 : k) / scale;
                if (c.photometric == PHOTOMETRIC_PALETTE)
                    v = map[16 * k + tiff_sample(c, x, y, 0)] / 257.0;
                if (c.bits == 1)
                    v = c.photometric == PHOTOMETRIC_MINISWHITE ? 255 * (1 - v) : 255 * v;
                want.at(x, y)[k] =
                    static_cast<unsigned char>(std::lround((v * a + 255.0 * (255 - a)) / 255.0));
            }
        }
    return want;
}

// Every TIFF layout the reader decodes itself reaches the file with its own samples:
// strips and tiles (edge tiles cut), 1, 4, 8 and 16 bits, grey, RGB, palette, alpha laid
// over the background, BigTIFF; a layout it cannot read is refused in words.
TEST_F(R64Tool, TiffRoundTripLayouts) {
    const TiffCase cases[] = {
        {"8-bit RGB strips", 8, 3, PHOTOMETRIC_RGB, -1, false, false, COMPRESSION_LZW, "P"},
        {"16-bit grey tiles", 16, 1, PHOTOMETRIC_MINISBLACK, -1, true, false,
         COMPRESSION_ADOBE_DEFLATE, "G"},
        {"4-bit palette", 4, 1, PHOTOMETRIC_PALETTE, -1, false, false, COMPRESSION_NONE, "P"},
        {"1-bit min-is-white", 1, 1, PHOTOMETRIC_MINISWHITE, -1, false, false, COMPRESSION_NONE,
         "G"},
        {"8-bit RGBA tiles", 8, 4, PHOTOMETRIC_RGB, EXTRASAMPLE_UNASSALPHA, true, false,
         COMPRESSION_NONE, "P"},
        {"BigTIFF 16-bit grey+alpha", 16, 2, PHOTOMETRIC_MINISBLACK, EXTRASAMPLE_UNASSALPHA, false,
         true, COMPRESSION_NONE, "G"},
    };
    for (const TiffCase &c : cases) {
        SCOPED_TRACE(c.name);
        const Picture want = write_tiff(f("in.tif"), c, 75, 70);
        expect_same(round_trip("in.tif", c.type), want);
    }
    TIFF *t = TIFFOpen(f("float.tif").c_str(), "w");
    const float row[3] = {0.5f, 0.25f, 1.0f};
    for (auto [tag, v] : {std::pair{TIFFTAG_IMAGEWIDTH, 3},
                          {TIFFTAG_IMAGELENGTH, 3},
                          {TIFFTAG_BITSPERSAMPLE, 32},
                          {TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP},
                          {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK}})
        TIFFSetField(t, tag, v);
    for (int y = 0; y < 3; ++y)
        TIFFWriteScanline(t, const_cast<float *>(row), y, 0);
    TIFFClose(t);
    const Result r = run("import " + f("float.tif") + " " + f("float.r64"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("float.tif: TIFF layout not supported"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(f("float.r64")));
}

// The import's file is byte for byte what writing level 0 band by band and reducing it
// level by level through the library gives, for both filters and an odd size, from a raw
// PPM (no conversion at all) and a PGM.
TEST_F(R64Tool, ImportMatchesLevelByLevelLibraryPath) {
    check_endian();
    r64_init();
    r64_set_progress([](void *, int, long, long) {}, nullptr);
    const int w = 201, h = 139;
    for (const auto &[magic, type, filter] :
         {std::tuple{"P6", 'P', "average"}, {"P6", 'P', "fourier"}, {"P5", 'G', "average"}}) {
        SCOPED_TRACE(std::string(magic) + " " + filter);
        const int bpp = type == 'P' ? 3 : 1;
        std::string ppm =
            std::string(magic) + "\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
        Bytes pixels(static_cast<size_t>(w) * h * bpp);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = sample(int(i / bpp % w), int(i / bpp / w), int(i % bpp));
        Bytes file(ppm.begin(), ppm.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        r64_test::write_bytes(f("in.pnm"), file);
        ASSERT_EQ(run("import " + f("in.pnm") + " " + f("tool.r64") + " --filter " + filter).status,
                  0);

        R64_FILE *r =
            r64_open_file(f("lib.r64").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
        ASSERT_NE(r, nullptr);
        for (int y = 0; y < h; y += R64_TILE)
            ASSERT_EQ(r64_write_block(r, 0, y, w, std::min(R64_TILE, h - y), 0,
                                      &pixels[size_t(y) * w * bpp], size_t(w) * bpp),
                      0);
        ASSERT_EQ(r64_flush(r), 0);
        for (int level = 0; level + 1 < R64_LEVELS && r->level_ofs[level + 1] != 0; ++level) {
            ASSERT_EQ(std::string(filter) == "fourier" ? r64_new_level_hifi(r, level)
                                                       : r64_new_level(r, level),
                      0);
            ASSERT_EQ(r64_flush(r), 0);
        }
        ASSERT_EQ(r64_close_file(r), 0);
        EXPECT_EQ(r64_test::read_bytes(f("tool.r64")), r64_test::read_bytes(f("lib.r64")));
    }
    r64_set_progress(nullptr, nullptr);
}

// Run by a script or into a pipe, each command prints its result line alone on standard
// output and nothing on standard error; --quiet prints nothing at all, errors excepted.
TEST_F(R64Tool, ResultLineAloneAndQuiet) {
    write_png(f("in.png"), 300, 200, PNG_COLOR_TYPE_RGB, 8);
    const std::string commands[] = {
        "import " + f("in.png") + " " + f("q.r64") + " --filter fourier",
        "tocr " + f("q.r64") + " " + f("q.cr"), "export " + f("q.cr") + " " + f("q.png")};
    for (const std::string &c : commands) {
        SCOPED_TRACE(c);
        const Result loud = run(c);
        EXPECT_EQ(loud.status, 0);
        EXPECT_EQ(std::count(loud.out.begin(), loud.out.end(), '\n'), 1) << loud.out;
        EXPECT_EQ(loud.out.find('\r'), std::string::npos) << loud.out;
        EXPECT_EQ(loud.err, "");
        const Result quiet = run(c + " --quiet");
        EXPECT_EQ(quiet.status, 0);
        EXPECT_EQ(quiet.out + quiet.err, "");
    }
    const Result failed = run("import -q " + f("none.png") + " " + f("n.r64"));
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_NE(failed.err.find("none.png: cannot open"), std::string::npos) << failed.err;
}

// A PNG header claiming 2,147,483,647 x 21 pixels, the image data cut off, is
// refused on its size before any row buffer is made: in 256 MiB of address space the
// tool says why, exits 1 and leaves no temporary file.
TEST_F(R64Tool, HugePngHeaderRefusedBeforeAllocating) {
    Bytes png = {0x89, 'P',  'N',  'G',  '\r', '\n', 0x1A, '\n', 0,  0, 0, 13, 'I', 'H', 'D',
                 'R',  0x7F, 0xFF, 0xFF, 0xFF, 0,    0,    0,    21, 8, 2, 0,  0,   0};
    uint32_t crc = 0xFFFFFFFF; // the chunk's CRC-32 over its name and data
    for (size_t i = 12; i < 12 + 17; ++i) {
        crc ^= png[i];
        for (int b = 0; b < 8; ++b)
            crc = crc & 1 ? 0xEDB88320 ^ (crc >> 1) : crc >> 1;
    }
    crc = ~crc;
    for (int i = 3; i >= 0; --i)
        png.push_back(static_cast<unsigned char>(crc >> (8 * i)));
    png.insert(png.end(), {0, 0, 0, 100, 'I', 'D', 'A', 'T'}); // and the data cut off
    r64_test::write_bytes(f("huge.png"), png);
#if defined(__SANITIZE_ADDRESS__) || R64_TEST_ASAN
    const std::string limit; // the sanitizer reserves far more address space
#else
    const std::string limit = "prlimit --as=268435456 ";
#endif
    const std::string out = f("huge.r64");
    const auto before = std::distance(fs::directory_iterator(dir_.path()), {});
    const int rc = std::system((limit + R64_BUILD_DIR + "/r64tool import " + f("huge.png") + " " +
                                out + " >" + io_.file("o") + " 2>" + io_.file("e"))
                                   .c_str());
    const Bytes err = r64_test::read_bytes(io_.file("e"));
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 1);
    EXPECT_NE(std::string(err.begin(), err.end())
                  .find("2147483647 x 21 pixels; r64 files hold at most 32767"),
              std::string::npos)
        << std::string(err.begin(), err.end());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), before);
}

// Writing past the file-size limit is an error that gives its reason, not a signal that
// ends the tool and leaves its temporary file: import to r64 and to cr, and tocr.
TEST_F(R64Tool, FileSizeLimitIsAReportedError) {
    write_png(f("in.png"), 300, 200, PNG_COLOR_TYPE_RGB, 8);
    ASSERT_EQ(run("import " + f("in.png") + " " + f("big.r64")).status, 0);
    const auto before = std::distance(fs::directory_iterator(dir_.path()), {});
    const std::string commands[] = {"import " + f("in.png") + " " + f("s.r64"),
                                    "import " + f("in.png") + " " + f("s.cr"),
                                    "tocr " + f("big.r64") + " " + f("s.cr")};
    for (const std::string &c : commands) {
        SCOPED_TRACE(c);
        const int rc = std::system(("prlimit --fsize=2000 " R64_BUILD_DIR "/r64tool " + c + " >" +
                                    io_.file("o") + " 2>" + io_.file("e"))
                                       .c_str());
        const Bytes err = r64_test::read_bytes(io_.file("e"));
        EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 1);
        EXPECT_NE(std::string(err.begin(), err.end()).find("(File too large) [r64_error -1]"),
                  std::string::npos)
            << std::string(err.begin(), err.end());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), before);
    }
}

} // namespace
