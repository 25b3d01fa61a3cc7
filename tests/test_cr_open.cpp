// CrOpen: creating and opening cr files, every error code of the open, the level
// geometry (counted-but-absent level included), record offsets and closing.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::cr_header;
using r64_test::FakeDispatcher;
using r64_test::ScratchDir;

namespace {

constexpr int kRW = O_RDWR | O_CREAT;

struct Handle {
    CR_FILE *f;
    explicit Handle(CR_FILE *h) : f(h) {}
    ~Handle() {
        if (f != nullptr) {
            cr_close_file(f);
        }
    }
    CR_FILE *operator->() const { return f; }
};

class CrOpen : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        ent_len = 0;
        r64_error = 0;
    }
    void TearDown() override { ent_len = 0; }

    std::string crafted(const std::string &name, const Bytes &bytes) {
        const std::string p = dir.file(name);
        r64_test::write_bytes(p, bytes);
        return p;
    }
    CR_FILE *open_ro(const std::string &p) {
        return cr_open_file(p.c_str(), O_RDONLY, 0666, 256, 0, 0);
    }
    static int levels(CR_FILE *f) {
        int n = 0;
        while (cr_check_level(f, n) != 0) {
            ++n;
        }
        return n;
    }

    ScratchDir dir;
};

int64_t tiles(int side, int rect) {
    return (side + rect - 1) / rect;
}

// Records of an image: every level with both sides >= 3, plus the level after
// the last one, which is counted but does not exist.
int64_t expected_records(int w, int h, int rect) {
    int64_t n = 0;
    while (w >= 3 && h >= 3) {
        n += tiles(w, rect) * tiles(h, rect);
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
    return n + tiles(w, rect) * tiles(h, rect);
}

} // namespace

// Faults caught: a new file's header not big-endian, records missing or non-zero,
// the counted-but-absent level left out of the table, write_ofs off the table end.
TEST_F(CrOpen, CreateWritesHeaderAndZeroTable) {
    const std::string p = dir.file("new.cr");
    Handle f(cr_open_file(p.c_str(), kRW | O_TRUNC, 0644, 64, 100, 50));
    ASSERT_NE(f.f, nullptr);
    Bytes expect = {0x43, 0x52, 0, 0, 0, 100, 0, 50, 0, 64, 0, 0, 0, 0, 0, 7};
    expect.resize(100, 0);
    EXPECT_EQ(r64_test::read_bytes(p), expect);
    EXPECT_EQ(f->header.cr_tbl_nos, 7u);
    EXPECT_EQ(f->header.rect_size, 64);
    EXPECT_EQ(f->write_ofs, 100u);
    EXPECT_EQ(f->fctl, 2);
    const int entry[] = {0, 2, 3, 4, 5};
    const int w[] = {100, 50, 25, 13, 7};
    const int h[] = {50, 25, 13, 7, 4};
    for (int l = 0; l < 5; ++l) {
        EXPECT_EQ(f->level_entry[l], entry[l]);
        EXPECT_EQ(f->level_w[l], w[l]);
        EXPECT_EQ(f->level_h[l], h[l]);
    }
    for (int l = 5; l < R64_LEVELS; ++l) {
        EXPECT_EQ(f->level_entry[l], -1);
        EXPECT_EQ(f->level_w[l], 0);
        EXPECT_EQ(f->level_h[l], 0);
    }
    EXPECT_EQ(levels(f.f), 5);
}

// Faults caught: wrong record offsets (row and column swapped, level start ignored).
TEST_F(CrOpen, RecordOffsets) {
    Handle f(open_ro(crafted("o.cr", cr_header(100, 50, 64, 7))));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(get_tbl_ofs(f.f, 0, 0, 0), 16);
    EXPECT_EQ(get_tbl_ofs(f.f, 64, 0, 0), 28);
    EXPECT_EQ(get_tbl_ofs(f.f, 99, 49, 0), 28);
    EXPECT_EQ(get_tbl_ofs(f.f, 49, 24, 1), 40);
    EXPECT_EQ(get_tbl_ofs(f.f, 0, 0, 4), 76);
    Handle g(open_ro(crafted("p.cr", cr_header(200, 200, 64, 0))));
    // Level 0 is 4 x 4 tiles: tile (column 2, row 3) is record 3 * 4 + 2.
    EXPECT_EQ(get_tbl_ofs(g.f, 130, 199, 0), 16 + 12 * 14);
    // Level 1 (100 x 100) starts at record 16 and is 2 tiles across.
    EXPECT_EQ(get_tbl_ofs(g.f, 70, 70, 1), 16 + 12 * (16 + 3));
}

