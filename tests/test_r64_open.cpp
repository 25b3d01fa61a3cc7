// R64Open: creating and opening r64 files, every error code of the open, the level
// table, the level test with the 'B' presence rule, r64_ctl and r64_init.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/file/r64_geometry.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::FakeDispatcher;
using r64_test::r64_header;

namespace {

constexpr int kRW = O_RDWR | O_CREAT;

// Releases a handle opened without the tile cache code: its descriptor, its tile
// buffers and the handle itself.
struct Release {
    void operator()(R64_FILE *f) const {
        u_close(f->fd);
        for (R64_CACHE_ENT &e : f->cache) {
            free(e.buf);
        }
        free(f);
    }
};
using Handle = std::unique_ptr<R64_FILE, Release>;

class R64Open : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        ent_len = 0;
        r64_error = 0;
    }

    // A new file of the given header followed by `extra` zero bytes.
    std::string crafted(const Bytes &header, size_t extra = 0) {
        Bytes b = header;
        b.resize(b.size() + extra, 0);
        const std::string p = dir.file("f" + std::to_string(files_++));
        r64_test::write_bytes(p, b);
        return p;
    }
    static R64_FILE *open_ro(const std::string &p) {
        return r64_open_file(p.c_str(), O_RDONLY, 0666, 'P', 0, 0);
    }
    static int levels_present(R64_FILE *f) {
        int n = 0;
        while (r64_check_level(f, n) != 0) {
            ++n;
        }
        return n;
    }

    r64_test::ScratchDir dir;
    int files_ = 0;
};

} // namespace

// Faults caught: wrong offsets (room factor, 32-bit overflow of the largest 'P' image),
// the 3-pixel level rule off by one, negative sizes making levels, a level present one
// byte short or its end compared as a signed int, levels outside the tables read.
TEST_F(R64Open, LevelTableAndLevelTest) {
    struct Case {
        char type;
        int w, h, levels;
    } cases[] = {{'G', 64, 64, 5},     {'P', 64, 64, 5},       {'G', 100, 50, 5}, {'G', 3, 1000, 1},
                 {'G', 2, 1000, 0},    {'G', 1000, 1, 0},      {'G', 5, 5, 2},    {'G', -5, 64, 0},
                 {'P', 64, -32768, 0}, {'P', 32767, 32767, 14}};
    for (const Case &c : cases) {
        const std::string p = crafted(r64_header(c.type, c.w, c.h));
        Handle f(open_ro(p));
        ASSERT_NE(f.get(), nullptr) << c.w << "x" << c.h;
        EXPECT_EQ(r64_check_level(f.get(), 0), 0); // the file is the header alone
        uint64_t end = 8;
        for (int l = 0, w = c.w, h = c.h; l < R64_LEVELS; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
            const bool kept = l < c.levels;
            EXPECT_EQ(f->level_ofs[l], kept ? end : 0) << c.type << c.w << " level " << l;
            EXPECT_EQ(f->level_w[l], kept ? w : 0) << c.w << " level " << l;
            EXPECT_EQ(f->level_h[l], kept ? h : 0) << c.w << " level " << l;
            if (kept) {
                end += (c.type == 'P' ? 3ull : 1ull) * static_cast<uint64_t>(w) * h;
                ASSERT_EQ(truncate(p.c_str(), static_cast<off_t>(end - 1)), 0);
                EXPECT_EQ(levels_present(f.get()), l) << c.w << " level " << l;
                ASSERT_EQ(truncate(p.c_str(), static_cast<off_t>(end)), 0);
                EXPECT_EQ(levels_present(f.get()), l + 1) << c.w << " level " << l;
            }
        }
        EXPECT_LT(end, 1ull << 32);
        for (const int l : {-1, c.levels, 32, INT32_MIN}) {
            EXPECT_EQ(r64_check_level(f.get(), l), 0) << l;
        }
    }
}

