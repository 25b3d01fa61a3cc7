// r64tool serve: the request parser and the size and level arithmetic as pure functions,
// then the server as a process on a free loopback port, its tiles compared with the
// levels `r64tool export` writes and with resampling computed here.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <jpeglib.h>
#include <png.h>

#include "geometry.h"
#include "request.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace r64serve;

// ---- The parser: every IIIF form it must take, and refusals that map to 4xx. ----

TEST(ServeParse, AcceptsEveryImageRequestForm) {
    const auto img = [](const std::string &t) {
        const Route r = parse_target("/iiif/3/sub%2Fphoto/" + t);
        EXPECT_TRUE(std::holds_alternative<IiifImage>(r)) << t;
        return std::holds_alternative<IiifImage>(r) ? std::get<IiifImage>(r) : IiifImage{};
    };
    EXPECT_EQ(img("full/max/0/default.jpg").name, "sub/photo");
    IiifImage i = img("10,20,30,40/%5E!50,60/%2190/bitonal.png");
    EXPECT_EQ(i.image.region.kind, Region::Kind::Pixels);
    EXPECT_EQ(i.image.region.x + i.image.region.y + i.image.region.w + i.image.region.h, 100);
    EXPECT_EQ(i.image.size.kind, Size::Kind::Confined);
    EXPECT_TRUE(i.image.size.upscale && i.image.mirror);
    EXPECT_EQ(i.image.rotation, 90);
    EXPECT_EQ(i.image.quality, Quality::Bitonal);
    EXPECT_EQ(i.image.format, Format::Png);
    EXPECT_EQ(img("pct:10.5,0,50,50/pct:25/270/gray.jpg").image.region.px, 10.5);
    EXPECT_EQ(img("square/,100/180/color.jpg").image.size.kind, Size::Kind::Height);
    EXPECT_EQ(img("full/200,/0/default.jpg").image.size.kind, Size::Kind::Width);
    EXPECT_EQ(img("full/^max/0/default.jpg").image.size.upscale, true);
    EXPECT_EQ(img("full/5,6/0/default.jpg").image.size.kind, Size::Kind::Exact);
    EXPECT_TRUE(std::holds_alternative<IiifBase>(parse_target("/iiif/3/a")));
    EXPECT_TRUE(std::holds_alternative<IiifInfo>(parse_target("/iiif/3/a/info.json?x=1")));
    EXPECT_TRUE(std::holds_alternative<IndexPage>(parse_target("/")));
    const Route dz = parse_target("/dz/a%2Fb_files/12/3_4.jpg");
    ASSERT_TRUE(std::holds_alternative<DziTile>(dz));
    EXPECT_EQ(std::get<DziTile>(dz).name, "a/b");
    EXPECT_EQ(std::get<DziTile>(dz).row, 4);
    EXPECT_EQ(std::get<DziInfo>(parse_target("/dz/a.dzi")).name, "a");
}

TEST(ServeParse, RefusesMalformedParameters) {
    const std::pair<const char *, Refusal> cases[] = {
        {"full/max/0/default.jpg", Refusal::UnknownPath}, // sentinel replaced below
        {"0,0,0,10/max/0/default.jpg", Refusal::BadRegion},
        {"1,2,3/max/0/default.jpg", Refusal::BadRegion},
        {"-1,0,5,5/max/0/default.jpg", Refusal::BadRegion},
        {"pct:0,0,0,5/max/0/default.jpg", Refusal::BadRegion},
        {"full/0,/0/default.jpg", Refusal::BadSize},
        {"full/,/0/default.jpg", Refusal::BadSize},
        {"full/!5,/0/default.jpg", Refusal::BadSize},
        {"full/pct:0/0/default.jpg", Refusal::BadSize},
        {"full/max/45/default.jpg", Refusal::BadRotation},
        {"full/max/-90/default.jpg", Refusal::BadRotation},
        {"full/max/0/sepia.jpg", Refusal::BadQuality},
        {"full/max/0/default.tif", Refusal::BadFormat},
        {"full/max/0/default", Refusal::BadFormat},
    };
    for (std::size_t k = 1; k < std::size(cases); ++k) {
        const Route r = parse_target(std::string("/iiif/3/a/") + cases[k].first);
        ASSERT_TRUE(std::holds_alternative<Failure>(r)) << cases[k].first;
        EXPECT_EQ(std::get<Failure>(r).why, cases[k].second) << cases[k].first;
    }
    for (const char *t : {"/iiif/3/%zz/info.json", "/iiif/3/a%00b/info.json",
                          "/dz/a_files/x/0_0.jpg", "/iiif/2/a/info.json", "/iiif/3/a/b/c"}) {
        ASSERT_TRUE(std::holds_alternative<Failure>(parse_target(t))) << t;
    }
}

