// CrOpen: creating and opening cr files, every error code of the open, the level
// geometry (counted-but-absent level included), record offsets and closing.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <tuple>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using namespace r64_test;
using r64_test::cr_header;

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
        write_bytes(p, bytes);
        return p;
    }
    static CR_FILE *open_ro(const std::string &p) {
        return cr_open_file(p.c_str(), O_RDONLY, 0666, 256, 0, 0);
    }

    ScratchDir dir;
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
// negative side with 1-pixel tiles writing ~4 billion records instead of none; on
// opening, a non-zero type byte refused or kept, write_ofs not the file's length, fields
// not swapped, r64_error touched; close leaking cached data or the descriptor or keeping
// r64_error; a bare handle (ent_len 0) without its one free entry.
TEST_F(CrOpen, CreationAndOpening) {
    const std::string p = dir.file("new.cr");
    Handle f(cr_open_file(p.c_str(), kRW | O_TRUNC, 0644, 64, 100, 50));
    ASSERT_NE(f, nullptr);
    Bytes expect = {0x43, 0x52, 0, 0, 0, 100, 0, 50, 0, 64, 0, 0, 0, 0, 0, 7};
    expect.resize(100, 0);
    EXPECT_EQ(read_bytes(p), expect);
    EXPECT_EQ(std::tuple(f->write_ofs, f->fctl), std::tuple(100u, 2));
    const std::string q = dir.file("neg.cr");
    Handle g(cr_open_file(q.c_str(), kRW, 0644, 1, -70, 70));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(std::tuple(g->header.cr_tbl_nos, file_size(q)), std::tuple(0u, 16L));

    Bytes b = cr_header(300, 0x0102, 0x0100, 999, 'G');
    b.resize(137, 0);
    r64_error = 55;
    Handle h(open_ro(crafted(b)));
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::tuple(r64_error, h->header.h.type, h->header.h.width, h->header.h.height),
              std::tuple(55, 0, 300, 0x0102));
    EXPECT_EQ(std::tuple(h->header.rect_size, h->write_ofs, h->fctl), std::tuple(0x0100, 137u, 0));

    // Data held by entries is the handle's to free on close (the leak checker watches).
    ent_len = 320;
    CR_FILE *cf = open_ro(p);
    ASSERT_NE(cf, nullptr);
    cf->cache[1].b.buf = static_cast<unsigned char *>(malloc(10));
    cf->cache[319].b.buf = static_cast<unsigned char *>(malloc(10));
    const int fd = cf->fd;
    r64_error = -4;
    EXPECT_EQ(cr_close_file(cf), 0);
    EXPECT_EQ(std::tuple(r64_error, fcntl(fd, F_GETFD)), std::tuple(0, -1));
    ent_len = 0;
    Handle bare(open_ro(p));
    EXPECT_TRUE(bare->free_list == &bare->cache[1] && bare->cache[1].next == nullptr);
    EXPECT_EQ(bare->cache[0].next, &bare->cache[0]);
}

// Faults caught: the level rule off by one, negative sizes making levels, the absent
// level present or uncounted, the stored count trusted, overflow, indexes out of range;
// wrong record offsets (row and column swapped, level start ignored), which the header
// fuzz, checking the last record of each level, cannot see.
TEST_F(CrOpen, LevelGeometryAndRecordOffsets) {
    const std::tuple<int, int, int, int> cases[] = {
        {100, 50, 64, 5}, {3, 3, 256, 1}, {2, 100, 256, 0}, {-5, 64, 64, 0}, {32767, 32767, 1, 14}};
    for (const auto &[w0, h0, rect, levels] : cases) {
        Handle f(open_ro(crafted(cr_header(w0, h0, rect, 999))));
        ASSERT_NE(f, nullptr) << w0;
        int64_t records = 0;
        for (int l = 0, w = w0, h = h0; l < R64_LEVELS; ++l, w = (w + 1) / 2, h = (h + 1) / 2) {
            const bool exists = l < levels;
            EXPECT_EQ(std::tuple(f->level_entry[l], f->level_w[l], f->level_h[l],
                                 cr_check_level(f.get(), l)),
                      exists ? std::tuple(records, w, h, 1) : std::tuple(int64_t{-1}, 0, 0, 0))
                << w0 << " level " << l;
            records += l <= levels ? tiles(w, h, rect) : 0; // the absent level counts
        }
        EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(records)) << w0 << "x" << h0;
        EXPECT_EQ(cr_check_level(f.get(), -1) + cr_check_level(f.get(), 32), 0);
    }
    Handle f(open_ro(crafted(cr_header(100, 50, 64, 7))));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(get_tbl_ofs(f.get(), 99, 49, 0), 28);
    EXPECT_EQ(get_tbl_ofs(f.get(), 49, 24, 1), 40);
    EXPECT_EQ(get_tbl_ofs(f.get(), 0, 0, 4), 76);
}

// Faults caught: each refusal mapped to the wrong code, a read-only open writing an
// empty file, a zero tile edge (stored, or given as 65536) reaching the division, a
// refused creation writing.
TEST_F(CrOpen, OpenErrorCodes) {
    struct Case {
        std::string path;
        int flags, code, rect = 64, w = 8;
    } cases[] = {
        {dir.file("missing"), O_RDONLY, -1},
        {crafted({}), O_RDONLY, -4},
        {crafted({'C'}), O_RDWR, -4},
        {crafted(Bytes(16, 'R')), O_RDONLY, -5},
        {crafted(cr_header(0, 64, 64, 1)), O_RDONLY, -5},
        {crafted(cr_header(64, 64, 0, 1)), O_RDONLY, -5},
        {crafted({'C', 'R', 'X', 0, 0, 8, 0, 8, 0, 8, 0, 0, 0, 0, 0, 1}), O_RDONLY, -5},
        {crafted({}), kRW, -5, 64, 0},
        {crafted({}), kRW, -5, 0},
        {crafted({}), kRW, -5, 65536},
    };
    for (const Case &c : cases) {
        const long size = file_size(c.path);
        r64_error = 0;
        EXPECT_EQ(cr_open_file(c.path.c_str(), c.flags, 0644, c.rect, c.w, 8), nullptr) << c.path;
        EXPECT_EQ(r64_error, c.code) << c.path;
        EXPECT_EQ(file_size(c.path), size) << c.path;
    }
}

// Faults caught (through the dispatcher as fault injector): the header and the table,
// which go out in one write, falling short by a byte reported as success.
TEST_F(CrOpen, InjectedFileFaults) {
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1;
    int writes = 0;
    fake.answer = [&](UFR_REQ *req) {
        if (req->ufr_code == UFR_CODE_WRITE) {
            const int len = req->argv[1].d_char_ptr.len;
            EXPECT_EQ(len, 16 + 7 * 12);
            return FakeDispatcher::ok(writes++ == 0 ? len - 1 : len);
        }
        return FakeDispatcher::ok(req->ufr_code == UFR_CODE_OPEN64 ? 70001 : 0);
    };
    const std::string p = dir.file("remote.cr");
    EXPECT_TRUE(cr_open_file(p.c_str(), kRW, 0644, 64, 100, 50) == nullptr && r64_error == -1);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(fake.requests.back().ufr_code, UFR_CODE_CLOSE);
}
