// r64tool run as a process: pictures written here (libpng, libjpeg, PNM by hand) are
// imported, converted and exported, and the pixels that come back are checked against
// values computed here from the pictures' own samples.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

#include "scratch_dir.h"

namespace {

using r64_test::Bytes;
namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A picture as the test knows it: 8-bit RGB, what the tool should import.
struct Picture {
    int w = 0, h = 0;
    std::vector<unsigned char> rgb;
    unsigned char *at(int x, int y) { return &rgb[3 * (static_cast<size_t>(y) * w + x)]; }
};

// Smooth (a triangle wave, no jumps that JPEG would blur), but different in every
// channel, so that swapped channels or rows show.
unsigned char sample(int x, int y, int k) {
    const int t = (x * (3 + k) + y * (5 - k) + 40 * k) % 510;
    return static_cast<unsigned char>(t < 256 ? t : 509 - t);
}

// --- a small JSON reader for `info --json` ---
struct Json {
    std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>,
                 std::map<std::string, Json>>
        v;
    const Json &operator[](const std::string &k) const {
        return std::get<std::map<std::string, Json>>(v).at(k);
    }
    const Json &operator[](size_t i) const { return std::get<std::vector<Json>>(v).at(i); }
    size_t size() const { return std::get<std::vector<Json>>(v).size(); }
    long num() const { return std::lround(std::get<double>(v)); }
    const std::string &str() const { return std::get<std::string>(v); }
};

struct JsonParser {
    const std::string &s;
    size_t i = 0;
    void ws() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) {
            ++i;
        }
    }
    bool eat(char c) {
        ws();
        if (i < s.size() && s[i] == c) {
            ++i;
            return true;
        }
        return false;
    }
    std::string string() {
        EXPECT_TRUE(eat('"'));
        std::string out;
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\') {
                ++i;
            }
            out += s[i++];
        }
        ++i;
        return out;
    }
    Json value() {
        ws();
        if (s.compare(i, 4, "null") == 0) {
            i += 4;
            return {nullptr};
        }
        if (s.compare(i, 4, "true") == 0 || s.compare(i, 5, "false") == 0) {
            const bool t = s[i] == 't';
            i += t ? 4 : 5;
            return {t};
        }
        if (s[i] == '"') {
            return {string()};
        }
        if (eat('[')) {
            std::vector<Json> a;
            while (!eat(']')) {
                a.push_back(value());
                eat(',');
            }
            return {a};
        }
        if (eat('{')) {
            std::map<std::string, Json> o;
            while (!eat('}')) {
                std::string k = string();
                EXPECT_TRUE(eat(':'));
                o[k] = value();
                eat(',');
            }
            return {o};
        }
        size_t used = 0;
        const double d = std::stod(s.substr(i), &used);
        i += used;
        return {d};
    }
};

Json parse_json(const std::string &s) {
    JsonParser p{s};
    Json j = p.value();
    p.ws();
    EXPECT_EQ(p.i, s.size()) << "trailing text after JSON: " << s;
    return j;
}

// --- pictures on disk ---
struct PngSpec {
    int colour_type;
    int depth;
    bool interlace = false;
};