// Faults caught: the stored record count trusted over the computed one, a non-zero
// type byte refused or kept, write_ofs not the file's length, fields not swapped.
TEST_F(CrOpen, ExistingFileHeader) {
    Bytes b = cr_header(300, 0x0102, 0x0100, 999, 'G');
    b.resize(137, 0);
    r64_error = 55;
    Handle f(open_ro(crafted("e.cr", b)));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(r64_error, 55);
    EXPECT_EQ(f->header.h.type, 0);
    EXPECT_EQ(f->header.h.width, 300);
    EXPECT_EQ(f->header.h.height, 0x0102);
    EXPECT_EQ(f->header.rect_size, 0x0100);
    EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(expected_records(300, 0x0102, 256)));
    EXPECT_EQ(f->write_ofs, 137u);
    EXPECT_EQ(f->fctl, 0);
}

// Faults caught: the level rule off by one, negative sizes producing levels, the
// absent level answered present, indexes outside the tables read.
TEST_F(CrOpen, LevelsAndRecordCounts) {
    struct Case {
        int w, h, rect, levels;
        uint32_t records;
    } cases[] = {{100, 50, 64, 5, 7},
                 {64, 64, 256, 5, 6},
                 {3, 3, 256, 1, 2},
                 {2, 100, 256, 0, 1},
                 {1, 1, 64, 0, 1},
                 {-5, 64, 64, 0, 1},
                 // A negative side over a small tile edge gives no records, not a
                 // negative count that would wrap to billions.
                 {-70, 70, 1, 0, 0}};
    for (const Case &c : cases) {
        Handle f(open_ro(crafted("l.cr", cr_header(c.w, c.h, c.rect, 0))));
        ASSERT_NE(f.f, nullptr) << c.w;
        EXPECT_EQ(levels(f.f), c.levels) << c.w << "x" << c.h;
        EXPECT_EQ(f->header.cr_tbl_nos, c.records) << c.w << "x" << c.h;
        EXPECT_EQ(cr_check_level(f.f, c.levels), 0);
        EXPECT_EQ(cr_check_level(f.f, -1), 0);
        EXPECT_EQ(cr_check_level(f.f, 32), 0);
        EXPECT_EQ(cr_check_level(f.f, 1000), 0);
    }
}

// Fault caught: the record count overflowing for the largest image with 1-pixel tiles.
TEST_F(CrOpen, LargestRecordCount) {
    auto *f = static_cast<CR_FILE *>(calloc(1, sizeof(CR_FILE)));
    ASSERT_NE(f, nullptr);
    f->header.h.width = 32767;
    f->header.h.height = 32767;
    f->header.rect_size = 1;
    EXPECT_EQ(get_cr_tbl_nos(f), 0);
    const int64_t n = expected_records(32767, 32767, 1);
    ASSERT_LT(n, int64_t{1} << 31);
    EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(n));
    EXPECT_EQ(f->level_entry[13], static_cast<int>(n - 16 - 4)); // the 4 x 4 level
    EXPECT_EQ(f->level_entry[14], -1);
    free(f);
}

// Faults caught: each refusal mapped to the wrong code, a read-only open writing an
// empty file, a zero tile edge reaching the division, a refused creation writing.
TEST_F(CrOpen, OpenErrorCodes) {
    EXPECT_EQ(open_ro(dir.file("missing")), nullptr);
    EXPECT_EQ(r64_error, -1);
    r64_error = 0;
    EXPECT_EQ(open_ro(dir.path()), nullptr);
    EXPECT_EQ(r64_error, -1);

    const std::string e = crafted("empty", {});
    r64_error = 0;
    EXPECT_EQ(open_ro(e), nullptr);
    EXPECT_EQ(r64_error, -4);
    EXPECT_EQ(r64_test::file_size(e), 0);

    const Bytes full = cr_header(64, 64, 64, 6);
    for (size_t n = 1; n < 16; ++n) {
        r64_error = 0;
        const std::string s = crafted("short", Bytes(full.begin(), full.begin() + n));
        EXPECT_EQ(cr_open_file(s.c_str(), O_RDWR, 0, 64, 8, 8), nullptr) << n;
        EXPECT_EQ(r64_error, -4) << n;
        EXPECT_EQ(r64_test::file_size(s), static_cast<long>(n));
    }

    Bytes r64 = r64_test::r64_header('G', 64, 64);
    r64.resize(16 + 4096, 0);
    const Bytes bad[] = {r64, cr_header(0, 64, 64, 1), cr_header(64, 0, 64, 1),
                         cr_header(64, 64, 0, 1),
                         Bytes{'C', 'R', 'X', 0, 0, 8, 0, 8, 0, 8, 0, 0, 0, 0, 0, 1}};
    for (const Bytes &b : bad) {
        r64_error = 0;
        EXPECT_EQ(open_ro(crafted("bad", b)), nullptr);
        EXPECT_EQ(r64_error, -5);
    }

    struct Create {
        int rect, w, h;
    } refused[] = {{64, 0, 10}, {64, 10, 0}, {0, 10, 10}, {65536, 10, 10}};
    for (const Create &c : refused) {
        const std::string p = dir.file("refused.cr");
        unlink(p.c_str());
        r64_error = 0;
        EXPECT_EQ(cr_open_file(p.c_str(), kRW, 0644, c.rect, c.w, c.h), nullptr);
        EXPECT_EQ(r64_error, -5);
        EXPECT_EQ(r64_test::file_size(p), 0);
    }
}

