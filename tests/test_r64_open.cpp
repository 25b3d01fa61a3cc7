// R64Open: creating and opening r64 files, every error code of the open, the level
// table, the level test with the 'B' presence rule, r64_ctl and r64_init.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/file/r64_geometry.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::FakeDispatcher;
using r64_test::r64_header;
using r64_test::ScratchDir;

namespace {

constexpr int kRW = O_RDWR | O_CREAT;

// Releases a handle without the tile cache: closes its descriptor, frees its
// tile buffers and the handle itself.
void release(R64_FILE *f) {
    if (f == nullptr) {
        return;
    }
    u_close(f->fd);
    for (R64_CACHE_ENT &e : f->cache) {
        free(e.buf);
    }
    free(f);
}

struct Handle {
    R64_FILE *f;
    explicit Handle(R64_FILE *h) : f(h) {}
    ~Handle() { release(f); }
    R64_FILE *operator->() const { return f; }
};

class R64Open : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        ent_len = 0;
        r64_error = 0;
    }
    void TearDown() override { ent_len = 0; }

    // A file of the given header followed by `extra` zero bytes.
    std::string crafted(const std::string &name, const Bytes &header, size_t extra = 0) {
        Bytes b = header;
        b.resize(b.size() + extra, 0);
        const std::string p = dir.file(name);
        r64_test::write_bytes(p, b);
        return p;
    }
    R64_FILE *open_ro(const std::string &p) {
        return r64_open_file(p.c_str(), O_RDONLY, 0666, 'P', 0, 0);
    }
    int levels_present(R64_FILE *f) {
        int n = 0;
        while (r64_check_level(f, n) != 0) {
            ++n;
        }
        return n;
    }

    ScratchDir dir;
};

mode_t current_umask() {
    const mode_t m = umask(0);
    umask(m);
    return m;
}

// Sizes of the levels of an image, each ceil-halved, kept while both sides are >= 3.
std::vector<std::pair<int, int>> level_sizes(int w, int h) {
    std::vector<std::pair<int, int>> out;
    while (w >= 3 && h >= 3) {
        out.emplace_back(w, h);
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
    return out;
}

} // namespace

// Faults caught: wrong level offsets (room factor, accumulation), levels of 2 pixels
// kept, unused table entries left non-zero.
TEST_F(R64Open, LevelTableOf64Square) {
    const uint32_t g[] = {8, 4104, 5128, 5384, 5448};
    const uint32_t p[] = {8, 12296, 15368, 16136, 16328};
    for (const char type : {'G', 'P'}) {
        Handle f(open_ro(crafted("t", r64_header(type, 64, 64))));
        ASSERT_NE(f.f, nullptr);
        for (int l = 0; l < 5; ++l) {
            EXPECT_EQ(f->level_ofs[l], type == 'G' ? g[l] : p[l]) << type << l;
            EXPECT_EQ(f->level_w[l], 64 >> l);
            EXPECT_EQ(f->level_h[l], 64 >> l);
        }
        for (int l = 5; l < R64_LEVELS; ++l) {
            EXPECT_EQ(f->level_ofs[l], 0u);
            EXPECT_EQ(f->level_w[l], 0);
            EXPECT_EQ(f->level_h[l], 0);
        }
    }
}

// Faults caught: signed 32-bit overflow in the offsets of the largest 'P' image, and
// a level test comparing its end as a signed int (3.2 GB lies beyond 2^31).
TEST_F(R64Open, LargestImageOffsetsFitUnsigned32) {
    const std::string p = crafted("big", r64_header('P', 32767, 32767));
    Handle f(open_ro(p));
    ASSERT_NE(f.f, nullptr);
    const auto sizes = level_sizes(32767, 32767);
    ASSERT_EQ(sizes.size(), 14u);
    uint64_t ofs = 8;
    for (size_t l = 0; l < sizes.size(); ++l) {
        EXPECT_EQ(f->level_ofs[l], ofs) << l;
        EXPECT_EQ(f->level_w[l], sizes[l].first);
        ofs +=
            3ull * static_cast<uint64_t>(sizes[l].first) * static_cast<uint64_t>(sizes[l].second);
    }
    EXPECT_LT(ofs, 1ull << 32);
    EXPECT_EQ(f->level_ofs[14], 0u);

    // A sparse file exactly as long as the whole pyramid holds every level.
    if (truncate(p.c_str(), static_cast<off_t>(ofs)) == 0) {
        EXPECT_EQ(levels_present(f.f), 14);
        ASSERT_EQ(truncate(p.c_str(), static_cast<off_t>(ofs - 1)), 0);
        EXPECT_EQ(levels_present(f.f), 13);
    }
}