// Writes a PNG whose pixels, once composited over white and scaled to 8 bits, are
// returned. Samples of 16-bit pictures are v * 257, which scales back to v exactly.
Picture write_png(const std::string &path, int w, int h, PngSpec spec) {
    Picture pic{w, h, std::vector<unsigned char>(3 * static_cast<size_t>(w) * h)};
    FILE *fp = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, w, h, spec.depth, spec.colour_type,
                 spec.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(16);
    std::vector<png_byte> trns(16);
    for (int i = 0; i < 16; ++i) {
        palette[i] = {static_cast<png_byte>(i * 16), static_cast<png_byte>(255 - i * 9),
                      static_cast<png_byte>(i * i)};
        trns[i] = static_cast<png_byte>(i < 8 ? 255 : i * 15);
    }
    if (spec.colour_type == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, palette.data(), 16);
        png_set_tRNS(png, info, trns.data(), 16, nullptr);
    }
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    const int bytes = spec.depth == 16 ? 2 : 1;
    std::vector<std::vector<png_byte>> rows(
        h, std::vector<png_byte>(static_cast<size_t>(w) * channels * bytes + 8));
    auto over_white = [](int c, int a) {
        return static_cast<unsigned char>(std::lround((c * a + 255.0 * (255 - a)) / 255.0));
    };
    for (int y = 0; y < h; ++y) {
        png_byte *row = rows[y].data();
        std::fill(row, row + rows[y].size(), 0);
        for (int x = 0; x < w; ++x) {
            unsigned char *want = pic.at(x, y);
            const int r = sample(x, y, 0), g = sample(x, y, 1), b = sample(x, y, 2);
            const int a = (x + y) % 3 == 0 ? 255 : ((x * 7 + y) & 0xFF);
            auto put = [&](int idx, int v8) {
                if (bytes == 2) {
                    row[2 * idx] = static_cast<png_byte>(v8); // v * 257: both bytes v
                    row[2 * idx + 1] = static_cast<png_byte>(v8);
                } else {
                    row[idx] = static_cast<png_byte>(v8);
                }
            };
            switch (spec.colour_type) {
            case PNG_COLOR_TYPE_GRAY:
                if (spec.depth == 1) {
                    const int bit = (x / 3 + y / 2) & 1;
                    row[x / 8] |= static_cast<png_byte>(bit << (7 - x % 8));
                    want[0] = want[1] = want[2] = bit ? 255 : 0;
                } else {
                    put(x, g);
                    want[0] = want[1] = want[2] = static_cast<unsigned char>(g);
                }
                break;
            case PNG_COLOR_TYPE_GRAY_ALPHA:
                put(2 * x, g);
                put(2 * x + 1, a);
                want[0] = want[1] = want[2] = over_white(g, a);
                break;
            case PNG_COLOR_TYPE_RGB:
                put(3 * x, r), put(3 * x + 1, g), put(3 * x + 2, b);
                want[0] = static_cast<unsigned char>(r);
                want[1] = static_cast<unsigned char>(g);
                want[2] = static_cast<unsigned char>(b);
                break;
            case PNG_COLOR_TYPE_RGB_ALPHA:
                put(4 * x, r), put(4 * x + 1, g), put(4 * x + 2, b), put(4 * x + 3, a);
                want[0] = over_white(r, a), want[1] = over_white(g, a), want[2] = over_white(b, a);
                break;
            case PNG_COLOR_TYPE_PALETTE: { // 4-bit indices
                const int i = (x + 3 * y) % 16;
                row[x / 2] |= static_cast<png_byte>(x % 2 == 0 ? i << 4 : i);
                want[0] = over_white(palette[i].red, trns[i]);
                want[1] = over_white(palette[i].green, trns[i]);
                want[2] = over_white(palette[i].blue, trns[i]);
                break;
            }
            }
        }
    }
    std::vector<png_bytep> ptrs;
    for (auto &r : rows) {
        ptrs.push_back(r.data());
    }
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
    Picture pic;
    if (png_image_begin_read_from_file(&img, path.c_str()) == 0) {
        ADD_FAILURE() << "cannot read " << path << ": " << img.message;
        return pic;
    }
    img.format = PNG_FORMAT_RGB;
    pic.w = static_cast<int>(img.width);
    pic.h = static_cast<int>(img.height);
    pic.rgb.resize(PNG_IMAGE_SIZE(img));
    EXPECT_NE(png_image_finish_read(&img, nullptr, pic.rgb.data(), 0, nullptr), 0);
    return pic;
}

// The PNG's colour type and bit depth, from its IHDR bytes.
std::pair<int, int> png_kind(const std::string &path) {
    const std::string b = slurp(path);
    return {static_cast<unsigned char>(b[25]), static_cast<unsigned char>(b[24])};
}