// Fault caught: creating with a negative side and 1-pixel tiles writing ~4 billion
// records instead of the header alone.
TEST_F(CrOpen, NegativeSideCreatesNoRecords) {
    const std::string p = dir.file("neg.cr");
    Handle f(cr_open_file(p.c_str(), kRW, 0644, 1, -70, 70));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(f->header.cr_tbl_nos, 0u);
    EXPECT_EQ(r64_test::file_size(p), 16);
    EXPECT_EQ(levels(f.f), 0);
}

// Faults caught: a broken free list or ring, cache entries holding stale pointers,
// close leaking the data of cached tiles or the descriptor, r64_error not cleared.
TEST_F(CrOpen, CacheAndClose) {
    const std::string p = crafted("c.cr", cr_header(64, 64, 64, 6));
    ent_len = 320;
    CR_FILE *f = open_ro(p);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->free_list, &f->cache[1]);
    int n = 0;
    for (CR_ENT *e = f->free_list; e != nullptr; e = e->next) {
        ++n;
        ASSERT_EQ(e, &f->cache[n]);
        EXPECT_EQ(e->b.buf, nullptr);
    }
    EXPECT_EQ(n, 319);
    EXPECT_EQ(f->cache[0].next, &f->cache[0]);
    EXPECT_EQ(f->cache[0].prev, &f->cache[0]);
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

    CR_MEM_TBL t{};
    t.buf = static_cast<unsigned char *>(malloc(5));
    free_cr_mem_tbl(&t);
    EXPECT_EQ(t.buf, nullptr);
}

// Faults caught (through the dispatcher as fault injector): a failed or short
// header or record write reported as success, records written other than one per
// call, write_ofs not taken from the position after the table.
TEST_F(CrOpen, InjectedFileFaults) {
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1;
    constexpr int kFd = 70001;
    int failing_write = -1; // index of the write that falls short
    int writes = 0;
    fake.answer = [&](UFR_REQ *req) {
        switch (req->ufr_code) {
        case UFR_CODE_OPEN64:
            return FakeDispatcher::ok(kFd);
        case UFR_CODE_READ:
            return FakeDispatcher::ok(0);
        case UFR_CODE_WRITE: {
            const int len = req->argv[1].d_char_ptr.len;
            return writes++ == failing_write ? FakeDispatcher::ok(len - 1)
                                             : FakeDispatcher::ok(len);
        }
        case UFR_CODE_LSEEK64:
            return FakeDispatcher::ok64(100);
        default:
            return FakeDispatcher::ok(0);
        }
    };
    const std::string p = dir.file("remote.cr");
    CR_FILE *f = cr_open_file(p.c_str(), kRW, 0644, 64, 100, 50);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->write_ofs, 100u);
    std::vector<int> lens;
    for (const auto &r : fake.requests) {
        if (r.ufr_code == UFR_CODE_WRITE) {
            lens.push_back(r.args[1].len);
            if (lens.size() > 1) {
                EXPECT_EQ(r.args[1].bytes, std::string(12, '\0'));
            }
        }
    }
    EXPECT_EQ(lens, (std::vector<int>{16, 12, 12, 12, 12, 12, 12, 12}));
    EXPECT_EQ(fake.requests.front().args[0].bytes, p + '\0');
    cr_close_file(f);

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