// Faults caught: the level rule off by one (3 kept, 2 dropped), negative sizes
// producing levels.
TEST_F(R64Open, WhichLevelsBelongToTheImage) {
    struct Case {
        int w, h, levels;
    } cases[] = {{100, 50, 5}, {3, 1000, 1}, {2, 1000, 0},   {1000, 1, 0},
                 {5, 5, 2},    {-5, 64, 0},  {64, -32768, 0}};
    for (const Case &c : cases) {
        Handle f(open_ro(crafted("l", r64_header('G', c.w, c.h))));
        ASSERT_NE(f.f, nullptr) << c.w << "x" << c.h;
        int kept = 0;
        while (kept < R64_LEVELS && f->level_ofs[kept] != 0) {
            ++kept;
        }
        EXPECT_EQ(kept, c.levels) << c.w << "x" << c.h;
        EXPECT_EQ(r64_check_level(f.f, 0), 0); // the file is the header alone
    }
    Handle f(open_ro(crafted("l", r64_header('G', 100, 50))));
    const int expect_w[] = {100, 50, 25, 13, 7};
    const int expect_h[] = {50, 25, 13, 7, 4};
    for (int l = 0; l < 5; ++l) {
        EXPECT_EQ(f->level_w[l], expect_w[l]);
        EXPECT_EQ(f->level_h[l], expect_h[l]);
    }
}

// Faults caught: a level counted present one byte short of its end, or only once
// the next level starts; indexes outside the tables read.
TEST_F(R64Open, LevelTestBoundaries) {
    const std::string p = crafted("g", r64_header('G', 100, 50), 5000 - 1);
    Handle f(open_ro(p));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(r64_check_level(f.f, 0), 0);
    ASSERT_EQ(truncate(p.c_str(), 8 + 5000), 0);
    EXPECT_EQ(r64_check_level(f.f, 0), 1);
    EXPECT_EQ(r64_check_level(f.f, 1), 0);
    ASSERT_EQ(truncate(p.c_str(), 8 + 5000 + 50 * 25), 0);
    EXPECT_EQ(r64_check_level(f.f, 1), 1);
    ASSERT_EQ(truncate(p.c_str(), 1 << 20), 0);
    EXPECT_EQ(levels_present(f.f), 5);
    EXPECT_EQ(r64_check_level(f.f, -1), 0);
    EXPECT_EQ(r64_check_level(f.f, 32), 0);
    EXPECT_EQ(r64_check_level(f.f, 5), 0);
    EXPECT_EQ(r64_check_level(f.f, INT32_MIN), 0);
}

// Faults caught: a 'B' level only counted once its eightfold area is in the file
// (a complete pyramid would always miss its last level), or counted before its last
// band's packed bytes are.
TEST_F(R64Open, BitLevelPresentWhenItsTilesAre) {
    // 100 x 100: rows of ceil(100 / 8) = 13 bytes; the last band starts at row 64.
    const std::string p = crafted("b", r64_header('B', 100, 100), 64 * 13 + 36 * 13 - 1);
    Handle f(open_ro(p));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(f->level_ofs[1], 8u + 10000u);
    EXPECT_EQ(r64_check_level(f.f, 0), 0);
    ASSERT_EQ(truncate(p.c_str(), 1308), 0);
    EXPECT_EQ(r64_check_level(f.f, 0), 1);

    // 64 x 64: level k starts after the eightfold areas before it and holds
    // side x ceil(side / 8) bytes, except that the 4-pixel level (side not a
    // multiple of 8) still packs into one byte per row.
    const std::string q = crafted("b64", r64_header('B', 64, 64));
    Handle g(open_ro(q));
    const uint32_t ends[] = {8 + 64 * 8, 4104 + 32 * 4, 5128 + 16 * 2, 5384 + 8 * 1, 5448 + 4 * 1};
    for (int l = 0; l < 5; ++l) {
        ASSERT_EQ(truncate(q.c_str(), ends[l] - 1), 0);
        EXPECT_EQ(levels_present(g.f), l);
        ASSERT_EQ(truncate(q.c_str(), ends[l]), 0);
        EXPECT_EQ(levels_present(g.f), l + 1);
    }
}