void write_jpeg(const std::string &path, const Picture &pic, bool grey) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    FILE *fp = std::fopen(path.c_str(), "wb");
    jpeg_stdio_dest(&c, fp);
    c.image_width = pic.w;
    c.image_height = pic.h;
    c.input_components = grey ? 1 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(static_cast<size_t>(pic.w) * 3);
    for (int y = 0; y < pic.h; ++y) {
        for (int x = 0; x < pic.w; ++x) {
            for (int k = 0; k < 3; ++k) {
                row[grey ? x : 3 * x + k] = pic.rgb[3 * (static_cast<size_t>(y) * pic.w + x) + k];
            }
        }
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(fp);
}

// What a decoder makes of the JPEG: the expected pixels of an import.
Picture decode_jpeg(const std::string &path) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    FILE *fp = std::fopen(path.c_str(), "rb");
    jpeg_stdio_src(&d, fp);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    Picture pic{static_cast<int>(d.output_width), static_cast<int>(d.output_height), {}};
    pic.rgb.resize(3 * static_cast<size_t>(pic.w) * pic.h);
    while (d.output_scanline < d.output_height) {
        JSAMPROW r = pic.at(0, static_cast<int>(d.output_scanline));
        jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::fclose(fp);
    return pic;
}

int levels_of(int w, int h) {
    int n = 0;
    while (w >= 3 && h >= 3) {
        ++n;
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
    return n;
}

class R64Tool : public ::testing::Test {
  protected:
    Result run(const std::string &args) {
        const std::string out = dir_.file("stdout.txt");
        const std::string err = dir_.file("stderr.txt");
        const std::string cmd =
            std::string(R64_BUILD_DIR) + "/r64tool " + args + " >" + out + " 2>" + err;
        const int rc = std::system(cmd.c_str());
        Result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out), slurp(err)};
        fs::remove(out);
        fs::remove(err);
        return r;
    }
    std::string f(const std::string &name) const { return dir_.file(name); }

    // Imports, exports level 0 and returns what came back.
    Picture round_trip(const std::string &picture, const std::string &options = "") {
        const Result imp = run("import " + f(picture) + " " + f("t.r64") + " " + options);
        EXPECT_EQ(imp.status, 0) << imp.err;
        const Result exp = run("export " + f("t.r64") + " " + f("t.png"));
        EXPECT_EQ(exp.status, 0) << exp.err;
        return read_png(f("t.png"));
    }

    std::string type_of(const std::string &r64) {
        return parse_json(run("info " + f(r64) + " --json").out)["type"].str();
    }

    // Only the files a test made itself: no temporary file is left behind.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir_.path())) {
            names.push_back(e.path().filename().string());
        }
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
    for (size_t i = 0; i < want.rgb.size(); ++i) {
        const int d = std::abs(got.rgb[i] - want.rgb[i]);
        if (d > worst) {
            worst = d;
            where = i;
        }
    }
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
        expect_same(round_trip("in.png"), want);
        EXPECT_EQ(type_of("t.r64"), type);
    }
}

