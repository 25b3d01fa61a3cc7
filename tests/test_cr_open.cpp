// CrOpen: creating and opening cr files, every error code of the open, the level
// geometry (counted-but-absent level included), record offsets and closing.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::cr_header;
using r64_test::FakeDispatcher;

namespace {

constexpr int kRW = O_RDWR | O_CREAT;

struct Close {
    void operator()(CR_FILE *f) const { cr_close_file(f); }
};
using Handle = std::unique_ptr<CR_FILE, Close>;

class CrOpen : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        ent_len = 0;
        r64_error = 0;
    }
    std::string crafted(const Bytes &bytes) {
        const std::string p = dir.file("f" + std::to_string(files_++));
        r64_test::write_bytes(p, bytes);
        return p;
    }
    static CR_FILE *open_ro(const std::string &p) {
        return cr_open_file(p.c_str(), O_RDONLY, 0666, 256, 0, 0);
    }

    r64_test::ScratchDir dir;
    int files_ = 0;
};

// Tiles of one level (a quotient rounded away from zero); a negative side holds none.
int64_t tiles(int w, int h, int rect) {
    const int64_t n = int64_t{w / rect + (w % rect != 0)} * (h / rect + (h % rect != 0));
    return n > 0 ? n : 0;
}

} // namespace

// Faults caught: a new file's header not big-endian, records missing or non-zero, the
// counted-but-absent level left out of the table, write_ofs off the table end; a
// negative side with 1-pixel tiles writing ~4 billion records instead of none.
TEST_F(CrOpen, Creation) {
    const std::string p = dir.file("new.cr");
    Handle f(cr_open_file(p.c_str(), kRW | O_TRUNC, 0644, 64, 100, 50));
    ASSERT_NE(f, nullptr);
    Bytes expect = {0x43, 0x52, 0, 0, 0, 100, 0, 50, 0, 64, 0, 0, 0, 0, 0, 7};
    expect.resize(100, 0);
    EXPECT_EQ(r64_test::read_bytes(p), expect);
    EXPECT_EQ(f->write_ofs, 100u);
    EXPECT_EQ(f->fctl, 2);

    const std::string q = dir.file("neg.cr");
    Handle g(cr_open_file(q.c_str(), kRW, 0644, 1, -70, 70));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->header.cr_tbl_nos, 0u);
    EXPECT_EQ(r64_test::file_size(q), 16);
}

// Faults caught: the level rule off by one, negative sizes making levels, the absent
// level present or uncounted, the stored count trusted, overflow, indexes out of range.
TEST_F(CrOpen, LevelGeometry) {
    struct Case {
        int w, h, rect, levels;
    } cases[] = {{100, 50, 64, 5}, {64, 64, 256, 5}, {3, 3, 256, 1},  {2, 100, 256, 0},
                 {1, 1, 64, 0},    {-5, 64, 64, 0},  {-70, 70, 1, 0}, {32767, 32767, 1, 14}};
    for (const Case &c : cases) {
        Handle f(open_ro(crafted(cr_header(c.w, c.h, c.rect, 999))));
        ASSERT_NE(f, nullptr) << c.w;
        int64_t records = 0;
        int w = c.w, h = c.h;
        for (int l = 0; l < R64_LEVELS; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
            const bool exists = l < c.levels;
            EXPECT_EQ(f->level_entry[l], exists ? records : -1) << c.w << " level " << l;
            EXPECT_EQ(f->level_w[l], exists ? w : 0) << c.w << " level " << l;
            EXPECT_EQ(f->level_h[l], exists ? h : 0) << c.w << " level " << l;
            EXPECT_EQ(cr_check_level(f.get(), l), exists ? 1 : 0) << c.w << " level " << l;
            records += l <= c.levels ? tiles(w, h, c.rect) : 0; // the absent level counts
        }
        ASSERT_LT(records, int64_t{1} << 31);
        EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(records)) << c.w << "x" << c.h;
        for (const int l : {-1, 32, 1000}) {
            EXPECT_EQ(cr_check_level(f.get(), l), 0);
        }
    }
}

// Faults caught: wrong record offsets (row and column swapped, level start ignored);
// the header fuzz checks the last record of every level of random geometries.
TEST_F(CrOpen, RecordOffsets) {
    Handle f(open_ro(crafted(cr_header(100, 50, 64, 7))));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(get_tbl_ofs(f.get(), 64, 0, 0), 28);
    EXPECT_EQ(get_tbl_ofs(f.get(), 99, 49, 0), 28);
    EXPECT_EQ(get_tbl_ofs(f.get(), 49, 24, 1), 40);
    EXPECT_EQ(get_tbl_ofs(f.get(), 0, 0, 4), 76);
}

// Faults caught: a non-zero type byte refused or kept, write_ofs not the file's
// length, fields not swapped, r64_error touched by a successful open.
TEST_F(CrOpen, ExistingFileHeader) {
    Bytes b = cr_header(300, 0x0102, 0x0100, 999, 'G');
    b.resize(137, 0);
    r64_error = 55;
    Handle f(open_ro(crafted(b)));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(r64_error, 55);
    EXPECT_EQ(std::tuple(f->header.h.type, f->header.h.width, f->header.h.height),
              std::tuple(0, 300, 0x0102));
    EXPECT_EQ(std::tuple(f->header.rect_size, f->write_ofs, f->fctl), std::tuple(0x0100, 137u, 0));
}