// ---- Sizes and levels, against values worked out by hand. ----

TEST(ServeGeometry, SizeRulesAndLimits) {
    const OutputLimits lim{1000000, 2000, 2000};
    const auto size = [&](const char *s, long rw, long rh) {
        Size z;
        EXPECT_TRUE(parse_size(s, z)) << s;
        OutSize o;
        const auto f = output_size(z, rw, rh, lim, o);
        return f ? std::to_string(static_cast<int>(f->why))
                 : std::to_string(o.w) + "x" + std::to_string(o.h);
    };
    const std::string bad = std::to_string(static_cast<int>(Refusal::BadSize));
    const std::string above = std::to_string(static_cast<int>(Refusal::SizeAboveLimits));
    EXPECT_EQ(size("max", 600, 400), "600x400");
    EXPECT_EQ(size("max", 3000, 1000), "1732x577"); // maxArea binds: sqrt(1e6/3e6)
    EXPECT_EQ(size("^max", 300, 100), "1732x577");
    EXPECT_EQ(size("300,", 600, 401), "300x201"); // 200.5 rounds up
    EXPECT_EQ(size(",100", 600, 400), "150x100");
    EXPECT_EQ(size("601,", 600, 400), bad);
    EXPECT_EQ(size("^1200,", 600, 400), "1200x800");
    EXPECT_EQ(size("pct:50", 601, 400), "301x200");
    EXPECT_EQ(size("pct:150", 600, 400), bad);
    EXPECT_EQ(size("!200,200", 600, 400), "200x133");
    EXPECT_EQ(size("!900,900", 600, 400), "600x400"); // not larger than the region
    EXPECT_EQ(size("^!900,900", 600, 400), "900x600");
    EXPECT_EQ(size("10,900", 600, 800), bad);
    EXPECT_EQ(size("^1500,1500", 600, 800), above);
}

TEST(ServeGeometry, LevelFromBothSidesWithLevelsRoundingUp) {
    // A 1013 x 771 picture: levels 1013x771, 507x386, 254x193, 127x97 ...
    const std::vector<int> lw{1013, 507, 254, 127, 64}, lh{771, 386, 193, 97, 49};
    // The right edge tile, 507 wide, shown 254 wide: level 1 holds exactly 254 of it.
    EXPECT_EQ(choose_level({506, 0, 507, 386}, 254, 193, lw, lh), 1);
    EXPECT_EQ(choose_level({0, 0, 512, 512}, 256, 256, lw, lh), 1);
    EXPECT_EQ(choose_level({0, 0, 512, 512}, 255, 257, lw, lh), 0);
    EXPECT_EQ(choose_level({0, 0, 1013, 771}, 100, 70, lw, lh), 3);
    EXPECT_EQ(choose_level({0, 0, 1013, 771}, 10, 8, lw, lh), 4); // beyond: the last one
    const Rect at = region_at_level({506, 0, 507, 386}, 1, 507, 386);
    EXPECT_EQ(at.x, 253);
    EXPECT_EQ(at.w, 254);
    // Deep Zoom: 1013 needs 11 levels (0..10); level 9 is 507 wide, its second column 251.
    EXPECT_EQ(dz_top_level(1013, 771), 10);
    OutSize t;
    auto r = dz_tile_region(1013, 771, 9, 1, 1, 256, t);
    ASSERT_TRUE(r);
    EXPECT_EQ(t.w, 507 - 256);
    EXPECT_EQ(t.h, 386 - 256);
    EXPECT_EQ(r->x, 512);
    EXPECT_EQ(r->w, 1013 - 512);
    EXPECT_FALSE(dz_tile_region(1013, 771, 9, 2, 0, 256, t));
    EXPECT_FALSE(dz_tile_region(1013, 771, 11, 0, 0, 256, t));
    ASSERT_TRUE(dz_tile_region(1013, 771, 0, 0, 0, 256, t));
    EXPECT_EQ(t.w * t.h, 1);
}