// Faults caught: a 'B' level present only with its eightfold area, or before its last
// band's packed bytes; the spare row byte missing, or added when widths are multiples of 8.
TEST_F(R64Open, BitLevelsAndRowStrides) {
    // 100 x 100: rows of ceil(100 / 8) = 13 bytes; the last band starts at row 64.
    const std::string p = crafted(r64_header('B', 100, 100), 64 * 13 + 36 * 13 - 1);
    Handle f(open_ro(p));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(f->level_ofs[1], 8u + 10000u);
    EXPECT_EQ(r64_check_level(f.get(), 0), 0);
    ASSERT_EQ(truncate(p.c_str(), 1308), 0);
    EXPECT_EQ(r64_check_level(f.get(), 0), 1);

    struct Stride {
        int width0, level, level_w, stride;
    } strides[] = {{1020, 3, 128, 17}, {1024, 3, 128, 16}, {1000, 1, 500, 63}};
    for (const Stride &c : strides) {
        Handle s(open_ro(crafted(r64_header('B', c.width0, 1024))));
        ASSERT_NE(s.get(), nullptr);
        ASSERT_EQ(s->level_w[c.level], c.level_w);
        // The second band starts 64 rows down; its second tile after one full tile.
        const uint32_t band = s->level_ofs[c.level] + 64u * c.stride;
        EXPECT_EQ(r64::tile_file_offset(s.get(), c.level, 0, 64), band) << c.width0;
        EXPECT_EQ(r64::tile_file_offset(s.get(), c.level, 64, 64), band + 64u * 8u) << c.width0;
    }
}

// Faults caught: creation writing little-endian fields, the wrong type byte, a file
// longer than its header, the mode ignored; a refused creation not leaving its header,
// or a second open of that file accepting it.
TEST_F(R64Open, Creation) {
    const std::string p = dir.file("new.r64");
    Handle f(r64_open_file(p.c_str(), kRW | O_TRUNC, 0600, 'P', 300, 0x1234));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(r64_test::read_bytes(p), (Bytes{'R', '6', '4', 'P', 0x01, 0x2C, 0x12, 0x34}));
    EXPECT_EQ(f->header.width, 300);
    EXPECT_EQ(f->fctl, O_RDWR);
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);

    const std::string z = dir.file("zero.r64"), x = dir.file("x.r64");
    EXPECT_EQ(r64_open_file(z.c_str(), kRW, 0644, 'G', 0, 10), nullptr);
    EXPECT_EQ(r64_error, -5);
    EXPECT_EQ(r64_test::read_bytes(z), (Bytes{'R', '6', '4', 'G', 0, 0, 0, 10}));
    r64_error = 0;
    EXPECT_EQ(r64_open_file(x.c_str(), kRW, 0644, 'X', 10, 10), nullptr);
    EXPECT_EQ(r64_error, -5);
    EXPECT_EQ(r64_test::read_bytes(x), (Bytes{'R', '6', '4', 'X', 0, 10, 0, 10}));
}

// Faults caught: an open error given the wrong code, a read-only open writing to an
// empty or short file, a short or zero-width header accepted.
TEST_F(R64Open, OpenErrorCodes) {
    const Bytes short_header{'R', '6', '4', 'G', 0};
    struct Case {
        std::string path;
        int flags, code;
    } cases[] = {
        {dir.file("missing"), O_RDONLY, -1},
        {dir.path(), O_RDONLY, -1},            // a directory: the header read fails
        {crafted({}), O_RDONLY, -4},           // empty, and no O_RDWR to create it
        {crafted({}), O_WRONLY, -1},           // a write-only descriptor cannot be read
        {crafted(short_header), O_RDONLY, -4}, // short, read-only or not
        {crafted(short_header), O_RDWR, -4},
        {crafted({'R', '6', '5', 'G', 0, 8, 0, 8}, 100), O_RDONLY, -5},
        {crafted({'R', '6', '4', 'g', 0, 8, 0, 8}, 100), O_RDONLY, -5},
        {crafted({'C', 'R', 0, 0, 0, 8, 0, 8}, 100), O_RDONLY, -5},
        {crafted(r64_header('G', 0, 8), 100), O_RDONLY, -5},
        {crafted(r64_header('P', 8, 0), 100), O_RDONLY, -5},
    };
    for (const Case &c : cases) {
        const long size = r64_test::file_size(c.path);
        r64_error = 0;
        EXPECT_EQ(r64_open_file(c.path.c_str(), c.flags, 0, 'G', 8, 8), nullptr) << c.path;
        EXPECT_EQ(r64_error, c.code) << c.path;
        EXPECT_EQ(r64_test::file_size(c.path), size) << c.path;
    }
    if (geteuid() != 0) { // root reads whatever the permissions say
        const std::string np = crafted(r64_header('G', 8, 8));
        ASSERT_EQ(chmod(np.c_str(), 0), 0);
        EXPECT_EQ(open_ro(np), nullptr);
        EXPECT_EQ(r64_error, -1);
    }
}