// Raw and plain PBM, PGM and PPM, comments and a two-byte maxval: a header misparsed by
// one token or samples scaled wrongly shift or change the pixels.
TEST_F(R64Tool, PnmRoundTripRawAndPlain) {
    const int w = 21, h = 9;
    for (const char *magic : {"P1", "P2", "P3", "P4", "P5", "P6"}) {
        for (int maxval : {255, 1000}) {
            const char kind = magic[1];
            const bool bits = kind == '1' || kind == '4';
            if (bits && maxval != 255) {
                continue;
            }
            SCOPED_TRACE(std::string(magic) + " maxval " + std::to_string(maxval));
            const bool colour = kind == '3' || kind == '6';
            const bool raw = kind >= '4';
            std::string data = std::string(magic) + "\n# made by the test\n" + std::to_string(w) +
                               " " + std::to_string(h) + "\n";
            if (!bits) {
                data += std::to_string(maxval) + "\n";
            }
            Picture want{w, h, std::vector<unsigned char>(3 * w * h)};
            for (int y = 0; y < h; ++y) {
                std::vector<unsigned char> packed((w + 7) / 8, 0);
                for (int x = 0; x < w; ++x) {
                    if (bits) {
                        const int black = (x + y) % 3 == 0;
                        std::fill_n(want.at(x, y), 3, black ? 0 : 255);
                        packed[x / 8] |= static_cast<unsigned char>(black << (7 - x % 8));
                        if (!raw) {
                            data += black ? "1" : "0"; // plain PBM needs no separators
                        }
                        continue;
                    }
                    for (int k = 0; k < (colour ? 3 : 1); ++k) {
                        const int v = (x * 37 + y * 101 + k * 50) % (maxval + 1);
                        const auto v8 = static_cast<unsigned char>(std::lround(v * 255.0 / maxval));
                        if (colour) {
                            want.at(x, y)[k] = v8;
                        } else {
                            std::fill_n(want.at(x, y), 3, v8);
                        }
                        if (!raw) {
                            data += std::to_string(v) + " ";
                        } else if (maxval > 255) {
                            data += static_cast<char>(v >> 8);
                            data += static_cast<char>(v & 0xFF);
                        } else {
                            data += static_cast<char>(v);
                        }
                    }
                }
                if (bits && raw) {
                    data.append(packed.begin(), packed.end());
                }
                if (!raw) {
                    data += "\n";
                }
            }
            r64_test::write_bytes(f("in.pnm"), Bytes(data.begin(), data.end()));
            expect_same(round_trip("in.pnm"), want);
            EXPECT_EQ(type_of("t.r64"), colour ? "P" : "G");
        }
    }
}

// JPEG pictures arrive as the decoder decodes them, grey ones as 'G'.
TEST_F(R64Tool, JpegImportGreyAndColour) {
    Picture src{97, 45, std::vector<unsigned char>(3 * 97 * 45)};
    for (int y = 0; y < src.h; ++y) {
        for (int x = 0; x < src.w; ++x) {
            for (int k = 0; k < 3; ++k) {
                src.at(x, y)[k] = sample(x, y, k);
            }
        }
    }
    for (bool grey : {false, true}) {
        write_jpeg(f("in.jpg"), src, grey);
        expect_same(round_trip("in.jpg"), decode_jpeg(f("in.jpg")));
        EXPECT_EQ(type_of("t.r64"), grey ? "G" : "P");
    }
}

// The chosen type decides what is stored: luma for G, the threshold for B, and B
// exports as 1-bit (or 8-bit with --depth 8) grey holding only black and white.
TEST_F(R64Tool, TypeConversionAndBilevelExport) {
    const Picture colour = write_png(f("c.png"), 70, 40, {PNG_COLOR_TYPE_RGB, 8});
    Picture luma = colour;
    for (size_t i = 0; i < luma.rgb.size(); i += 3) {
        const auto y = static_cast<unsigned char>(std::lround(
            0.299 * colour.rgb[i] + 0.587 * colour.rgb[i + 1] + 0.114 * colour.rgb[i + 2]));
        luma.rgb[i] = luma.rgb[i + 1] = luma.rgb[i + 2] = y;
    }
    expect_same(round_trip("c.png", "--type G"), luma, 1);
    EXPECT_EQ(type_of("t.r64"), "G");

    const Picture grey = write_png(f("g.png"), 70, 40, {PNG_COLOR_TYPE_GRAY, 8});
    for (int threshold : {128, 40}) {
        Picture want = grey;
        for (auto &v : want.rgb) {
            v = v >= threshold ? 255 : 0;
        }
        expect_same(round_trip("g.png", "--type B --threshold " + std::to_string(threshold)), want);
        EXPECT_EQ(png_kind(f("t.png")), std::make_pair(PNG_COLOR_TYPE_GRAY, 1));
        ASSERT_EQ(run("export " + f("t.r64") + " " + f("t8.png") + " --depth 8").status, 0);
        EXPECT_EQ(png_kind(f("t8.png")), std::make_pair(PNG_COLOR_TYPE_GRAY, 8));
        expect_same(read_png(f("t8.png")), want);
    }
}