// ---- The server as a process ----

struct Image {
    int w = 0, h = 0, channels = 0;
    std::vector<unsigned char> px;
    const unsigned char *at(int x, int y) const {
        return &px[(static_cast<std::size_t>(y) * w + x) * channels];
    }
};

Image decode_png(const std::string &bytes) {
    png_image p{};
    p.version = PNG_IMAGE_VERSION;
    Image out;
    if (!png_image_begin_read_from_memory(&p, bytes.data(), bytes.size())) {
        return out;
    }
    out.channels = (p.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1;
    p.format = out.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    out.w = static_cast<int>(p.width), out.h = static_cast<int>(p.height);
    out.px.resize(PNG_IMAGE_SIZE(p));
    png_image_finish_read(&p, nullptr, out.px.data(), 0, nullptr);
    return out;
}

Image decode_jpeg(const std::string &bytes) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    jpeg_read_header(&d, TRUE);
    jpeg_start_decompress(&d);
    Image out{static_cast<int>(d.output_width),
              static_cast<int>(d.output_height),
              d.output_components,
              {}};
    out.px.resize(static_cast<std::size_t>(out.w) * out.h * out.channels);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = &out.px[static_cast<std::size_t>(d.output_scanline) * out.w * out.channels];
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

const std::string kTool = std::string(R64_BUILD_DIR) + "/r64tool";

void run_tool(const std::string &args) {
    const std::string cmd = kTool + " " + args + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

// A level as `r64tool export` writes it: the reference the tiles are compared with.
Image exported(const std::string &file, int level) {
    const std::string out = file + ".level" + std::to_string(level) + ".png";
    if (!fs::exists(out)) {
        run_tool("export " + file + " " + out + " --level " + std::to_string(level) + " --depth 8");
    }
    return decode_png(slurp(out));
}

Image crop(const Image &src, int x, int y, int w, int h) {
    Image o{w, h, src.channels, {}};
    for (int r = 0; r < h; ++r) {
        const unsigned char *s = src.at(x, y + r);
        o.px.insert(o.px.end(), s, s + static_cast<std::size_t>(w) * src.channels);
    }
    return o;
}

// Largest difference of any sample, and the mean absolute difference.
std::pair<int, double> compare(const Image &a, const Image &b) {
    if (a.w != b.w || a.h != b.h || a.channels != b.channels) {
        return {999, 999.0};
    }
    int worst = 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.px.size(); ++i) {
        const int d = std::abs(a.px[i] - b.px[i]);
        worst = std::max(worst, d);
        sum += d;
    }
    return {worst, sum / static_cast<double>(a.px.size())};
}

// Smooth, different in each channel, so that swapped channels, rows or turns show.
unsigned char sample(int x, int y, int k) {
    const int t = (x * (2 + k) + y * (4 - k) + 70 * k) % 510;
    return static_cast<unsigned char>(t < 256 ? t : 509 - t);
}

void write_picture(const std::string &path, int w, int h) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (int k = 0; k < 3; ++k) {
                rgb[(static_cast<std::size_t>(y) * w + x) * 3 + k] = sample(x, y, k);
            }
        }
    }
    png_image p{};
    p.version = PNG_IMAGE_VERSION;
    p.width = static_cast<png_uint_32>(w), p.height = static_cast<png_uint_32>(h);
    p.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&p, path.c_str(), 0, rgb.data(), 0, nullptr));
}

