// cr tile reading: files are crafted byte by byte here (big-endian header, table
// and data), so the reader is checked against the format, not against a writer.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

namespace {

using r64_test::Bytes;
using r64_test::FakeDispatcher;

// Header and an all-zero table of `records` entries.
Bytes cr_skeleton(int width, int height, unsigned rect_size, uint32_t records) {
    Bytes b = r64_test::cr_header(width, height, rect_size, records);
    b.resize(16 + 12 * records, 0);
    return b;
}

void set_record(Bytes &b, int index, uint32_t ofs, char type, Bytes cal, uint32_t size) {
    Bytes rec;
    r64_test::put_be32(rec, ofs);
    rec.push_back(static_cast<unsigned char>(type));
    rec.insert(rec.end(), cal.begin(), cal.end());
    r64_test::put_be32(rec, size);
    std::copy(rec.begin(), rec.end(), b.begin() + 16 + 12 * index);
}

// Appends a tile's data and points record `index` at it.
void add_tile(Bytes &b, int index, const Bytes &data, char type = 'n', Bytes cal = {0, 0, 0}) {
    set_record(b, index, static_cast<uint32_t>(b.size()), type, cal,
               static_cast<uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}

Bytes pattern(int seed, int size) {
    Bytes d(size);
    for (int i = 0; i < size; ++i) {
        d[i] = static_cast<unsigned char>(seed * 7 + i * 13);
    }
    return d;
}

class CrRead : public ::testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override {
        if (f_ != nullptr) {
            cr_close_file(f_);
        }
    }
    void write_file(const Bytes &b) { r64_test::write_bytes(path_, b); }
    void open_file(const Bytes &b) {
        write_file(b);
        f_ = cr_open_file(path_.c_str(), O_RDONLY, 0666, 0, 0, 0);
        ASSERT_NE(f_, nullptr);
    }
    // Serves the handle through a dispatcher from here on, which counts reads and
    // fails the one numbered fail_read_: how read errors and "no file access" are seen.
    void route_through_dispatcher() {
        fake_ = std::make_unique<FakeDispatcher>();
        fake_->answer = [this, fd = f_->fd](UFR_REQ *req) {
            switch (req->ufr_code) {
            case UFR_CODE_READ:
                if (++reads_ == fail_read_) {
                    return FakeDispatcher::fail(-1, EIO);
                }
                return FakeDispatcher::ok(static_cast<int>(
                    read(fd, req->argv[1].d_rep_char_ptr.d, req->argv[1].d_rep_char_ptr.len)));
            case UFR_CODE_LSEEK64:
                return FakeDispatcher::ok64(
                    lseek(fd, req->argv[1].d_int64.d, req->argv[2].d_int.d));
            case UFR_CODE_CLOSE:
                return FakeDispatcher::ok(close(fd));
            default:
                return FakeDispatcher::fail(-1, ENOSYS);
            }
        };
        f_->fd = U_DISPATCH_FD_MIN + 10;
    }
    // The tile's bytes, or empty with the failure code in err.
    Bytes read_tile(int x, int y, int level, int *err = nullptr, CR_MEM_TBL *rec = nullptr) {
        CR_MEM_TBL b{};
        r64_error = 0;
        if (cr_read(&b, f_, x, y, level) != 0) {
            if (err != nullptr) {
                *err = r64_error;
            }
            return {};
        }
        Bytes out(b.buf, b.buf + b.size);
        if (rec != nullptr) {
            *rec = b;
            rec->buf = nullptr;
        }
        free_cr_mem_tbl(&b);
        return out;
    }
    int fail_code(int x, int y, int level) {
        int err = 0;
        EXPECT_TRUE(read_tile(x, y, level, &err).empty());
        return err;
    }
    // Ring keys, most recently used first.
    std::vector<std::tuple<int, int, int>> ring() const {
        std::vector<std::tuple<int, int, int>> keys;
        for (CR_ENT *e = f_->cache[0].next; e != &f_->cache[0]; e = e->next) {
            keys.emplace_back(e->level, e->w_ofs, e->h_ofs);
        }
        return keys;
    }
    // Every entry is in exactly one of ring and free list; ring links agree both
    // ways; ring entries hold data and free ones none.
    void expect_consistent() const {
        std::set<const CR_ENT *> seen;
        for (CR_ENT *e = f_->cache[0].next; e != &f_->cache[0]; e = e->next) {
            EXPECT_EQ(e->next->prev, e);
            EXPECT_NE(e->b.buf, nullptr);
            EXPECT_TRUE(seen.insert(e).second);
        }
        for (CR_ENT *e = f_->free_list; e != nullptr; e = e->next) {
            EXPECT_EQ(e->b.buf, nullptr);
            EXPECT_TRUE(seen.insert(e).second);
        }
        EXPECT_EQ(seen.size(), static_cast<std::size_t>(ent_len - 1));
    }

    r64_test::ScratchDir dir_;
    std::string path_ = dir_.file("t.cr");
    std::unique_ptr<FakeDispatcher> fake_; // outlives the handle, whose close it serves
    CR_FILE *f_ = nullptr;
    int reads_ = 0;
    int fail_read_ = 0;
};

// 100 x 50 with 64-pixel tiles: records 0-1 level 0, 2 level 1, 3 level 2, 4 level 3,
// 5 level 4, 6 the counted but absent level 5; data starts at 100.
Bytes small_file() {
    Bytes b = cr_skeleton(100, 50, 64, 7);
    add_tile(b, 0, pattern(0, 40));
    add_tile(b, 1, pattern(1, 261), 'j', {0x01, 0xFE, 0x80}); // size bytes 00 00 01 05
    add_tile(b, 5, pattern(5, 3));
    return b;
}

// Record fields and bytes: byte order of ofs and size, type and cal untouched,
// any pixel of a tile gives that tile, success leaves r64_error alone.
TEST_F(CrRead, ReadsRecordAndBytesOfTheTileHoldingAPixel) {
    open_file(small_file());
    CR_MEM_TBL rec{};
    EXPECT_EQ(read_tile(70, 10, 0, nullptr, &rec), pattern(1, 261));
    EXPECT_EQ(rec.type, 'j');
    EXPECT_EQ(rec.cal[0], 0x01);
    EXPECT_EQ(rec.cal[1], 0xFE);
    EXPECT_EQ(rec.cal[2], 0x80);
    EXPECT_EQ(rec.size, 261u);
    EXPECT_EQ(read_tile(64, 0, 0), pattern(1, 261));
    EXPECT_EQ(read_tile(99, 49, 0), pattern(1, 261));
    EXPECT_EQ(read_tile(63, 49, 0), pattern(0, 40));
    EXPECT_EQ(read_tile(6, 3, 4), pattern(5, 3));
    EXPECT_EQ(ring().front(), std::make_tuple(4, 0, 0));
    EXPECT_EQ(ring().size(), 3u); // one entry per distinct tile

    CR_MEM_TBL b{};
    r64_error = 77;
    ASSERT_EQ(cr_read(&b, f_, 0, 0, 0), 0);
    EXPECT_EQ(r64_error, 77);
    b.buf[0] ^= 0xFF; // the caller's copy is its own
    free_cr_mem_tbl(&b);
    EXPECT_EQ(read_tile(0, 0, 0), pattern(0, 40));
}

// A hit costs no file access, and cached data outlives changes to the file.
TEST_F(CrRead, CachedTileIsServedWithoutTheFile) {
    open_file(small_file());
    route_through_dispatcher();
    EXPECT_EQ(read_tile(0, 0, 0), pattern(0, 40));
    EXPECT_EQ(reads_, 2); // record, then data
    EXPECT_EQ(read_tile(10, 20, 0), pattern(0, 40));
    EXPECT_EQ(reads_, 2);
    write_file(Bytes{}); // truncate under the open handle
    EXPECT_EQ(read_tile(0, 0, 0), pattern(0, 40));
    EXPECT_EQ(fail_code(64, 0, 0), R64_ERR_SHORT); // record now beyond the end
    expect_consistent();
}

// Each failure reports its code, takes no tile out of the cache when a free entry
// was used, and leaves ring and free list consistent.
TEST_F(CrRead, FailuresLeaveTheCacheUsable) {
    Bytes b = cr_skeleton(100, 50, 64, 7);
    add_tile(b, 0, pattern(0, 40));
    const auto end = static_cast<uint32_t>(b.size());
    set_record(b, 1, 0, 'n', {0, 0, 0}, 5);             // (64, 0): ofs 0
    set_record(b, 2, 100, 'n', {0, 0, 0}, 0);           // level 1: size 0
    set_record(b, 3, 100, 'n', {0, 0, 0}, 0xFFFFFFF0u); // level 2: negative size
    set_record(b, 4, end - 2, 'n', {0, 0, 0}, 3);       // level 3: data past the end
    set_record(b, 5, 100, 'n', {0, 0, 0}, 0x7FFFFFFFu); // level 4: 2 GiB claimed
    open_file(b);
    ASSERT_EQ(read_tile(0, 0, 0), pattern(0, 40));
    const auto before = ring();

    EXPECT_EQ(fail_code(64, 0, 0), R64_ERR_SHORT);
    EXPECT_EQ(fail_code(0, 0, 1), R64_ERR_SHORT);
    EXPECT_EQ(fail_code(0, 0, 2), R64_ERR_SHORT);
    EXPECT_EQ(fail_code(0, 0, 3), R64_ERR_SHORT);
    route_through_dispatcher();
    EXPECT_EQ(fail_code(0, 0, 4), R64_ERR_SHORT);
    EXPECT_EQ(reads_, 1);                         // refused from its record, no data read attempted
    EXPECT_EQ(fail_code(0, 0, 5), R64_ERR_LEVEL); // counted but absent
    EXPECT_EQ(fail_code(0, 0, -1), R64_ERR_LEVEL);
    EXPECT_EQ(fail_code(0, 0, 32), R64_ERR_LEVEL);
    EXPECT_EQ(fail_code(100, 0, 0), R64_ERR_RANGE);
    EXPECT_EQ(fail_code(0, 50, 0), R64_ERR_RANGE);
    EXPECT_EQ(fail_code(-1, 0, 0), R64_ERR_RANGE);
    EXPECT_EQ(fail_code(7, 0, 4), R64_ERR_RANGE);
    write_file(Bytes(b.begin(), b.begin() + 30)); // ends inside record 1
    EXPECT_EQ(fail_code(64, 0, 0), R64_ERR_SHORT);
    EXPECT_EQ(ring(), before);
    expect_consistent();
    EXPECT_EQ(read_tile(0, 0, 0), pattern(0, 40));
}

// A failing read of the record or of the data is -1, and the cache stays usable.
TEST_F(CrRead, ReadErrorsAreReportedAsIoFailures) {
    open_file(small_file());
    route_through_dispatcher();
    fail_read_ = 1;
    EXPECT_EQ(fail_code(0, 0, 0), R64_ERR_IO);
    reads_ = 0;
    fail_read_ = 2;
    EXPECT_EQ(fail_code(0, 0, 0), R64_ERR_IO);
    EXPECT_TRUE(ring().empty());
    expect_consistent();
    fail_read_ = 0;
    EXPECT_EQ(read_tile(0, 0, 0), pattern(0, 40));
}

// 320 x 256 with 16-pixel tiles: level 0 alone has 20 x 16 = 320 tiles (record
// k = row * 20 + col); 431 records in all.
class CrReadLru : public CrRead {
  protected:
    static constexpr int kAcross = 20;
    static Bytes tile_data(int k, int seed) { return pattern(k + seed, 5 + k % 17); }
    Bytes file(int seed) const {
        Bytes b = cr_skeleton(320, 256, 16, 431);
        for (int k = 0; k < 320; ++k) {
            add_tile(b, k, tile_data(k, seed));
        }
        return b;
    }
    Bytes tile(int k) { return read_tile(16 * (k % kAcross), 16 * (k / kAcross), 0); }
};

// The 320th distinct tile evicts the least recently used one, and a tile used in
// between is kept.
TEST_F(CrReadLru, EvictsTheLeastRecentlyUsedTile) {
    ASSERT_EQ(ent_len, 320);
    open_file(file(0));
    for (int k = 0; k < 319; ++k) {
        ASSERT_EQ(tile(k), tile_data(k, 0));
    }
    EXPECT_EQ(f_->free_list, nullptr);
    EXPECT_EQ(tile(0), tile_data(0, 0)); // 1 becomes the oldest
    EXPECT_EQ(tile(319), tile_data(319, 0));
    write_file(file(100)); // a reread now shows in the data
    EXPECT_EQ(tile(0), tile_data(0, 0));
    EXPECT_EQ(tile(319), tile_data(319, 0));
    EXPECT_EQ(tile(2), tile_data(2, 0));
    EXPECT_EQ(tile(1), tile_data(1, 100)); // evicted, read again; 3 is now gone
    EXPECT_EQ(tile(4), tile_data(4, 0));
    EXPECT_EQ(tile(3), tile_data(3, 100));
    expect_consistent();
}

// A failed read into a reused entry drops only that least recently used tile and
// frees its entry for the next read.
TEST_F(CrReadLru, FailedReadIntoAReusedEntryFreesIt) {
    Bytes b = file(0);
    open_file(b);
    for (int k = 0; k < 319; ++k) {
        ASSERT_FALSE(tile(k).empty());
    }
    set_record(b, 319, 0, 0, {0, 0, 0}, 0);
    write_file(b);
    EXPECT_EQ(fail_code(16 * 19, 16 * 15, 0), R64_ERR_SHORT);
    ASSERT_NE(f_->free_list, nullptr);
    EXPECT_EQ(f_->free_list->next, nullptr);
    EXPECT_EQ(ring().size(), 318u);
    EXPECT_EQ(std::get<1>(ring().back()), 16); // tile 0 went, tile 1 is the oldest
    expect_consistent();
    EXPECT_EQ(tile(0), tile_data(0, 0));
    EXPECT_EQ(f_->free_list, nullptr);
}

} // namespace
