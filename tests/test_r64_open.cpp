// R64Open: creating and opening r64 files, every error code of the open, the level
// table, the level test with the 'B' presence rule, r64_ctl and r64_init.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using namespace r64_test;
using r64_test::r64_header;

namespace {

constexpr int kRW = O_RDWR | O_CREAT;

struct Release {
    void operator()(R64_FILE *f) const { r64_close_file(f); }
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
        write_bytes(p, b);
        return p;
    }
    static R64_FILE *open_ro(const std::string &p) {
        return r64_open_file(p.c_str(), O_RDONLY, 0666, 'P', 0, 0);
    }

    ScratchDir dir;
    int files_ = 0;
};

} // namespace

// Faults caught: wrong offsets (room factor, 32-bit overflow of the largest 'P' image),
// the 3-pixel level rule off by one, negative sizes making levels, a level present one
// byte short or its end compared as a signed int, levels outside the tables read; a 'B'
// level present only with its eightfold area, or before its last band's packed bytes.
TEST_F(R64Open, LevelTableAndLevelTest) {
    const std::tuple<char, int, int, int> cases[] = {{'G', 100, 50, 5},
                                                     {'G', 3, 1000, 1},
                                                     {'G', 2, 1000, 0},
                                                     {'G', -5, 64, 0},
                                                     {'P', 32767, 32767, 14}};
    for (const auto &[type, w0, h0, levels] : cases) {
        const std::string p = crafted(r64_header(type, w0, h0));
        Handle f(open_ro(p));
        ASSERT_NE(f.get(), nullptr) << w0 << "x" << h0;
        uint64_t end = 8;
        for (int l = 0, w = w0, h = h0; l < R64_LEVELS; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
            const bool kept = l < levels;
            EXPECT_EQ(std::tuple(f->level_ofs[l], f->level_w[l], f->level_h[l]),
                      kept ? std::tuple(uint32_t(end), w, h) : std::tuple(0u, 0, 0))
                << w0 << " level " << l;
            if (kept) {
                end += (type == 'P' ? 3ull : 1ull) * static_cast<uint64_t>(w) * h;
                ASSERT_EQ(truncate(p.c_str(), static_cast<off_t>(end - 1)), 0);
                EXPECT_EQ(r64_check_level(f.get(), l), 0) << w0 << " level " << l;
                ASSERT_EQ(truncate(p.c_str(), static_cast<off_t>(end)), 0);
                EXPECT_EQ(r64_check_level(f.get(), l), 1) << w0 << " level " << l;
            }
        }
        EXPECT_EQ(r64_check_level(f.get(), -1) + r64_check_level(f.get(), 32) +
                      r64_check_level(f.get(), INT32_MIN),
                  0);
    }
    // 100 x 100: rows of ceil(100 / 8) = 13 bytes; the last band starts at row 64.
    const std::string p = crafted(r64_header('B', 100, 100), 64 * 13 + 36 * 13 - 1);
    Handle f(open_ro(p));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(r64_check_level(f.get(), 0), 0);
    ASSERT_EQ(truncate(p.c_str(), 1308), 0);
    EXPECT_EQ(r64_check_level(f.get(), 0), 1);
}

// Faults caught: creation writing little-endian fields or a file longer than its header,
// the mode ignored; an existing file's header rewritten from the arguments, fctl not
// recording the mode, r64_error touched by a successful open; a refused creation not
// leaving its header.
TEST_F(R64Open, CreationAndReopening) {
    const std::string p = dir.file("new.r64");
    const Bytes header{'R', '6', '4', 'P', 0x01, 0x2C, 0x12, 0x34};
    Handle f(r64_open_file(p.c_str(), kRW | O_TRUNC, 0600, 'P', 300, 0x1234));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(read_bytes(p), header);
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0600u);
    r64_error = 123;
    Handle again(r64_open_file(p.c_str(), O_RDWR, 0, 'G', 99, 99));
    ASSERT_NE(again.get(), nullptr);
    EXPECT_EQ(std::tuple(r64_error, again->fctl, again->header.type, again->header.width),
              std::tuple(123, O_RDWR, 'P', 300));
    EXPECT_EQ(read_bytes(p), header);

    const std::string x = dir.file("x.r64");
    EXPECT_TRUE(r64_open_file(x.c_str(), kRW, 0644, 'X', 10, 10) == nullptr && r64_error == -5);
    EXPECT_EQ(read_bytes(x), (Bytes{'R', '6', '4', 'X', 0, 10, 0, 10}));
}