// Starts `r64tool serve DIR --port 0`, reads the port it prints, stops it with SIGTERM.
class ServerProcess {
  public:
    ServerProcess(const std::string &dir, const std::string &log,
                  const std::vector<std::string> &extra = {}) {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            const int lf = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(lf, 2);
            close(fds[0]);
            std::vector<std::string> args{kTool, "serve", dir, "--port", "0", "--workers", "2"};
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char *> argv;
            for (auto &a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(kTool.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') {
            line += c;
        }
        close(fds[0]);
        std::smatch m;
        if (std::regex_search(line, m, std::regex(":([0-9]+)/"))) {
            port_ = std::stoi(m[1]);
        }
    }
    ~ServerProcess() { stop(); }
    int port() const { return port_; }
    // SIGTERM, and the exit status (0 after a clean stop).
    int stop() {
        if (pid_ <= 0) {
            return -1;
        }
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

class Serve : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new r64_test::ScratchDir; // the suite's files, shared by its tests
        const std::string d = dir_->path() + "/images";
        fs::create_directories(d + "/sub");
        write_picture(dir_->file("pic.png"), 1013, 771);
        run_tool("import " + dir_->file("pic.png") + " " + d + "/pic.r64");
        run_tool("tocr " + d + "/pic.r64 " + d + "/sub/pic.cr --tile 128");
        run_tool("import " + dir_->file("pic.png") + " " + d + "/grey.r64 --type G");
        // An r64 and a cr file of one name keep their extensions.
        fs::copy_file(d + "/pic.r64", d + "/twin.r64");
        fs::copy_file(d + "/sub/pic.cr", d + "/twin.cr");
        // A file outside the folder, and a symlink to it from inside.
        fs::copy_file(d + "/pic.r64", dir_->file("outside.r64"));
        fs::create_symlink(dir_->file("outside.r64"), d + "/escape.r64");
        server_ = new ServerProcess(d, dir_->file("server.log"));
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(server_->stop(), 0);
        // A sanitizer report of a worker would not fail a request by itself.
        const std::string log = slurp(dir_->file("server.log"));
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log.substr(log.find("Sanitizer"));
        EXPECT_EQ(log.find("runtime error"), std::string::npos);
        delete server_;
        delete dir_;
    }
    static std::string images() { return dir_->path() + "/images"; }
    static httplib::Result get(const std::string &target, const httplib::Headers &h = {}) {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_read_timeout(30, 0);
        return c.Get(target.c_str(), h);
    }
    // A request sent by hand (the client library would re-encode it or decode the
    // answer's Location); the start of the answer.
    static std::string raw_request(const std::string &text) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(server_->port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char buf[512] = {};
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            send(s, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size())) {
            recv(s, buf, sizeof buf - 1, 0);
        }
        close(s);
        return buf;
    }
    static int status(const std::string &target) {
        auto r = get(target);
        return r ? r->status : -1;
    }

    static r64_test::ScratchDir *dir_;
    static ServerProcess *server_;
};
r64_test::ScratchDir *Serve::dir_ = nullptr;
ServerProcess *Serve::server_ = nullptr;

TEST_F(Serve, InfoJsonDescribesTheStoredPyramid) {
    ASSERT_GT(server_->port(), 0);
    auto r = get("/iiif/3/pic/info.json", {{"Host", "tiles.example:8080"}});
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    const std::string &j = r->body;
    for (const char *field :
         {"\"@context\":\"http://iiif.io/api/image/3/context.json\"",
          "\"id\":\"http://tiles.example:8080/iiif/3/pic\"", "\"type\":\"ImageService3\"",
          "\"protocol\":\"http://iiif.io/api/image\"", "\"profile\":\"level2\"", "\"width\":1013",
          "\"height\":771", "\"maxArea\":16777216", "\"scaleFactors\":[1,2,4,8,16,32,64,128,256]",
          "{\"width\":507,\"height\":386}", "{\"width\":4,\"height\":4}", "\"sizeUpscaling\"",
          "\"mirroring\""}) {
        EXPECT_NE(j.find(field), std::string::npos) << field << "\n" << j;
    }
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");
    const std::string base = raw_request("GET /iiif/3/sub%2Fpic HTTP/1.1\r\nHost: h:1\r\n\r\n");
    EXPECT_EQ(base.substr(9, 3), "303");
    EXPECT_NE(base.find("Location: http://h:1/iiif/3/sub%2Fpic/info.json\r\n"), std::string::npos)
        << base;
}

