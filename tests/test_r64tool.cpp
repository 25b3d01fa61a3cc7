// r64tool run as a process: pictures written here (libpng, libjpeg, PNM by hand) are
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
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include "scratch_dir.h"

namespace {

using r64_test::Bytes;
namespace fs = std::filesystem;

std::string text_of(const std::string &path) {
    const Bytes b = r64_test::read_bytes(path);
    return {b.begin(), b.end()};
}

// A picture as the test knows it: 8-bit RGB, what the tool should import.
struct Picture {
    int w = 0, h = 0;
    Bytes rgb;
    unsigned char *at(int x, int y) { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
};

// Smooth (a triangle wave, no jumps that JPEG would blur), but different in every
// channel, so that swapped channels or rows show.
unsigned char sample(int x, int y, int k) {
    const int t = (x * (3 + k) + y * (5 - k) + 40 * k) % 510;
    return static_cast<unsigned char>(t < 256 ? t : 509 - t);
}

// A small JSON reader for `info --json`: every scalar under its path ("levels.0.width"),
// strings without their quotes; text that is not JSON fails the test.
using Flat = std::map<std::string, std::string>;

void parse_json(const std::string &s, size_t &i, const std::string &path, Flat &out) {
    auto eat = [&](char c) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        return i < s.size() && s[i] == c ? (++i, true) : false;
    };
    if (eat('[') || eat('{')) {
        const bool object = s[i - 1] == '{';
        for (int n = 0; !eat(object ? '}' : ']'); ++n) {
            ASSERT_TRUE(n == 0 || eat(',')) << s.substr(i);
            std::string key = std::to_string(n);
            if (object) {
                ASSERT_TRUE(eat('"')) << s.substr(i);
                key = s.substr(i, s.find('"', i) - i);
                i += key.size() + 1;
                ASSERT_TRUE(eat(':')) << s.substr(i);
            }
            parse_json(s, i, path + (path.empty() ? "" : ".") + key, out);
        }
        return;
    }
    const size_t end = s[i] == '"' ? s.find('"', i + 1) + 1 : s.find_first_of(",]} \n", i);
    std::string v = s.substr(i, end - i);
    ASSERT_FALSE(v.empty()) << s.substr(i);
    i = end;
    size_t used = 0;
    if (v[0] != '"' && v != "true" && v != "false") {
        EXPECT_EQ((std::stod(v, &used), used), v.size()) << v; // stod throws on junk
    }
    out[path] = v[0] == '"' ? v.substr(1, v.size() - 2) : v;
}

Flat json_of(const std::string &s) {
    size_t i = 0;
    Flat out;
    parse_json(s, i, "", out);
    EXPECT_EQ(s.find_first_not_of(" \n", i), std::string::npos) << "not JSON: " << s;
    return out;
}

struct PngSpec {
    int colour_type;
    int depth;
    bool interlace = false;
};

// Writes a PNG whose pixels, once composited over white and scaled to 8 bits, are
// returned. Samples of 16-bit pictures are v * 257, which scales back to v exactly.
Picture write_png(const std::string &path, int w, int h, PngSpec spec) {
    Picture pic{w, h, Bytes(3 * static_cast<size_t>(w) * h)};
    std::vector<png_color> palette(16);
    std::vector<png_byte> trns(16);
    for (int i = 0; i < 16; ++i) {
        palette[i] = {static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 9),
                      static_cast<png_byte>(i * i)};
        trns[i] = static_cast<png_byte>(i < 8 ? 255 : i * 15);
    }
    auto over_white = [](int c, int a) {
        return static_cast<unsigned char>(std::lround((c * a + 255.0 * (255 - a)) / 255.0));
    };
    const int type = spec.colour_type, bytes = spec.depth == 16 ? 2 : 1;
    std::vector<Bytes> rows(h, Bytes(static_cast<size_t>(w) * 4 * bytes));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *want = pic.at(x, y);
            if (type == PNG_COLOR_TYPE_PALETTE) { // 4-bit indices
                const int i = (x + 3 * y) % 16;
                rows[y][x / 2] |= static_cast<png_byte>(x % 2 == 0 ? i << 4 : i);
                want[0] = over_white(palette[i].red, trns[i]);
                want[1] = over_white(palette[i].green, trns[i]);
                want[2] = over_white(palette[i].blue, trns[i]);
            } else if (spec.depth == 1) {
                const int bit = (x / 3 + y / 2) & 1;
                rows[y][x / 8] |= static_cast<png_byte>(bit << (7 - x % 8));
                std::fill_n(want, 3, bit ? 255 : 0);
            } else {
                const bool colour = type & PNG_COLOR_MASK_COLOR,
                           alpha = type & PNG_COLOR_MASK_ALPHA;
                const int a = alpha && (x + y) % 3 ? (x * 7 + y) & 0xFF : 255;
                std::vector<int> samples = {sample(x, y, colour ? 0 : 1)};
                if (colour)
                    samples.insert(samples.end(), {sample(x, y, 1), sample(x, y, 2)});
                for (int k = 0; k < 3; ++k)
                    want[k] = over_white(samples[colour ? k : 0], a);
                if (alpha)
                    samples.push_back(a);
                for (size_t k = 0; k < samples.size(); ++k) // 16 bits: both bytes v
                    std::fill_n(&rows[y][(x * samples.size() + k) * bytes], bytes, samples[k]);
            }
        }
    FILE *fp = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, w, h, spec.depth, type,
                 spec.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (type == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, palette.data(), 16);
        png_set_tRNS(png, info, trns.data(), 16, nullptr);
    }
    png_write_info(png, info);
    std::vector<png_bytep> ptrs;
    for (auto &r : rows)
        ptrs.push_back(r.data());
    png_write_image(png, ptrs.data());
    png_write_end(png, info);
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
    Picture pic{static_cast<int>(img.width), static_cast<int>(img.height),
                Bytes(PNG_IMAGE_SIZE(img))};
    EXPECT_TRUE(pic.rgb.empty() ||
                png_image_finish_read(&img, nullptr, pic.rgb.data(), 0, nullptr));
    return pic;
}