// Faults caught: a 'B' row stride missing the spare byte of a width-multiple-of-8
// level in an image whose width is not, or adding it when both are multiples of 8.
TEST_F(R64Open, BitRowStrides) {
    struct Case {
        int width0, level, level_w, stride;
    } cases[] = {{1020, 3, 128, 17}, {1024, 3, 128, 16}, {1000, 1, 500, 63}};
    for (const Case &c : cases) {
        Handle f(open_ro(crafted("s", r64_header('B', c.width0, 1024))));
        ASSERT_NE(f.f, nullptr);
        ASSERT_EQ(f->level_w[c.level], c.level_w);
        const uint32_t start = f->level_ofs[c.level];
        // The second band starts 64 rows down; its second tile after one full tile.
        EXPECT_EQ(r64::tile_file_offset(f.f, c.level, 0, 64), start + 64u * c.stride);
        EXPECT_EQ(r64::tile_file_offset(f.f, c.level, 64, 64), start + 64u * c.stride + 64u * 8u);
    }
}

// Faults caught: creation writing little-endian fields, the wrong type byte, or a
// file longer than its header.
TEST_F(R64Open, CreateWritesBigEndianHeader) {
    const std::string p = dir.file("new.r64");
    Handle f(r64_open_file(p.c_str(), kRW | O_TRUNC, 0644, 'P', 300, 0x1234));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(r64_test::read_bytes(p), (Bytes{'R', '6', '4', 'P', 0x01, 0x2C, 0x12, 0x34}));
    EXPECT_EQ(f->header.width, 300);
    EXPECT_EQ(f->header.height, 0x1234);
    EXPECT_EQ(f->fctl, O_RDWR);
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777u, 0644u & ~static_cast<unsigned>(current_umask()));
}

// Faults caught: a refused creation not leaving its header, or a second open of
// that file accepting it; the wrong code for each refusal.
TEST_F(R64Open, RefusedCreationsLeaveTheirHeader) {
    const std::string z = dir.file("zero.r64");
    EXPECT_EQ(r64_open_file(z.c_str(), kRW, 0644, 'G', 0, 10), nullptr);
    EXPECT_EQ(r64_error, -5);
    EXPECT_EQ(r64_test::read_bytes(z), (Bytes{'R', '6', '4', 'G', 0, 0, 0, 10}));
    r64_error = 0;
    EXPECT_EQ(r64_open_file(z.c_str(), O_RDWR, 0644, 'G', 10, 10), nullptr);
    EXPECT_EQ(r64_error, -5);

    const std::string x = dir.file("x.r64");
    EXPECT_EQ(r64_open_file(x.c_str(), kRW, 0644, 'X', 10, 10), nullptr);
    EXPECT_EQ(r64_error, -5);
    EXPECT_EQ(r64_test::read_bytes(x), (Bytes{'R', '6', '4', 'X', 0, 10, 0, 10}));
}