TEST_F(Serve, TilesMatchTheExportedLevelsPixelForPixel) {
    const std::string r64 = images() + "/pic.r64", cr = images() + "/sub/pic.cr";
    const Image l0 = exported(r64, 0), l1 = exported(r64, 1), c1 = exported(cr, 1);
    // Full size region; a stored level by scale; the 507-wide right edge at 254 (level 1).
    EXPECT_EQ(compare(decode_png(get("/iiif/3/pic/100,200,300,150/max/0/default.png")->body),
                      crop(l0, 100, 200, 300, 150))
                  .first,
              0);
    EXPECT_EQ(compare(decode_png(get("/iiif/3/pic/full/507,/0/default.png")->body), l1).first, 0);
    EXPECT_EQ(compare(decode_png(get("/iiif/3/pic/506,0,507,386/254,/0/default.png")->body),
                      crop(l1, 253, 0, 254, 193))
                  .first,
              0);
    EXPECT_EQ(compare(decode_png(get("/iiif/3/sub%2Fpic/512,256,501,300/pct:50/0/color.png")->body),
                      crop(c1, 256, 128, 251, 150))
                  .first,
              0);
    // JPEG: within the codec's tolerance.
    const auto jpg =
        compare(decode_jpeg(get("/iiif/3/pic/256,256,256,256/max/0/default.jpg")->body),
                crop(l0, 256, 256, 256, 256));
    EXPECT_LT(jpg.second, 2.0);
    EXPECT_LT(jpg.first, 40);
}

TEST_F(Serve, ResamplingRotationAndQualities) {
    const Image l1 = exported(images() + "/pic.r64", 1);
    // 0,0,600,400 shown 200 wide: level 1 (300x200) averaged by 3:2 in each direction,
    // computed here with fractional box weights.
    const Image got = decode_png(get("/iiif/3/pic/0,0,600,400/200,/0/default.png")->body);
    ASSERT_EQ(got.w, 200);
    ASSERT_EQ(got.h, 133);
    int worst = 0;
    for (int y = 0; y < got.h; ++y) {
        for (int x = 0; x < got.w; ++x) {
            const double sx = 300.0 / 200, sy = 200.0 / 133;
            for (int k = 0; k < 3; ++k) {
                double sum = 0, area = 0;
                for (int v = static_cast<int>(y * sy); v < std::ceil((y + 1) * sy) && v < 200;
                     ++v) {
                    for (int u = static_cast<int>(x * sx); u < std::ceil((x + 1) * sx); ++u) {
                        const double wx =
                            std::min(u + 1.0, (x + 1) * sx) - std::max<double>(u, x * sx);
                        const double wy =
                            std::min(v + 1.0, (y + 1) * sy) - std::max<double>(v, y * sy);
                        sum += wx * wy * l1.at(u, v)[k];
                        area += wx * wy;
                    }
                }
                worst = std::max(
                    worst, std::abs(static_cast<int>(std::lround(sum / area)) - got.at(x, y)[k]));
            }
        }
    }
    EXPECT_LE(worst, 1);
    // Mirrored and turned: !90 puts the region's top-right pixel at the top-left, and
    // its top-left at the bottom-left... checked on every pixel against the crop.
    const Image region = crop(exported(images() + "/pic.r64", 0), 10, 20, 40, 30);
    const Image turned = decode_png(get("/iiif/3/pic/10,20,40,30/max/!90/default.png")->body);
    ASSERT_EQ(turned.w, 30);
    ASSERT_EQ(turned.h, 40);
    const Image r180 = decode_png(get("/iiif/3/pic/10,20,40,30/max/180/default.png")->body);
    const Image r270 = decode_png(get("/iiif/3/pic/10,20,40,30/max/270/default.png")->body);
    bool same = true;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            const unsigned char *s = region.at(x, y);
            // mirrored x' = 39 - x, then 90 clockwise: (29 - y, x')
            same &= std::equal(s, s + 3, turned.at(29 - y, 39 - x));
            same &= std::equal(s, s + 3, r180.at(39 - x, 29 - y));
            same &= std::equal(s, s + 3, r270.at(y, 39 - x));
        }
    }
    EXPECT_TRUE(same);
    // gray: BT.601 luma; bitonal: a 1-bit PNG of luma >= 128.
    const Image gray = decode_png(get("/iiif/3/pic/10,20,40,30/max/0/gray.png")->body);
    const auto bit = get("/iiif/3/pic/10,20,40,30/max/0/bitonal.png");
    EXPECT_EQ(static_cast<unsigned char>(bit->body[24]), 1); // IHDR bit depth
    const Image bitonal = decode_png(bit->body);
    ASSERT_EQ(gray.channels, 1);
    int off = 0;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 40; ++x) {
            const unsigned char *s = region.at(x, y);
            const int luma = (299 * s[0] + 587 * s[1] + 114 * s[2] + 500) / 1000;
            off += gray.at(x, y)[0] != luma;
            off += bitonal.at(x, y)[0] != (luma >= 128 ? 255 : 0);
        }
    }
    EXPECT_EQ(off, 0);
    // A grey file serves grey.
    EXPECT_EQ(decode_png(get("/iiif/3/grey/full/100,/0/default.png")->body).channels, 1);
}

