// r64tool run as a process: pictures written here (libpng, PNM by hand) are
// imported, converted and exported, and the pixels that come back are checked against
// values computed here from the pictures' own samples.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include "scratch_dir.h"

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

// `info --json`: the text must reduce to one JSON value, and its scalars are read by
// path ("format", "levels.0.width"), strings without their quotes.
using Flat = std::map<std::string, std::string>;

Flat json_of(const std::string &s) {
    static const std::regex scalar(R"("(?:[^"\\]|\\.)*"|-?\d+(?:\.\d+)?|true|false|null)"),
        space(R"(\s+)"), inner(R"(\{(v:v(,v:v)*)?\}|\[(v(,v)*)?\])"),
        member(R"re("(\w+)":("(?:[^"\\]|\\.)*"|[^,\]}\[{]+))re");
    std::string t = std::regex_replace(std::regex_replace(s, scalar, "v"), space, "");
    while (std::regex_search(t, inner)) // innermost objects and arrays become values
        t = std::regex_replace(t, inner, "v");
    EXPECT_EQ(t, "v") << "not JSON: " << s;
    Flat out;
    std::string at; // "levels.N." inside the levels
    for (std::sregex_iterator m(s.begin(), s.end(), member), end; m != end; ++m) {
        const std::string key = (*m)[1], v = (*m)[2];
        at = key == "level" ? "levels." + v + "." : at;
        out[at + key] = v[0] == '"' ? v.substr(1, v.size() - 2) : v;
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
                                                 {"P5", 255}, {"P3", 255}, {"P6", 1000}};
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

} // namespace
