// cr tile reading: files are crafted byte by byte here (big-endian header, table
// and data), so the reader is checked against the format, not against a writer.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <set>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

namespace {

using r64_test::Bytes;
using r64_test::FakeDispatcher;

// Record `index`: ofs and size big-endian around the type and three cal bytes.
void set_record(Bytes &b, int index, uint32_t ofs, uint32_t size, Bytes tc = {'n', 0, 0, 0}) {
    Bytes rec;
    r64_test::put_be32(rec, ofs);
    rec.insert(rec.end(), tc.begin(), tc.end());
    r64_test::put_be32(rec, size);
    std::copy(rec.begin(), rec.end(), b.begin() + 16 + 12 * index);
}

// Distinct bytes for tile `seed`; add_tile appends them and points record `index` at them.
Bytes pattern(int seed, int size) {
    Bytes d(size);
    for (int i = 0; i < size; ++i)
        d[i] = static_cast<unsigned char>(seed * 7 + i * 13);
    return d;
}
void add_tile(Bytes &b, int index, int seed, int size, Bytes tc = {'n', 0, 0, 0}) {
    set_record(b, index, static_cast<uint32_t>(b.size()), size, tc);
    const Bytes d = pattern(seed, size);
    b.insert(b.end(), d.begin(), d.end());
}

class CrRead : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    // Opens the file, served through a dispatcher that counts reads and fails number fail_read_.
    void open_file(const Bytes &b) {
        r64_test::write_bytes(path_, b);
        f_.reset(cr_open_file(path_.c_str(), O_RDONLY, 0666, 0, 0, 0));
        ASSERT_NE(f_, nullptr);
        fake_.answer = [this, fd = f_->fd](UFR_REQ *req) {
            UFR_ARGS *a = req->argv;
            if (req->ufr_code == UFR_CODE_READ)
                return ++reads_ == fail_read_
                           ? FakeDispatcher::fail(-1, EIO)
                           : FakeDispatcher::ok(static_cast<int>(
                                 read(fd, a[1].d_rep_char_ptr.d, a[1].d_rep_char_ptr.len)));
            if (req->ufr_code == UFR_CODE_LSEEK64)
                return FakeDispatcher::ok64(lseek(fd, a[1].d_int64.d, a[2].d_int.d));
            return FakeDispatcher::ok(close(fd)); // the handle's close
        };
        f_->fd = U_DISPATCH_FD_MIN + 10;
    }
    // The tile's bytes, or empty with the failure code in r64_error.
    Bytes read_tile(int x, int y, int level) {
        CR_MEM_TBL b{};
        r64_error = 0;
        if (cr_read(&b, f_.get(), x, y, level) != 0)
            return {};
        Bytes out(b.buf, b.buf + b.size);
        free_cr_mem_tbl(&b);
        return out;
    }
    // Each entry in ring or free list once, ring links both ways, data only in the ring.
    void expect_consistent() const {
        std::set<const CR_ENT *> seen;
        for (CR_ENT *e = f_->cache[0].next; e != &f_->cache[0]; e = e->next)
            EXPECT_TRUE(e->next->prev == e && e->b.buf != nullptr && seen.insert(e).second);
        for (CR_ENT *e = f_->free_list; e != nullptr; e = e->next)
            EXPECT_TRUE(e->b.buf == nullptr && seen.insert(e).second);
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(ent_len - 1));
    }

    r64_test::ScratchDir dir_;
    std::string path_ = dir_.file("t.cr");
    FakeDispatcher fake_; // outlives the handle, whose close it serves
    std::unique_ptr<CR_FILE, decltype(&cr_close_file)> f_{nullptr, cr_close_file};
    int reads_ = 0, fail_read_ = 0;
};