TEST_F(Serve, DeepZoomLevelsMapOntoStoredLevels) {
    auto dzi = get("/dz/pic.dzi");
    ASSERT_TRUE(dzi);
    EXPECT_NE(dzi->body.find("TileSize=\"256\" Overlap=\"0\" Format=\"jpg\""), std::string::npos);
    EXPECT_NE(dzi->body.find("Width=\"1013\" Height=\"771\""), std::string::npos);
    const Image l0 = exported(images() + "/pic.r64", 0), l2 = exported(images() + "/pic.r64", 2);
    // The last level (full size), its bottom-right tile of partial width and height.
    const Image edge = decode_jpeg(get("/dz/pic_files/10/3_3.jpg")->body);
    EXPECT_LT(compare(edge, crop(l0, 768, 768, 245, 3)).second, 3.0);
    // A middle level: dz 8 is stored level 2 (254x193), one partial tile.
    // the same bytes as IIIF's view of that level, which matches the level exactly in PNG.
    const std::string mid = get("/dz/pic_files/8/0_0.jpg")->body;
    EXPECT_EQ(mid, get("/iiif/3/pic/full/254,193/0/default.jpg")->body);
    EXPECT_EQ(compare(decode_png(get("/iiif/3/pic/full/254,193/0/default.png")->body), l2).first,
              0);
    EXPECT_LT(compare(decode_jpeg(mid), l2).second, 6.0);
    // The first level: 1x1, reduced from the last stored level.
    const Image one = decode_jpeg(get("/dz/pic_files/0/0_0.jpg")->body);
    EXPECT_EQ(one.w * one.h, 1);
    EXPECT_EQ(status("/dz/pic_files/10/4_0.jpg"), 404);
    EXPECT_EQ(status("/dz/pic_files/11/0_0.jpg"), 404);
    EXPECT_EQ(status("/dz/nothing.dzi"), 404);
}

TEST_F(Serve, HttpConformance) {
    auto first = get("/iiif/3/pic/0,0,256,256/max/0/default.jpg");
    ASSERT_TRUE(first);
    const std::string etag = first->get_header_value("ETag");
    ASSERT_FALSE(etag.empty());
    EXPECT_NE(first->get_header_value("Cache-Control").find("public, max-age="), std::string::npos);
    auto again = get("/iiif/3/pic/0,0,256,256/max/0/default.jpg", {{"If-None-Match", etag}});
    EXPECT_EQ(again->status, 304);
    EXPECT_EQ(again->get_header_value("Access-Control-Allow-Origin"), "*");
    // Another request of the same file has another tag.
    EXPECT_NE(get("/iiif/3/pic/0,0,256,256/max/0/gray.jpg")->get_header_value("ETag"), etag);
    httplib::Client c("127.0.0.1", server_->port());
    auto head = c.Head("/iiif/3/pic/0,0,256,256/max/0/default.jpg");
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(first->body.size()));
    auto options = c.Options("/iiif/3/pic/info.json");
    EXPECT_EQ(options->status, 204);
    EXPECT_NE(options->get_header_value("Access-Control-Allow-Methods").find("GET"),
              std::string::npos);
    EXPECT_EQ(c.Post("/iiif/3/pic/info.json", "x", "text/plain")->status, 405);
    EXPECT_EQ(c.Delete("/")->status, 405);
    // The index links both twins by their full names, and images in subfolders.
    const std::string index = get("/")->body;
    for (const char *link :
         {"/view/twin.r64\"", "/view/twin.cr\"", "/view/sub%2Fpic\"", "/view/grey\""}) {
        EXPECT_NE(index.find(link), std::string::npos) << link;
    }
    EXPECT_EQ(index.find("escape"), std::string::npos);
    EXPECT_EQ(status("/iiif/3/twin/info.json"), 404);
    EXPECT_EQ(status("/iiif/3/twin.cr/info.json"), 200);
    EXPECT_EQ(status("/view/sub%2Fpic"), 200);
    EXPECT_EQ(status("/osd/openseadragon.min.js"), 200);
    EXPECT_EQ(status("/osd/images/home_rest.png"), 200);
}