// Faults caught: each open error mapped to the wrong code, a read-only open of an
// empty file writing to it, a short header taken for a valid one.
TEST_F(R64Open, OpenErrorCodes) {
    EXPECT_EQ(open_ro(dir.file("missing")), nullptr);
    EXPECT_EQ(r64_error, -1);
    r64_error = 0;
    EXPECT_EQ(open_ro(dir.path()), nullptr); // a directory: the header read fails
    EXPECT_EQ(r64_error, -1);

    const std::string e = crafted("empty", {});
    r64_error = 0;
    EXPECT_EQ(open_ro(e), nullptr);
    EXPECT_EQ(r64_error, -4);
    EXPECT_EQ(r64_test::file_size(e), 0);
    r64_error = 0;
    EXPECT_EQ(r64_open_file(e.c_str(), O_WRONLY, 0, 'G', 8, 8), nullptr); // no O_RDWR
    EXPECT_EQ(r64_error, -1); // a write-only descriptor cannot be read

    const std::string s = crafted("short", {'R', '6', '4', 'G', 0});
    for (const int flags : {O_RDONLY, O_RDWR}) {
        r64_error = 0;
        EXPECT_EQ(r64_open_file(s.c_str(), flags, 0, 'G', 8, 8), nullptr);
        EXPECT_EQ(r64_error, -4);
    }
    EXPECT_EQ(r64_test::file_size(s), 5);

    const Bytes bad[] = {{'R', '6', '5', 'G', 0, 8, 0, 8},
                         {'R', '6', '4', 'g', 0, 8, 0, 8},
                         {'C', 'R', 0, 0, 0, 8, 0, 8},
                         r64_header('G', 0, 8),
                         r64_header('P', 8, 0)};
    for (const Bytes &b : bad) {
        r64_error = 0;
        EXPECT_EQ(open_ro(crafted("bad", b, 100)), nullptr);
        EXPECT_EQ(r64_error, -5);
    }

    if (geteuid() != 0) { // root reads whatever the permissions say
        const std::string np = crafted("noperm", r64_header('G', 8, 8));
        ASSERT_EQ(chmod(np.c_str(), 0), 0);
        r64_error = 0;
        EXPECT_EQ(open_ro(np), nullptr);
        EXPECT_EQ(r64_error, -1);
    }
}

// Faults caught: an existing file's header rewritten from the arguments when opened
// read-write, fctl not recording the mode, r64_error touched by a successful open.
TEST_F(R64Open, ExistingFileOpenedReadWrite) {
    const Bytes header = r64_header('G', 20, 30);
    const std::string p = crafted("rw", header, 17);
    r64_error = 123;
    Handle f(r64_open_file(p.c_str(), O_RDWR, 0, 'P', 99, 99));
    ASSERT_NE(f.f, nullptr);
    EXPECT_EQ(r64_error, 123);
    EXPECT_EQ(f->fctl, 2);
    EXPECT_EQ(f->header.type, 'G');
    EXPECT_EQ(f->header.width, 20);
    Bytes expect = header;
    expect.resize(header.size() + 17, 0);
    EXPECT_EQ(r64_test::read_bytes(p), expect);

    Handle r(open_ro(p));
    EXPECT_EQ(r->fctl, 0);
    EXPECT_EQ(r->rc_type, 1);
    EXPECT_EQ(r->background[0] | r->background[1] | r->background[2], 0);
}

// Faults caught: tile buffers missing or of the wrong size, a broken free list or
// ring, buffers allocated when r64_init has not run.
TEST_F(R64Open, CachePreparedAtOpen) {
    r64_init();
    EXPECT_EQ(ent_len, 320);
    EXPECT_EQ(r64_error, 0);
    const size_t sizes[] = {4096, 12288, 512};
    const char types[] = {'G', 'P', 'B'};
    for (int t = 0; t < 3; ++t) {
        Handle f(open_ro(crafted("c", r64_header(types[t], 70, 70))));
        ASSERT_NE(f.f, nullptr);
        EXPECT_EQ(f->free_list, &f->cache[1]);
        int n = 0;
        for (R64_CACHE_ENT *e = f->free_list; e != nullptr; e = e->next) {
            ++n;
            ASSERT_EQ(e, &f->cache[n]);
            ASSERT_NE(e->buf, nullptr);
            EXPECT_GE(malloc_usable_size(e->buf), sizes[t]);
        }
        EXPECT_EQ(n, 319);
        EXPECT_EQ(f->cache[0].buf, nullptr);
        EXPECT_EQ(f->cache[0].next, &f->cache[0]);
        EXPECT_EQ(f->cache[0].prev, &f->cache[0]);
    }
    ent_len = 0;
    Handle f(open_ro(crafted("c", r64_header('P', 70, 70))));
    EXPECT_EQ(f->free_list, &f->cache[1]);
    EXPECT_EQ(f->cache[1].next, nullptr);
    for (const R64_CACHE_ENT &e : f->cache) {
        EXPECT_EQ(e.buf, nullptr);
    }
}