// Faults caught: an existing file's header rewritten from the arguments when opened
// read-write, fctl not recording the mode, r64_error touched by a successful open.
TEST_F(R64Open, ExistingFileOpenedReadWrite) {
    const std::string p = crafted(r64_header('G', 20, 30), 17);
    const Bytes before = r64_test::read_bytes(p);
    r64_error = 123;
    Handle f(r64_open_file(p.c_str(), O_RDWR, 0, 'P', 99, 99));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(std::tuple(r64_error, f->fctl, f->header.type, f->header.width),
              std::tuple(123, 2, 'G', 20));
    EXPECT_EQ(r64_test::read_bytes(p), before);
}

// Faults caught: r64_init or the open's defaults wrong, r64_ctl accepting a bad rc_type
// or command or not clearing r64_error, three background bytes copied for 'G'.
TEST_F(R64Open, InitAndSettings) {
    r64_error = -3;
    r64_init();
    EXPECT_EQ(std::tuple(ent_len, r64_error), std::tuple(320, 0));
    Handle g(open_ro(crafted(r64_header('G', 8, 8))));
    Handle p(open_ro(crafted(r64_header('P', 8, 8))));
    EXPECT_EQ(p->fctl, 0);
    EXPECT_EQ(p->background[0] | p->background[1] | p->background[2], 0);
    EXPECT_EQ(r64_ctl(g.get(), 0, 2), -1);
    EXPECT_EQ(r64_error, -8);
    EXPECT_EQ(g->rc_type, 1);
    r64_error = 0;
    EXPECT_EQ(r64_ctl(g.get(), 7), -1);
    EXPECT_EQ(r64_error, -8);
    EXPECT_EQ(r64_ctl(g.get(), 0, 0), 0);
    EXPECT_EQ(r64_error, 0);
    EXPECT_EQ(g->rc_type, 0);
    const char px[3] = {'\x11', '\x22', '\x33'};
    EXPECT_EQ(r64_ctl(g.get(), 1, px), 0);
    EXPECT_EQ(g->background[0], '\x11');
    EXPECT_EQ(g->background[1], 0);
    EXPECT_EQ(r64_ctl(p.get(), 1, px), 0);
    EXPECT_EQ(std::memcmp(p->background, px, 3), 0);
}

// Faults caught (through the dispatcher as fault injector): a failed or short header
// write during creation reported as success, EAGAIN not retried, a failed header read
// taken for a short file, a failed open leaking its descriptor.
TEST_F(R64Open, InjectedFileFaults) {
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1; // every read-write open goes to the dispatcher
    constexpr int kFd = 70000;
    int write_result = 0, eagain = 0, read_result = 0;
    fake.answer = [&](UFR_REQ *req) {
        switch (req->ufr_code) {
        case UFR_CODE_OPEN64:
            return eagain-- > 0 ? FakeDispatcher::fail(-1, EAGAIN) : FakeDispatcher::ok(kFd);
        case UFR_CODE_READ:
            return read_result < 0 ? FakeDispatcher::fail(-1, EIO) : FakeDispatcher::ok(0);
        case UFR_CODE_WRITE:
            return write_result < 0 ? FakeDispatcher::fail(-1, ENOSPC)
                                    : FakeDispatcher::ok(write_result);
        default:
            return FakeDispatcher::ok(0);
        }
    };
    const std::string p = dir.file("remote.r64");
    // A failed, empty or short header write, then a failed header read.
    for (const auto &[w, r] : {std::pair{-1, 0}, {0, 0}, {7, 0}, {8, -1}}) {
        write_result = w;
        read_result = r;
        fake.requests.clear();
        r64_error = 0;
        EXPECT_EQ(r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8), nullptr) << w;
        EXPECT_EQ(r64_error, -1);
        ASSERT_FALSE(fake.requests.empty());
        EXPECT_EQ(fake.requests.back().ufr_code, UFR_CODE_CLOSE);
        EXPECT_EQ(fake.requests.back().args[0].value, kFd);
    }

    read_result = 0;
    eagain = 2;
    Handle f(r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(f->fd, kFd);
    EXPECT_EQ(eagain, -1); // three opens: two refused with EAGAIN, then one granted
}