TEST_F(Serve, RefusalsGetTheirStatusAndTheServerGoesOn) {
    const std::pair<const char *, int> cases[] = {
        {"/iiif/3/pic/abc/max/0/default.jpg", 400},
        {"/iiif/3/pic/full/0,/0/default.jpg", 400},
        {"/iiif/3/pic/2000,0,10,10/max/0/default.jpg", 400},  // outside the picture
        {"/iiif/3/pic/full/^20000,20000/0/default.jpg", 400}, // above maxArea
        {"/iiif/3/pic/full/2000,/0/default.jpg", 400},        // upscaling without '^'
        {"/iiif/3/pic/full/max/0/sepia.jpg", 400},
        {"/iiif/3/pic/full/max/0/default.webp", 400},
        {"/iiif/3/pic/full/max/45/default.jpg", 400},
        {"/iiif/3/nothing/info.json", 404},
        {"/iiif/3/..%2Foutside/info.json", 404},
        {"/iiif/3/%2e%2e%2Foutside/info.json", 404},
        {"/iiif/3/sub%2F..%2F..%2Foutside/info.json", 404},
        {"/iiif/3/%2Fetc%2Fpasswd/info.json", 404},
        {"/iiif/3/escape/info.json", 404}, // a symlink that leaves the folder
        {"/view/..%2Foutside", 404},
        {"/nothing", 404},
    };
    for (const auto &[target, want] : cases) {
        EXPECT_EQ(status(target), want) << target;
    }
    // An over-long request line: 414, and the server still answers.
    EXPECT_EQ(raw_request("GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n")
                  .substr(9, 3),
              "414");
    EXPECT_EQ(status("/iiif/3/pic/info.json"), 200);
}

TEST_F(Serve, DamagedReplacedAndRemovedFiles) {
    // A cr file cut short: its last-written tile cannot be read (500, the reason in the
    // log); the tiles before it and the next request are served.
    const std::string cut = images() + "/cut.cr";
    fs::copy_file(images() + "/sub/pic.cr", cut);
    fs::resize_file(cut, fs::file_size(cut) - 2000);
    int failed = 0;
    for (int ty = 0; ty < 771; ty += 128) {
        for (int tx = 0; tx < 1013; tx += 128) {
            const int st = status("/iiif/3/cut/" + std::to_string(tx) + "," + std::to_string(ty) +
                                  ",128,128/max/0/default.png");
            EXPECT_TRUE(st == 200 || st == 500) << st;
            failed += st == 500;
        }
    }
    EXPECT_GT(failed, 0);
    EXPECT_EQ(status("/iiif/3/cut/0,0,128,128/max/0/default.png"), 200);
    EXPECT_NE(slurp(dir_->file("server.log")).find(" 500 "), std::string::npos);
    // Replaced while served (a new file renamed over it): the new one is read.
    const std::string swap = images() + "/swap.r64";
    fs::copy_file(images() + "/grey.r64", swap);
    ASSERT_NE(get("/iiif/3/swap/info.json")->body.find("\"width\":1013"), std::string::npos);
    const std::string small = dir_->file("small.png");
    write_picture(small, 300, 200);
    run_tool("import " + small + " " + images() + "/swap.tmp.r64");
    fs::rename(images() + "/swap.tmp.r64", swap);
    EXPECT_NE(get("/iiif/3/swap/info.json")->body.find("\"width\":300"), std::string::npos);
    EXPECT_EQ(
        compare(decode_png(get("/iiif/3/swap/full/max/0/default.png")->body), exported(swap, 0))
            .first,
        0);
    fs::remove(swap);
    EXPECT_EQ(status("/iiif/3/swap/info.json"), 404);
    EXPECT_EQ(status("/iiif/3/swap/full/max/0/default.png"), 404);
}