// Faults caught: each refusal mapped to the wrong code, a read-only open writing an
// empty file, a zero tile edge reaching the division, a refused creation writing.
TEST_F(CrOpen, OpenErrorCodes) {
    const Bytes full = cr_header(64, 64, 64, 6);
    Bytes r64 = r64_test::r64_header('G', 64, 64);
    r64.resize(16 + 4096, 0);
    struct Case {
        std::string path;
        int flags, code;
    } cases[] = {
        {dir.file("missing"), O_RDONLY, -1},
        {dir.path(), O_RDONLY, -1},
        {crafted({}), O_RDONLY, -4},
        {crafted(Bytes(full.begin(), full.begin() + 1)), O_RDWR, -4},
        {crafted(Bytes(full.begin(), full.begin() + 15)), O_RDWR, -4},
        {crafted(r64), O_RDONLY, -5},
        {crafted(cr_header(0, 64, 64, 1)), O_RDONLY, -5},
        {crafted(cr_header(64, 0, 64, 1)), O_RDONLY, -5},
        {crafted(cr_header(64, 64, 0, 1)), O_RDONLY, -5},
        {crafted({'C', 'R', 'X', 0, 0, 8, 0, 8, 0, 8, 0, 0, 0, 0, 0, 1}), O_RDONLY, -5},
    };
    for (const Case &c : cases) {
        const long size = r64_test::file_size(c.path);
        r64_error = 0;
        EXPECT_EQ(cr_open_file(c.path.c_str(), c.flags, 0, 64, 8, 8), nullptr) << c.path;
        EXPECT_EQ(r64_error, c.code) << c.path;
        EXPECT_EQ(r64_test::file_size(c.path), size) << c.path;
    }
    struct Create {
        int rect, w, h;
    } refused[] = {{64, 0, 10}, {64, 10, 0}, {0, 10, 10}, {65536, 10, 10}};
    for (const Create &c : refused) {
        const std::string p = crafted({});
        r64_error = 0;
        EXPECT_EQ(cr_open_file(p.c_str(), kRW, 0644, c.rect, c.w, c.h), nullptr);
        EXPECT_EQ(r64_error, -5);
        EXPECT_EQ(r64_test::file_size(p), 0);
    }
}

// Faults caught: close leaking cached data or the descriptor or keeping r64_error; a
// bare handle (ent_len 0) without its one free entry. Full caches: the cr read tests.
TEST_F(CrOpen, CloseAndBareCache) {
    const std::string p = crafted(cr_header(64, 64, 64, 6));
    ent_len = 320;
    CR_FILE *f = open_ro(p);
    ASSERT_NE(f, nullptr);
    // Data held by entries is the handle's to free (the leak checker watches).
    f->cache[1].b.buf = static_cast<unsigned char *>(malloc(10));
    f->cache[319].b.buf = static_cast<unsigned char *>(malloc(10));
    const int fd = f->fd;
    r64_error = -4;
    EXPECT_EQ(cr_close_file(f), 0);
    EXPECT_EQ(r64_error, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);

    ent_len = 0;
    Handle g(open_ro(p));
    EXPECT_EQ(g->free_list, &g->cache[1]);
    EXPECT_EQ(g->cache[1].next, nullptr);
    EXPECT_EQ(g->cache[0].next, &g->cache[0]);
}

// Faults caught (through the dispatcher as fault injector): a failed or short header
// or record write reported as success, records written other than one per call,
// write_ofs not taken from the position after the table.
TEST_F(CrOpen, InjectedFileFaults) {
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1;
    constexpr int kFd = 70001;
    int failing_write = -1, writes = 0; // the index of the write that falls short
    fake.answer = [&](UFR_REQ *req) {
        switch (req->ufr_code) {
        case UFR_CODE_OPEN64:
            return FakeDispatcher::ok(kFd);
        case UFR_CODE_WRITE: {
            const int len = req->argv[1].d_char_ptr.len;
            return FakeDispatcher::ok(writes++ == failing_write ? len - 1 : len);
        }
        case UFR_CODE_LSEEK64:
            return FakeDispatcher::ok64(100);
        default:
            return FakeDispatcher::ok(0);
        }
    };
    const std::string p = dir.file("remote.cr");
    Handle f(cr_open_file(p.c_str(), kRW, 0644, 64, 100, 50));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->write_ofs, 100u);
    std::vector<int> lens;
    for (const auto &r : fake.requests) {
        if (r.ufr_code == UFR_CODE_WRITE) {
            lens.push_back(r.args[1].len);
            EXPECT_TRUE(lens.size() == 1 || r.args[1].bytes == std::string(12, '\0'));
        }
    }
    EXPECT_EQ(lens, (std::vector<int>{16, 12, 12, 12, 12, 12, 12, 12}));
    f.reset();

    for (const int fail_at : {0, 1, 7}) {
        failing_write = fail_at;
        writes = 0;
        fake.requests.clear();
        r64_error = 0;
        EXPECT_EQ(cr_open_file(p.c_str(), kRW, 0644, 64, 100, 50), nullptr) << fail_at;
        EXPECT_EQ(r64_error, -1);
        ASSERT_FALSE(fake.requests.empty());
        EXPECT_EQ(fake.requests.back().ufr_code, UFR_CODE_CLOSE);
    }
}