// Faults caught: an open error given the wrong code, a read-only open writing to an
// empty or short file, a short or zero-width header accepted.
TEST_F(R64Open, OpenErrorCodes) {
    struct Case {
        std::string path;
        int flags, code;
    } cases[] = {
        {dir.file("missing"), O_RDONLY, -1},
        {crafted({}), O_RDONLY, -4}, // empty, and no O_RDWR to create it
        {crafted({}), O_WRONLY, -1}, // a write-only descriptor cannot be read
        {crafted({'R', '6', '4', 'G', 0}), O_RDWR, -4},
        {crafted({'R', '6', '5', 'G', 0, 8, 0, 8}, 100), O_RDONLY, -5},
        {crafted({'R', '6', '4', 'g', 0, 8, 0, 8}, 100), O_RDONLY, -5},
        {crafted(r64_header('G', 0, 8), 100), O_RDONLY, -5},
    };
    for (const Case &c : cases) {
        const long size = file_size(c.path);
        r64_error = 0;
        EXPECT_EQ(r64_open_file(c.path.c_str(), c.flags, 0, 'G', 8, 8), nullptr) << c.path;
        EXPECT_EQ(r64_error, c.code) << c.path;
        EXPECT_EQ(file_size(c.path), size) << c.path;
    }
}

// Faults caught: r64_init or the open's defaults wrong, r64_ctl accepting a bad rc_type
// or command or not clearing r64_error, three background bytes copied for 'G'.
TEST_F(R64Open, InitAndSettings) {
    r64_error = -3;
    r64_init();
    EXPECT_EQ(std::tuple(ent_len, r64_error), std::tuple(320, 0));
    Handle g(open_ro(crafted(r64_header('G', 8, 8))));
    Handle p(open_ro(crafted(r64_header('P', 8, 8))));
    EXPECT_EQ(std::tuple(g->rc_type, p->background[0] | p->background[1] | p->background[2]),
              std::tuple(1, 0));
    const auto ctl = [](int result) { return std::pair(result, r64_error); };
    EXPECT_EQ(ctl(r64_ctl(g.get(), 7)), std::pair(-1, -8));
    EXPECT_EQ(ctl(r64_ctl(g.get(), 0, 0)), std::pair(0, 0));
    EXPECT_EQ(ctl(r64_ctl(g.get(), 0, 2)), std::pair(-1, -8));
    EXPECT_EQ(g->rc_type, 0);
    EXPECT_EQ(ctl(r64_ctl(g.get(), R64_CTL_WRITE_BACK, 0)), std::pair(0, 0));
    EXPECT_EQ(ctl(r64_ctl(g.get(), R64_CTL_WRITE_BACK, 2)), std::pair(-1, -8));
    const char px[3] = {'\x11', '\x22', '\x33'};
    EXPECT_EQ(r64_ctl(g.get(), 1, px) + r64_ctl(p.get(), 1, px), 0);
    EXPECT_EQ(std::tuple(g->background[0], g->background[1]), std::tuple('\x11', '\0'));
    EXPECT_EQ(std::memcmp(p->background, px, 3), 0);
}

// Faults caught (through the dispatcher as fault injector): a failed or short header
// write during creation reported as success, EAGAIN not retried, a failed header read
// taken for a short file, a failed open leaking its descriptor.
TEST_F(R64Open, InjectedFileFaults) {
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1; // every read-write open goes to the dispatcher
    constexpr int kFd = 70000;
    int write_result = 0, eagain = 0, read_result = 0; // what writes and reads return
    fake.answer = [&](UFR_REQ *req) {
        const int code = req->ufr_code;
        if (code == UFR_CODE_OPEN64) {
            return eagain-- > 0 ? FakeDispatcher::fail(-1, EAGAIN) : FakeDispatcher::ok(kFd);
        }
        const int result = code == UFR_CODE_READ    ? read_result
                           : code == UFR_CODE_WRITE ? write_result
                                                    : 0;
        return result < 0 ? FakeDispatcher::fail(-1, EIO) : FakeDispatcher::ok(result);
    };
    const std::string p = dir.file("remote.r64");
    // A failed or short header write, then a failed header read.
    for (const auto &[w, r] : {std::pair{-1, 0}, {7, 0}, {8, -1}}) {
        write_result = w;
        read_result = r;
        r64_error = 0;
        EXPECT_TRUE(r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8) == nullptr && r64_error == -1)
            << w;
        const RecordedRequest &last = fake.requests.back();
        EXPECT_TRUE(last.ufr_code == UFR_CODE_CLOSE && last.args[0].value == kFd);
    }
    read_result = 0;
    eagain = 2;
    Handle f(r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8));
    ASSERT_NE(f.get(), nullptr);
    EXPECT_EQ(std::tuple(f->fd, eagain), std::tuple(kFd, -1)); // two EAGAINs, then granted
}