TEST_F(Serve, StopsCleanlyOnSigterm) {
    ServerProcess other(images(), dir_->file("other.log"), {"--workers", "1"});
    ASSERT_GT(other.port(), 0);
    EXPECT_EQ(other.stop(), 0);
}

// `r64tool serve` runs the server program found beside it; without one it says so.
TEST_F(Serve, ToolWithoutTheServerProgramSaysSo) {
    const std::string lone = dir_->file("lone");
    ASSERT_EQ(std::system(("mkdir -p " + lone + " && cp " + kTool + " " + lone).c_str()), 0);
    const std::string err = dir_->file("lone.err");
    const int rc = std::system((lone + "/r64tool serve " + images() + " 2>" + err).c_str());
    EXPECT_EQ(WEXITSTATUS(rc), 1);
    EXPECT_NE(slurp(err).find("r64tool serve: r64tool-serve: cannot start the server"),
              std::string::npos)
        << slurp(err);
}

// A real browser opens the viewer and draws the picture.
TEST_F(Serve, BrowserDrawsTheViewer) {
    const char *browser = nullptr;
    for (const char *b : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(b, X_OK) == 0) {
            browser = b;
        }
    }
    if (browser == nullptr) {
        GTEST_SKIP() << "needs Chromium (Debian package chromium); none is installed";
    }
    const Image whole = exported(images() + "/pic.r64", 0);
    for (const char *name : {"pic", "sub%2Fpic"}) {
        const std::string shot =
            dir_->file(std::string("shot-") + (name[0] == 's' ? "cr" : "r64") + ".png");
        const std::string profile = dir_->file("profile");
        // Where the viewer put the picture: the first and last pixels that are not the
        // page's background along the middle row and column. A slow server (a sanitizer
        // build under load) may not have delivered the tiles within the browser's time
        // budget: the screenshot is taken again with a longer budget, up to three times.
        Image s;
        int left = 0, right = 0, top = 0, bottom = 0;
        for (int budget : {8000, 20000, 40000}) {
            const std::string cmd =
                std::string(browser) +
                " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
                " --disable-background-networking --disable-component-update"
                " --disable-sync --hide-scrollbars --user-data-dir=" +
                profile + " --window-size=800,600 --virtual-time-budget=" + std::to_string(budget) +
                " --screenshot=" + shot + " http://127.0.0.1:" + std::to_string(server_->port()) +
                "/view/" + name + " >/dev/null 2>&1";
            ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
            s = decode_png(slurp(shot));
            ASSERT_EQ(s.w, 800) << shot;
            const auto background = [&](int x, int y) {
                return s.at(x, y)[0] == 17 && s.at(x, y)[1] == 17;
            };
            left = 0, right = s.w - 1, top = 0, bottom = s.h - 1;
            while (left < s.w / 2 && background(left, s.h / 2))
                ++left;
            while (right > s.w / 2 && background(right, s.h / 2))
                --right;
            while (top < s.h / 2 && background(s.w / 2, top))
                ++top;
            while (bottom > s.h / 2 && background(s.w / 2, bottom))
                --bottom;
            if (right - left > 200)
                break;
        }
        ASSERT_GT(right - left, 200) << "no picture in " << shot;
        EXPECT_NEAR(static_cast<double>(right - left) / (bottom - top), 1013.0 / 771.0, 0.05);
        // The centre patch of the screenshot against the picture scaled by the same amount.
        const double scale = 1013.0 / (right - left + 1);
        double diff = 0;
        int n = 0;
        for (int y = 250; y < 350; ++y) {
            for (int x = 350; x < 450; ++x) {
                const int sx = std::min(1012, static_cast<int>((x - left + 0.5) * scale));
                const int sy = std::min(770, static_cast<int>((y - top + 0.5) * scale));
                for (int k = 0; k < 3; ++k) {
                    diff += std::abs(s.at(x, y)[k] - whole.at(sx, sy)[k]);
                    ++n;
                }
            }
        }
        EXPECT_LT(diff / n, 12.0) << name << ": the screenshot's centre is not the picture";
    }
}

} // namespace
