// Headers that claim more than their file holds: the library and r64tool refuse them
// with a clear error before allocating for them, stay within a small memory limit
// (prlimit --as; not in sanitizer builds, whose shadow memory needs a large address
// space), and leave no file behind. Each input is crafted here from a few bytes.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "r64/r64.h"
#include "scratch_dir.h"

namespace {

using r64_test::Bytes;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr long kMiB = 1L << 20;

// Runs fn in a child process under an address-space limit of limit_mib MiB (none in
// sanitizer builds); its result, or 128 + the signal that ended it.
template <class Fn> int in_child(long limit_mib, Fn fn) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{rlim_t(limit_mib * kMiB), rlim_t(limit_mib * kMiB)};
        if (!kSanitized)
            setrlimit(RLIMIT_AS, &limit);
        _exit(fn());
    }
    int rc = 0;
    waitpid(pid, &rc, 0);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
}

struct Result {
    int status; // the exit status, or 128 + the signal that ended the tool
    std::string out, err;
};

class InputBounds : public ::testing::Test {
  protected:
    // r64tool ARGS, under an address-space limit of limit_mib MiB outside sanitizer builds.
    Result run(const std::string &args, long limit_mib) {
        const std::string out = io_.file("stdout.txt"), err = io_.file("stderr.txt");
        const std::string limit =
            kSanitized ? "" : "prlimit --as=" + std::to_string(limit_mib * kMiB) + " ";
        const int rc = std::system(
            (limit + R64_BUILD_DIR "/r64tool " + args + " >" + out + " 2>" + err).c_str());
        const Bytes o = r64_test::read_bytes(out), e = r64_test::read_bytes(err);
        const int status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
        return {status, {o.begin(), o.end()}, {e.begin(), e.end()}};
    }
    std::string f(const std::string &name) const { return dir_.file(name); }
    long files() const { return std::distance(fs::directory_iterator(dir_.path()), {}); }

    // A 64 x 64 colour picture as r64 and as cr with 32-pixel tiles (JPEG at level 0).
    void make_cr() {
        Bytes ppm{'P', '6', '\n', '6', '4', ' ', '6', '4', '\n', '2', '5', '5', '\n'};
        for (int i = 0; i < 64 * 64 * 3; ++i)
            ppm.push_back(static_cast<unsigned char>((i % 192) + (i / 192) % 50));
        r64_test::write_bytes(f("in.ppm"), ppm);
        ASSERT_EQ(run("import " + f("in.ppm") + " " + f("in.r64"), 64).status, 0);
        ASSERT_EQ(run("tocr " + f("in.r64") + " " + f("in.cr") + " --tile 32", 64).status, 0);
    }

    r64_test::ScratchDir dir_, io_; // the files; the tool's output
};

// Where the first tile record's JPEG stream keeps its frame size (SOF0, after the
// marker, the segment length and the precision: height, then width).
size_t frame_size_at(const Bytes &cr) {
    const size_t ofs = size_t(cr[16]) << 24 | cr[17] << 16 | cr[18] << 8 | cr[19];
    for (size_t i = ofs; i + 1 < cr.size(); ++i)
        if (cr[i] == 0xFF && cr[i + 1] == 0xC0)
            return i + 5;
    return 0;
}

// A 16-byte cr file, header only, 32767 x 32767 in tiles of 1 pixel: the table it claims
// would be 17 GB. info lists every tile as damaged and verify counts them, each level's
// missing records in one line, without reading or holding them; nothing is written.
TEST_F(InputBounds, CrHeaderWithoutItsTable) {
    r64_test::write_bytes(f("h.cr"), r64_test::cr_header(32767, 32767, 1, 0));
    long long total = 0; // every level down to sides of 3, one tile a pixel
    for (long long w = 32767; w >= 3; w = (w + 1) / 2)
        total += w * w;
    const long before = files();
    for (const std::string json : {"", " --json"}) {
        const Result r = run("info " + f("h.cr") + json, 64);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(json.empty() ? "1073676289       0       0              0  1073676289"
                                          : "\"damaged\":1073676289,"),
                  std::string::npos)
            << r.out;
    }
    const Result v = run("verify " + f("h.cr"), 64);
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.out.find("damaged: level 0 tile (0, 0): its record and those of the level's "
                         "1073676288 tiles after it lie beyond the end of the file"),
              std::string::npos)
        << v.out;
    EXPECT_NE(v.err.find(std::to_string(total) + " of " + std::to_string(total) +
                         " tiles damaged; the file is not whole"),
              std::string::npos)
        << v.err;
    EXPECT_EQ(files(), before);
}