// The whole pipeline: every level present in the r64 file and in the cr file, every cr
// record written, reduced levels exported at their size, the cr close to its source.
TEST_F(R64Tool, PyramidTocrInfoAndExport) {
    const Picture src = write_png(f("in.png"), 300, 133, {PNG_COLOR_TYPE_RGB, 8});
    for (const char *filter : {"average", "fourier"}) {
        SCOPED_TRACE(filter);
        ASSERT_EQ(run("import " + f("in.png") + " " + f("p.r64") + " --filter " + filter).status,
                  0);
        const Result tocr = run("tocr " + f("p.r64") + " " + f("p.cr") + " --tile 64");
        ASSERT_EQ(tocr.status, 0) << tocr.err;

        const Json r = parse_json(run("info " + f("p.r64") + " --json").out);
        const Json c = parse_json(run("info " + f("p.cr") + " --json").out);
        EXPECT_EQ(r["format"].str(), "r64");
        EXPECT_EQ(c["format"].str(), "cr");
        EXPECT_EQ(c["tile"].num(), 64);
        const int n = levels_of(300, 133);
        ASSERT_EQ(r["levels"].size(), static_cast<size_t>(n));
        ASSERT_EQ(c["levels"].size(), static_cast<size_t>(n));
        int w = 300, h = 133;
        for (int l = 0; l < n; ++l) {
            const Json &rl = r["levels"][l];
            const Json &cl = c["levels"][l];
            EXPECT_EQ(rl["width"].num(), w);
            EXPECT_EQ(rl["height"].num(), h);
            EXPECT_TRUE(std::get<bool>(rl["complete"].v));
            EXPECT_EQ(rl["tiles"].num(), ((w + 63) / 64) * ((h + 63) / 64));
            EXPECT_EQ(cl["tiles"].num(), ((w + 63) / 64) * ((h + 63) / 64));
            EXPECT_EQ(cl["stored"].num() + cl["jpeg"].num(), cl["tiles"].num());
            EXPECT_EQ(cl["never_written"].num(), 0);
            EXPECT_EQ(cl["damaged"].num(), 0);
            w = (w + 1) / 2;
            h = (h + 1) / 2;
        }
        // A level-0 tile of 64 x 64 is JPEG; the 44-pixel-wide last column too; the 5-pixel
        // high last band of level 0 (133 = 2 * 64 + 5) is stored.
        EXPECT_EQ(c["levels"][0]["stored"].num(), 5);

        ASSERT_EQ(run("export " + f("p.cr") + " " + f("c0.png")).status, 0);
        const Picture back = read_png(f("c0.png"));
        ASSERT_EQ(back.w, 300);
        double abs_sum = 0;
        for (size_t i = 0; i < src.rgb.size(); ++i) {
            abs_sum += std::abs(back.rgb[i] - src.rgb[i]);
        }
        EXPECT_LT(abs_sum / src.rgb.size(), 6.0);

        ASSERT_EQ(run("export " + f("p.cr") + " " + f("c2.png") + " --level 2").status, 0);
        const Picture l2 = read_png(f("c2.png"));
        EXPECT_EQ(l2.w, 75);
        EXPECT_EQ(l2.h, 34);
        const Result ver = run("verify " + f("p.cr") + " --against " + f("p.r64"));
        EXPECT_EQ(ver.status, 0) << ver.err;
        EXPECT_NE(ver.out.find("0 damaged"), std::string::npos) << ver.out;
        for (int l = 0; l < n; ++l) { // one row per level, with a PSNR or "inf"
            const std::string row_start = "\n    " + std::to_string(l) + "  ";
            EXPECT_NE(ver.out.find(row_start), std::string::npos) << ver.out;
        }
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
    Bytes cr = r64_test::read_bytes(f("v.cr"));
    auto be32 = [&](size_t at) {
        return static_cast<uint32_t>(cr[at] << 24 | cr[at + 1] << 16 | cr[at + 2] << 8 |
                                     cr[at + 3]);
    };
    // Level 0 of 200 x 100 in 64-pixel tiles: 4 x 2 records, row by row.
    const size_t rec_1_0 = 16 + 12 * 1; // tile (64, 0)
    const size_t rec_3_1 = 16 + 12 * 7; // tile (192, 64), 8 x 36: stored
    ASSERT_EQ(cr[rec_3_1 + 4], 'n');
    cr[rec_1_0] = 0x7F; // its data now lie far beyond the end of the file
    const uint32_t stored_at = be32(rec_3_1);
    cr[stored_at] = 35; // the stored tile now claims 36 x 8 pixels: as many bytes
    cr[stored_at + 1] = 7;
    r64_test::write_bytes(f("bad.cr"), cr);

    const Result r = run("verify " + f("bad.cr"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("level 0 tile (64, 0): record outside the file"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("level 0 tile (192, 64): decodes to 36 x 8 pixels instead of 8 x 36"),
              std::string::npos)
        << r.out;
    const std::string total = whole.out.substr(whole.out.find(": ") + 2);
    const std::string tiles_read = total.substr(0, total.find(" tiles read"));
    EXPECT_NE(r.out.find(tiles_read + " tiles read, 2 damaged"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("bad.cr"), std::string::npos);

    // Cut the file inside the last tile's data: that tile alone is reported.
    cr = r64_test::read_bytes(f("v.cr"));
    cr.resize(cr.size() - 10);
    r64_test::write_bytes(f("cut.cr"), cr);
    const Result cut = run("verify " + f("cut.cr"));
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.out.find("data cut short"), std::string::npos) << cut.out;
    EXPECT_NE(cut.out.find(", 1 damaged"), std::string::npos) << cut.out;

    // An r64 file cut inside level 0's last band of tiles: those tiles and every tile
    // of the levels after it lie beyond its end; the tiles before the cut are whole.
    Bytes r64 = r64_test::read_bytes(f("v.r64"));
    r64.resize(8 + 200 * 64 * 3 + 100);
    r64_test::write_bytes(f("cut.r64"), r64);
    const Result rcut = run("verify " + f("cut.r64"));
    EXPECT_EQ(rcut.status, 1);
    EXPECT_EQ(rcut.out.find("level 0 tile (0, 0)"), std::string::npos) << rcut.out;
    EXPECT_NE(rcut.out.find("level 0 tile (0, 64): data cut short (100 of 6912 bytes"),
              std::string::npos)
        << rcut.out;
    EXPECT_NE(rcut.out.find("level 0 tile (64, 64): the tile lies beyond the end of the file"),
              std::string::npos)
        << rcut.out;
    // 200 x 100: 4 x 2 tiles at level 0, 2 at level 1 (100 x 50), then one on each of the
    // levels 50 x 25, 25 x 13, 13 x 7 and 7 x 4.
    EXPECT_NE(rcut.out.find("14 tiles read, 10 damaged"), std::string::npos) << rcut.out;
}

// Pictures that cannot be imported are refused with status 1, the file named on
// standard error, no temporary file left and an existing target untouched.
TEST_F(R64Tool, RefusalsLeaveNothingBehind) {
    write_png(f("big.png"), 32768, 3, {PNG_COLOR_TYPE_GRAY, 1});
    write_png(f("tall.png"), 3, 40000, {PNG_COLOR_TYPE_GRAY, 1});
    write_png(f("tiny.png"), 2, 50, {PNG_COLOR_TYPE_GRAY, 8});
    write_png(f("ok.png"), 300, 300, {PNG_COLOR_TYPE_RGB, 8});
    Bytes png = r64_test::read_bytes(f("ok.png"));
    png.resize(png.size() / 2);
    r64_test::write_bytes(f("cut.png"), png);
    const std::string bad_header = "P6\n12 -4\n255\n";
    r64_test::write_bytes(f("bad.ppm"), Bytes(bad_header.begin(), bad_header.end()));
    const std::string short_ppm = "P6\n4 4\n255\n" + std::string(20, 'x');
    r64_test::write_bytes(f("short.ppm"), Bytes(short_ppm.begin(), short_ppm.end()));
    r64_test::write_bytes(f("text.txt"), Bytes{'h', 'e', 'l', 'l', 'o'});
    r64_test::write_bytes(f("keep.r64"), Bytes{'o', 'l', 'd'});
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