// Faults caught: r64_ctl accepting an rc_type other than 0 and 1 or an unknown
// command, copying three background bytes for a one-byte type.
TEST_F(R64Open, Settings) {
    Handle g(open_ro(crafted("g", r64_header('G', 8, 8))));
    EXPECT_EQ(r64_ctl(g.f, 0, 2), -1);
    EXPECT_EQ(r64_error, -8);
    EXPECT_EQ(g->rc_type, 1);
    EXPECT_EQ(r64_ctl(g.f, 7), -1);
    EXPECT_EQ(r64_error, -8);
    EXPECT_EQ(r64_ctl(g.f, 0, 0), 0);
    EXPECT_EQ(r64_error, 0);
    EXPECT_EQ(g->rc_type, 0);
    const char px[3] = {'\x11', '\x22', '\x33'};
    EXPECT_EQ(r64_ctl(g.f, 1, px), 0);
    EXPECT_EQ(g->background[0], '\x11');
    EXPECT_EQ(g->background[1], 0);

    Handle p(open_ro(crafted("p", r64_header('P', 8, 8))));
    EXPECT_EQ(r64_ctl(p.f, 1, px), 0);
    EXPECT_EQ(std::memcmp(p->background, px, 3), 0);
}

// Faults caught (through the dispatcher as fault injector): a failed or short header
// write during creation reported as success, EAGAIN not retried, a failed open
// leaking its descriptor.
TEST_F(R64Open, InjectedFileFaults) {
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1; // every read-write open goes to the dispatcher
    constexpr int kFd = 70000;
    int write_result = 0;
    int eagain = 0;
    fake.answer = [&](UFR_REQ *req) {
        switch (req->ufr_code) {
        case UFR_CODE_OPEN64:
            return eagain-- > 0 ? FakeDispatcher::fail(-1, EAGAIN) : FakeDispatcher::ok(kFd);
        case UFR_CODE_READ:
            return FakeDispatcher::ok(0);
        case UFR_CODE_WRITE:
            return write_result < 0 ? FakeDispatcher::fail(-1, ENOSPC)
                                    : FakeDispatcher::ok(write_result);
        default:
            return FakeDispatcher::ok(0);
        }
    };
    const std::string p = dir.file("remote.r64");
    for (const int w : {-1, 0, 7}) {
        write_result = w;
        fake.requests.clear();
        r64_error = 0;
        EXPECT_EQ(r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8), nullptr) << w;
        EXPECT_EQ(r64_error, -1);
        ASSERT_FALSE(fake.requests.empty());
        EXPECT_EQ(fake.requests.back().ufr_code, UFR_CODE_CLOSE);
        EXPECT_EQ(fake.requests.back().args[0].value, kFd);
    }

    write_result = 8;
    eagain = 2;
    fake.requests.clear();
    R64_FILE *f = r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->fd, kFd);
    int opens = 0;
    for (const auto &r : fake.requests) {
        opens += r.ufr_code == UFR_CODE_OPEN64;
    }
    EXPECT_EQ(opens, 3);
    release(f);

    // A header read that fails is an I/O error, not a short file.
    fake.answer = [&](UFR_REQ *req) {
        return req->ufr_code == UFR_CODE_READ ? FakeDispatcher::fail(-1, EIO)
                                              : FakeDispatcher::ok(kFd);
    };
    EXPECT_EQ(r64_open_file(p.c_str(), kRW, 0644, 'G', 8, 8), nullptr);
    EXPECT_EQ(r64_error, -1);
}