// The PNG's colour type and bit depth, from its IHDR bytes.
std::pair<int, int> png_kind(const std::string &path) {
    const Bytes b = r64_test::read_bytes(path);
    return {b.at(25), b.at(24)};
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

struct Result {
    int status;
    std::string out, err;
};

class R64Tool : public ::testing::Test {
  protected:
    Result run(const std::string &args) {
        const std::string out = f("stdout.txt"), err = f("stderr.txt");
        const int rc = std::system(
            (std::string(R64_BUILD_DIR) + "/r64tool " + args + " >" + out + " 2>" + err).c_str());
        Result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, text_of(out), text_of(err)};
        fs::remove(out);
        fs::remove(err);
        return r;
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

    // The names in the folder: shows any temporary file left behind.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir_.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    r64_test::ScratchDir dir_;
};

void expect_same(const Picture &got, const Picture &want, int tolerance = 0) {
    ASSERT_EQ(got.w, want.w);
    ASSERT_EQ(got.h, want.h);
    int worst = 0;
    size_t where = 0;
    for (size_t i = 0; i < want.rgb.size(); ++i)
        if (std::abs(got.rgb[i] - want.rgb[i]) > worst)
            worst = std::abs(got.rgb[i] - want.rgb[i]), where = i;
    EXPECT_LE(worst, tolerance) << "pixel " << (where / 3) % want.w << "," << where / 3 / want.w
                                << " channel " << where % 3;
}

// Each PNG colour type and depth must reach the file with its own samples: a missed
// expansion, 16-bit scaling, palette lookup, transparency or interlace pass shows here.
TEST_F(R64Tool, PngRoundTripEveryColourType) {
    const std::vector<std::pair<PngSpec, std::string>> cases = {
        {{PNG_COLOR_TYPE_RGB, 8}, "P"},        {{PNG_COLOR_TYPE_RGB, 16}, "P"},
        {{PNG_COLOR_TYPE_GRAY, 8}, "G"},       {{PNG_COLOR_TYPE_GRAY, 16}, "G"},
        {{PNG_COLOR_TYPE_GRAY, 1}, "G"},       {{PNG_COLOR_TYPE_PALETTE, 4}, "P"},
        {{PNG_COLOR_TYPE_GRAY_ALPHA, 8}, "G"}, {{PNG_COLOR_TYPE_RGB_ALPHA, 8}, "P"},
        {{PNG_COLOR_TYPE_RGB_ALPHA, 16}, "P"}, {{PNG_COLOR_TYPE_RGB, 8, true}, "P"},
    };
    for (const auto &[spec, type] : cases) {
        SCOPED_TRACE("colour type " + std::to_string(spec.colour_type) + " depth " +
                     std::to_string(spec.depth) + (spec.interlace ? " interlaced" : ""));
        const Picture want = write_png(f("in.png"), 131, 70, spec);
        expect_same(round_trip("in.png", type), want);
    }
}

// Raw and plain PBM, PGM and PPM, comments and a two-byte maxval: a header misparsed by
// one token or samples scaled wrongly shift or change the pixels.
TEST_F(R64Tool, PnmRoundTripRawAndPlain) {
    const int w = 21, h = 9;
    for (const std::string magic : {"P1", "P2", "P3", "P4", "P5", "P6"})
        for (int maxval : {1, 255, 1000}) {
            const bool bits = magic == "P1" || magic == "P4", raw = magic[1] >= '4';
            const bool colour = magic == "P3" || magic == "P6";
            if (bits != (maxval == 1))
                continue;
            SCOPED_TRACE(magic + " maxval " + std::to_string(maxval));
            std::string data = magic + "\n# made by the test\n" + std::to_string(w) + " " +
                               std::to_string(h) + "\n" +
                               (bits ? "" : std::to_string(maxval) + "\n");
            Picture want{w, h, Bytes(3 * w * h)};
            for (int y = 0; y < h; ++y) {
                Bytes packed((w + 7) / 8);
                for (int x = 0; x < w; ++x)
                    for (int k = 0; k < (colour ? 3 : 1); ++k) {
                        const int v = bits ? (x + y) % 3 == 0 // 1 is black
                                           : (x * 37 + y * 101 + k * 50) % (maxval + 1);
                        std::fill_n(want.at(x, y) + k, colour ? 1 : 3,
                                    static_cast<unsigned char>(
                                        std::lround((bits ? 1 - v : v) * 255.0 / maxval)));
                        if (!raw)
                            data += std::to_string(v) + (bits ? "" : " "); // PBM: no separators
                        else if (bits)
                            packed[x / 8] |= static_cast<unsigned char>(v << (7 - x % 8));
                        else if (maxval > 255)
                            data += {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)};
                        else
                            data += static_cast<char>(v);
                    }
                data +=
                    raw ? std::string(packed.begin(), bits ? packed.end() : packed.begin()) : "\n";
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

// The chosen type decides what is stored: luma for G, the threshold for B, and B
// exports as 1-bit (or 8-bit with --depth 8) grey holding only black and white.
TEST_F(R64Tool, TypeConversionAndBilevelExport) {
    Picture luma = write_png(f("c.png"), 70, 40, {PNG_COLOR_TYPE_RGB, 8});
    for (size_t i = 0; i < luma.rgb.size(); i += 3)
        std::fill_n(&luma.rgb[i], 3,
                    static_cast<unsigned char>(std::lround(
                        0.299 * luma.rgb[i] + 0.587 * luma.rgb[i + 1] + 0.114 * luma.rgb[i + 2])));
    expect_same(round_trip("c.png", "G", "--type G"), luma, 1);

    const Picture grey = write_png(f("g.png"), 70, 40, {PNG_COLOR_TYPE_GRAY, 8});
    for (int threshold : {128, 40}) {
        Picture want = grey;
        for (auto &v : want.rgb)
            v = v >= threshold ? 255 : 0;
        expect_same(round_trip("g.png", "B", "--type B --threshold " + std::to_string(threshold)),
                    want);
        EXPECT_EQ(png_kind(f("t.png")), std::make_pair(PNG_COLOR_TYPE_GRAY, 1));
        ASSERT_EQ(run("export " + f("t.r64") + " " + f("t8.png") + " --depth 8").status, 0);
        EXPECT_EQ(png_kind(f("t8.png")), std::make_pair(PNG_COLOR_TYPE_GRAY, 8));
        expect_same(read_png(f("t8.png")), want);
    }
}

// The whole pipeline with each filter: every level present in the r64 file and in the cr
// file, every cr record written, reduced levels exported at their size, the cr close to
// its source, one PSNR row per level.
TEST_F(R64Tool, PyramidTocrInfoAndExport) {
    const Picture src = write_png(f("in.png"), 300, 133, {PNG_COLOR_TYPE_RGB, 8});
    for (const std::string filter : {"average", "fourier"}) {
        SCOPED_TRACE(filter);
        ASSERT_EQ(run("import " + f("in.png") + " " + f("p.r64") + " --filter " + filter).status,
                  0);
        const Result tocr = run("tocr " + f("p.r64") + " " + f("p.cr") + " --tile 64");
        ASSERT_EQ(tocr.status, 0) << tocr.err;
        Flat r = json_of(run("info " + f("p.r64") + " --json").out);
        Flat c = json_of(run("info " + f("p.cr") + " --json").out);
        EXPECT_EQ(r["format"] + " " + c["format"] + " " + c["tile"], "r64 cr 64");
        const int n = 7; // 300 x 133 down to 5 x 3
        EXPECT_TRUE(r.count("levels.6.width") && !r.count("levels.7.width"));
        EXPECT_TRUE(c.count("levels.6.width") && !c.count("levels.7.width"));
        for (int l = 0, w = 300, h = 133; l < n; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
            SCOPED_TRACE(l);
            const std::string at = "levels." + std::to_string(l) + ".";
            const int tiles = ((w + 63) / 64) * ((h + 63) / 64);
            EXPECT_EQ(r[at + "width"] + "x" + r[at + "height"],
                      std::to_string(w) + "x" + std::to_string(h));
            EXPECT_EQ(r[at + "complete"], "true");
            EXPECT_EQ(std::stoi(r[at + "tiles"]), tiles);
            EXPECT_EQ(std::stoi(c[at + "tiles"]), tiles);
            EXPECT_EQ(std::stoi(c[at + "stored"]) + std::stoi(c[at + "jpeg"]), tiles);
            EXPECT_EQ(c[at + "never_written"] + " " + c[at + "damaged"], "0 0");
        }
        // A level-0 tile of 64 x 64 is JPEG; the 44-pixel-wide last column too; the 5-pixel
        // high last band of level 0 (133 = 2 * 64 + 5) is stored.
        EXPECT_EQ(c["levels.0.stored"], "5");

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

        const Result ver = run("verify " + f("p.cr") + " --against " + f("p.r64"));
        EXPECT_EQ(ver.status, 0) << ver.err;
        EXPECT_NE(ver.out.find("0 damaged"), std::string::npos) << ver.out;
        for (int l = 0; l < n; ++l) // one row per level, with a PSNR or "inf"
            EXPECT_NE(ver.out.find("\n    " + std::to_string(l) + "  "), std::string::npos)
                << ver.out;
    }
}

// A damaged tile is reported by position and reason, and the check goes on: every
// other tile is still read, the count names exactly the damaged ones, the status is 1.
TEST_F(R64Tool, VerifyReportsEachDamagedTileAndGoesOn) {
    write_png(f("in.png"), 200, 100, {PNG_COLOR_TYPE_RGB, 8});
    ASSERT_EQ(run("import " + f("in.png") + " " + f("v.r64")).status, 0);
    ASSERT_EQ(run("tocr " + f("v.r64") + " " + f("v.cr") + " --tile 64").status, 0);
    const Result whole = run("verify " + f("v.cr"));
    ASSERT_EQ(whole.status, 0) << whole.err;
    // Verifies a damaged copy: status 1, the file named on standard error, each of
    // `found` in the report, which it returns.
    auto verify = [&](const std::string &name, const Bytes &bytes,
                      const std::vector<std::string> &found) {
        r64_test::write_bytes(f(name), bytes);
        const Result r = run("verify " + f(name));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
        for (const std::string &text : found)
            EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
        return r.out;
    };
    // Level 0 of 200 x 100 in 64-pixel tiles: 4 x 2 records of 12 bytes after the 16-byte
    // header, row by row; tile (64, 0) is record 1, tile (192, 64), 8 x 36, record 7.
    Bytes cr = r64_test::read_bytes(f("v.cr"));
    const size_t rec_1_0 = 16 + 12 * 1, rec_3_1 = 16 + 12 * 7;
    ASSERT_EQ(cr[rec_3_1 + 4], 'n'); // stored
    cr[rec_1_0] = 0x7F;              // its data now lie far beyond the end of the file
    const size_t stored_at =
        size_t(cr[rec_3_1]) << 24 | cr[rec_3_1 + 1] << 16 | cr[rec_3_1 + 2] << 8 | cr[rec_3_1 + 3];
    cr[stored_at] = 35; // the stored tile now claims 36 x 8 pixels: as many bytes
    cr[stored_at + 1] = 7;
    const std::string total = whole.out.substr(whole.out.find(": ") + 2);
    verify("bad.cr", cr,
           {"level 0 tile (64, 0): record outside the file",
            "level 0 tile (192, 64): decodes to 36 x 8 pixels instead of 8 x 36",
            total.substr(0, total.find(" tiles read")) + " tiles read, 2 damaged"});

    // Cut the file inside the last tile's data: that tile alone is reported.
    cr = r64_test::read_bytes(f("v.cr"));
    verify("cut.cr", Bytes(cr.begin(), cr.end() - 10), {"data cut short", ", 1 damaged"});

    // An r64 file cut inside level 0's last band of tiles: those tiles and every tile of the
    // levels after it lie beyond its end; the tiles before the cut are whole. 200 x 100: 4 x
    // 2 tiles at level 0, 2 at level 1 (100 x 50), then one on each of the levels 50 x 25,
    // 25 x 13, 13 x 7 and 7 x 4.
    const Bytes r64 = r64_test::read_bytes(f("v.r64"));
    const std::string report =
        verify("cut.r64", Bytes(r64.begin(), r64.begin() + 8 + 200 * 64 * 3 + 100),
               {"level 0 tile (0, 64): data cut short (100 of 6912 bytes",
                "level 0 tile (64, 64): the tile lies beyond the end of the file",
                "14 tiles read, 10 damaged"});
    EXPECT_EQ(report.find("level 0 tile (0, 0)"), std::string::npos) << report;
}

// Pictures that cannot be imported are refused with status 1, the file named on
// standard error, no temporary file left and an existing target untouched.
TEST_F(R64Tool, RefusalsLeaveNothingBehind) {
    write_png(f("big.png"), 32768, 3, {PNG_COLOR_TYPE_GRAY, 1});
    write_png(f("tall.png"), 3, 40000, {PNG_COLOR_TYPE_GRAY, 1});
    write_png(f("tiny.png"), 2, 50, {PNG_COLOR_TYPE_GRAY, 8});
    write_png(f("ok.png"), 300, 300, {PNG_COLOR_TYPE_RGB, 8});
    const Bytes png = r64_test::read_bytes(f("ok.png"));
    r64_test::write_bytes(f("cut.png"), Bytes(png.begin(), png.begin() + png.size() / 2));
    for (const auto &[name, text] : {std::pair{"bad.ppm", "P6\n12 -4\n255\n"},
                                     {"short.ppm", "P6\n4 4\n255\nxxxxxxxxxxxxxxxxxxxx"},
                                     {"text.txt", "hello"},
                                     {"keep.r64", "old"}})
        r64_test::write_bytes(f(name), Bytes(text, text + std::strlen(text)));
    const auto before = listing();

    for (const char *name :
         {"big.png", "tall.png", "tiny.png", "cut.png", "bad.ppm", "short.ppm", "text.txt"}) {
        SCOPED_TRACE(name);
        for (const char *target : {"new.r64", "keep.r64"}) {
            const Result r = run(std::string("import ") + f(name) + " " + f(target));
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
            EXPECT_EQ(listing(), before);
            EXPECT_EQ(r64_test::read_bytes(f("keep.r64")), (Bytes{'o', 'l', 'd'}));
        }
    }
    EXPECT_NE(run("import " + f("big.png") + " " + f("n.r64")).err.find("32767"),
              std::string::npos);
}

// Library failures reach the user with the file, the reason in words and the code.
TEST_F(R64Tool, LibraryErrorsAndUsage) {
    r64_test::write_bytes(f("junk.bin"), Bytes(64, 'x'));
    const Result r = run("tocr " + f("junk.bin") + " " + f("o.cr"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("junk.bin"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not a file of the expected format [r64_error -5]"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(f("o.cr")));

    write_png(f("in.png"), 40, 40, {PNG_COLOR_TYPE_GRAY, 8});
    ASSERT_EQ(run("import " + f("in.png") + " " + f("s.r64")).status, 0);
    const Result lvl = run("export " + f("s.r64") + " " + f("x.png") + " --level 7");
    EXPECT_EQ(lvl.status, 1);
    EXPECT_NE(lvl.err.find("has no level 7 (it holds 5 levels)"), std::string::npos) << lvl.err;
    EXPECT_FALSE(fs::exists(f("x.png")));
    EXPECT_EQ(run("verify " + f("s.r64") + " --against " + f("s.r64")).status, 1);
    EXPECT_EQ(run("import " + f("in.png") + " " + f("s.r64") + " --type X").status, 1);
    EXPECT_EQ(run("frobnicate").status, 1);
    for (const char *cmd : {"import", "tocr", "export", "info", "verify"}) {
        const Result h = run(std::string(cmd) + " --help");
        EXPECT_EQ(h.status, 0);
        EXPECT_EQ(h.out.rfind(std::string("usage: r64tool ") + cmd, 0), 0u) << h.out;
    }
}

} // namespace