// A valid cr file whose tile (0, 0) JPEG header claims 65000 x 65000 (16.9 GB of pixels):
// the decoder refuses it as a format error, the public decode refuses a header its
// stream cannot describe, verify names the tile and export fails leaving no target.
TEST_F(InputBounds, JpegTileHeaderLargerThanItsTile) {
    make_cr();
    Bytes cr = r64_test::read_bytes(f("in.cr"));
    const size_t at = frame_size_at(cr);
    ASSERT_NE(at, 0u);
    ASSERT_EQ(Bytes(cr.begin() + at, cr.begin() + at + 4), (Bytes{0, 32, 0, 32}));
    std::fill_n(cr.begin() + at, 4, 0);
    cr[at] = cr[at + 2] = 0xFD; // 0xFDE8 = 65000
    cr[at + 1] = cr[at + 3] = 0xE8;
    r64_test::write_bytes(f("big.cr"), cr);

    // In a child under a 256 MiB address space: a decode that allocated for the header
    // would fail there (or, unlimited, take 16.9 GB) instead of refusing it.
    const int failed = in_child(256, [&] {
        check_endian();
        r64_init();
        CR_FILE *file = cr_open_file(f("big.cr").c_str(), O_RDONLY, 0666, 0, 0, 0);
        CR_MEM_TBL rec{};
        if (file == nullptr || cr_read(&rec, file, 0, 0, 0) != 0)
            return 1;
        int w = -1, h = -1;
        int bad = 0;
        if (jpeg_uncompress(&w, &h, rec.buf, static_cast<int>(rec.size)) != nullptr || w != 0 ||
            h != 0)
            bad |= 2; // the public decode: refused, no size reported
        free_cr_mem_tbl(&rec);
        CR_DECODER *d = cr_open_decoder(file, 0);
        if (cr_decode_tile(&w, &h, d, 0, 0, 0) != nullptr || r64_error != R64_ERR_FORMAT)
            bad |= 4; // the tile: a format error
        unsigned char *other = cr_decode_tile(&w, &h, d, 32, 32, 0);
        if (other == nullptr)
            bad |= 8; // its neighbour still decodes
        std::free(other);
        cr_close_decoder(d);
        cr_close_file(file);
        return bad;
    });
    EXPECT_EQ(failed, 0);

    const long before = files();
    const Result v = run("verify " + f("big.cr"), 64);
    EXPECT_EQ(v.status, 1);
    EXPECT_NE(v.out.find("level 0 tile (0, 0): JPEG data do not decode"), std::string::npos)
        << v.out;
    EXPECT_NE(v.out.find("1 damaged"), std::string::npos) << v.out;
    const Result e = run("export " + f("big.cr") + " " + f("out.png"), 64);
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.err.find("big.cr"), std::string::npos) << e.err;
    EXPECT_EQ(files(), before);
}

// Running out of memory is a message and status 1, not an abort: exporting a 32767-pixel
// wide level needs a band of 6 MiB, more than a 16 MiB address space leaves the tool
// once the file is open (a little less and the open itself says it is out of memory).
TEST_F(InputBounds, OutOfMemoryIsAnErrorNotASignal) {
    if (kSanitized)
        GTEST_SKIP() << "needs an address-space limit";
    Bytes pgm{'P', '5', '\n', '3', '2', '7', '6', '7', ' ', '3', '\n', '2', '5', '5', '\n'};
    pgm.resize(pgm.size() + 32767 * 3, 0x80);
    r64_test::write_bytes(f("wide.pgm"), pgm);
    ASSERT_EQ(run("import " + f("wide.pgm") + " " + f("wide.r64") + " --type P", 64).status, 0);
    const long before = files();
    const Result r = run("export " + f("wide.r64") + " " + f("wide.png"), 16);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_EQ(files(), before);
}

} // namespace