// 100 x 50 with 64-pixel tiles (records 0-1 level 0, 2-5 levels 1-4, 6 the counted but
// absent level 5): ofs and size to host order, type and cal untouched, the caller's copy
// its own, any pixel of a tile gives that tile; each failure its code with no data read
// (a corrupt size allocates nothing); with the file gone, every read tile still comes from
// the cache without a read, and ring and free list stay consistent.
TEST_F(CrRead, ReadsCachesAndRefuses) {
    Bytes b = r64_test::cr_header(100, 50, 64, 7);
    b.resize(16 + 12 * 7); // zero records: level 4 (record 5) never written
    add_tile(b, 0, 0, 40);
    add_tile(b, 1, 1, 261, {'j', 0x01, 0xFE, 0x80}); // size bytes 00 00 01 05
    add_tile(b, 2, 2, 3);
    set_record(b, 3, 100, 0xFFFFFFF0u);                       // level 2: negative size
    set_record(b, 4, static_cast<uint32_t>(b.size()) - 2, 3); // level 3: data past the end
    open_file(b);
    for (int n : {1, 2}) { // the record's read fails, then the data's
        reads_ = 0, fail_read_ = n;
        EXPECT_TRUE(read_tile(70, 10, 0).empty() && r64_error == R64_ERR_IO) << n;
    }
    fail_read_ = 0;
    CR_MEM_TBL rec{};
    ASSERT_EQ(cr_read(&rec, f_.get(), 70, 10, 0), 0);
    EXPECT_EQ(std::tuple(Bytes(rec.buf, rec.buf + rec.size), rec.type, Bytes(rec.cal, rec.cal + 3)),
              std::tuple(pattern(1, 261), 'j', Bytes{0x01, 0xFE, 0x80}));
    rec.buf[0] ^= 0xFF;
    free_cr_mem_tbl(&rec);
    const int S = R64_ERR_SHORT, L = R64_ERR_LEVEL, R = R64_ERR_RANGE;
    const std::tuple<int, int, int, int> failures[] = {
        {0, 0, 2, S},  {0, 0, 3, S},   {0, 0, 4, S},  {0, 0, 5, L}, {0, 0, 32, L},
        {0, 0, -1, L}, {100, 0, 0, R}, {-1, 0, 0, R}, {50, 0, 1, R}};
    for (auto [x, y, level, code] : failures) {
        reads_ = 0;
        EXPECT_TRUE(read_tile(x, y, level).empty());
        EXPECT_EQ(std::pair(r64_error, reads_), std::pair(code, code == S ? 1 : 0))
            << x << "," << y << " L" << level;
    }
    EXPECT_EQ(read_tile(63, 49, 0), pattern(0, 40));
    EXPECT_EQ(read_tile(30, 20, 1), pattern(2, 3));
    r64_test::write_bytes(path_, Bytes(b.begin(), b.begin() + 30)); // ends inside record 1
    EXPECT_TRUE(read_tile(0, 0, 3).empty() && r64_error == S);
    reads_ = 0;
    const std::tuple<int, int, int, int, int> hits[] = {
        {99, 49, 0, 1, 261}, {64, 0, 0, 1, 261}, {0, 0, 0, 0, 40}, {49, 24, 1, 2, 3}};
    for (auto [x, y, level, seed, size] : hits)
        EXPECT_EQ(read_tile(x, y, level), pattern(seed, size)) << x << "," << y << " L" << level;
    EXPECT_EQ(reads_, 0);
    expect_consistent();
}

// 320 x 256 with 16-pixel tiles: level 0 alone has 20 x 16 = 320 tiles, one more
// than the cache holds. The least recently used tile is evicted, a tile used in
// between is kept, and a failed read into a reused entry drops only that tile and
// frees its entry for the next read.
TEST_F(CrRead, EvictsTheLeastRecentlyUsedTile) {
    auto file = [](int seed, bool last_written) {
        Bytes b = r64_test::cr_header(320, 256, 16, 431);
        b.resize(16 + 12 * 431);
        for (int k = 0; k < (last_written ? 320 : 319); ++k)
            add_tile(b, k, k + seed, 5 + k % 17);
        return b;
    };
    auto tile = [this](int k) { return read_tile(16 * (k % 20), 16 * (k / 20), 0); };
    auto data = [](int k, int seed) { return pattern(k + seed, 5 + k % 17); };
    open_file(file(0, true));
    for (int k = 0; k < 319; ++k)
        ASSERT_EQ(tile(k), data(k, 0));
    EXPECT_EQ(tile(0), data(0, 0)); // 1 becomes the oldest
    r64_test::write_bytes(path_, file(100, false));
    EXPECT_TRUE(tile(319).empty());
    expect_consistent();
    r64_test::write_bytes(path_, file(100, true)); // a reread now shows in the data
    EXPECT_EQ(tile(319), data(319, 100));
    EXPECT_EQ(tile(2), data(2, 0));   // kept: only tile 1 went
    EXPECT_EQ(tile(1), data(1, 100)); // evicted, read again; 3 is now gone
    EXPECT_EQ(tile(3), data(3, 100));
}

} // namespace
