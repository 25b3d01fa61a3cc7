// TileCache: placement of every tile in the file, growth without holes, LRU reuse of the
// 319 tile entries, write-back and the failures of loading and writing tiles.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <unistd.h>

#include "fake_dispatcher.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

class TileCache : public testing::Test {
  protected:
    // Every test starts with a 1280 x 1024 'G' file whose level 0 (20 x 16 = 320 tiles) is
    // in the file; the pixel (5, 5) of tile t reads t, and touch reads it (-1 on failure).
    void SetUp() override {
        check_endian();
        r64_init();
        R64_FILE *f = create(grid, 'G', 1280, 1024);
        for (int t = 0; t < 320; ++t) {
            const unsigned char v = static_cast<unsigned char>(t);
            EXPECT_EQ(r64_set(f, (t % 20) * 64 + 5, (t / 20) * 64 + 5, 0, &v), 0);
        }
        EXPECT_EQ(r64_close_file(f), 0);
    }
    void TearDown() override { ent_len = R64_CACHE_ENTRIES; }

    static R64_FILE *create(const std::string &path, char type, int w, int h) {
        return r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
    }
    R64_FILE *reopen(int flags) { return r64_open_file(grid.c_str(), flags, 0644, 'G', 0, 0); }
    static int touch(R64_FILE *f, int t) {
        unsigned char v = 0;
        return r64_red(&v, f, (t % 20) * 64 + 5, (t / 20) * 64 + 5, 0) == 0 ? v : -1;
    }
    static R64_CACHE_ENT *tile(R64_FILE *f, int t) {
        return cached_tile(f, 0, (t % 20) * 64, (t / 20) * 64);
    }

    ScratchDir dir;
    const std::string grid = dir.file("grid.r64");
};

// Catches wrong tile offsets, row strides between bands ('B' spare byte per row, none
// when widths are multiples of 8), packing of edge tiles, and gaps left as holes, striped
// ('G' with three background bytes) or restarted at 999-byte pieces: the file equals an
// independent layout. Levels below `first` are never written and read as background.
TEST_F(TileCache, EveryLevelAndTileLandsWhereTheFormatPlacesIt) {
    const struct {
        char type;
        int w, h, first;
        unsigned char bg[3];
    } cases[] = {
        {'G', 150, 70, 0, {200, 0, 0}},    {'P', 100, 50, 0, {10, 20, 30}},
        {'B', 1020, 600, 0, {0x5A, 0, 0}}, {'B', 1024, 130, 0, {0, 0, 0}},
        {'G', 64, 64, 1, {200, 0, 0}},     {'P', 64, 64, 1, {10, 20, 30}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.w << "x" << c.h);
        R64_FILE *f = create(grid, c.type, c.w, c.h);
        ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, c.bg), 0);
        std::vector<ModelLevel> levels;
        for (const auto &[w, h] : model_level_sizes(c.w, c.h)) {
            const int k = static_cast<int>(levels.size());
            levels.push_back(patterned_level(c.type, w, h, 7 + k));
            for (size_t i = 0; k < c.first && i < levels[k].px.size(); ++i) {
                levels[k].px[i] = c.bg[i % levels[k].bpp];
            }
            ASSERT_TRUE(k < c.first || store_level(f, k, levels[k]));
        }
        EXPECT_EQ(r64_close_file(f), 0);
        EXPECT_EQ(read_bytes(grid), model_file(c.type, c.w, c.h, levels, c.bg));
    }
}

// Catches a wrong reuse policy or a cache that rereads held tiles: 319 tiles fit,
// touching a tile again protects it, the 320th takes the least recently used entry,
// and a change made behind the handle shows only once the tile's entry was reused.
TEST_F(TileCache, The320thTileReusesTheLeastRecentlyUsedEntry) {
    R64_FILE *f = reopen(O_RDONLY);
    for (int t = 0; t < 319; ++t) {
        ASSERT_EQ(touch(f, t), t % 256);
    }
    EXPECT_EQ(ring_length(f), 319);
    Bytes bytes = read_bytes(grid);
    bytes[8 + 5 * 64 + 5] = 99; // pixel (5, 5) of tile 0
    write_bytes(grid, bytes);
    EXPECT_EQ(touch(f, 0), 0);
    ASSERT_EQ(touch(f, 319), 63);
    EXPECT_TRUE(tile(f, 0) != nullptr && tile(f, 1) == nullptr);
    r64_close_file(f);
    f = reopen(O_RDONLY);
    for (int t = 0; t < 320; ++t) {
        ASSERT_GE(touch(f, t), 0);
    }
    EXPECT_EQ(tile(f, 0), nullptr);
    EXPECT_EQ(touch(f, 0), 99);
    r64_close_file(f);
}

// Catches a failed load that leaves an entry describing the tile over another tile's
// bytes, or loses the entry: the next access fails the same way, the entry is free.
TEST_F(TileCache, AFailedLoadLeavesNoEntryForItsTile) {
    R64_FILE *f = reopen(O_RDONLY);
    unsigned char v = 0;
    const int free_before = free_length(f);
    for (int attempt = 0; attempt < 2; ++attempt) { // beyond the end of a read-only file
        EXPECT_TRUE(r64_red(&v, f, 0, 0, 1) == -1 && r64_error == -6);
    }
    EXPECT_TRUE(ring_length(f) == 0 && free_length(f) == free_before);
    r64_close_file(f);
    // A file cut short inside its last tile: the read comes back short.
    ASSERT_EQ(truncate(grid.c_str(), 8 + 1280 * 1024 - 10), 0);
    f = reopen(O_RDWR);
    touch(f, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_TRUE(touch(f, 319) == -1 && r64_error == -1);
    }
    EXPECT_TRUE(tile(f, 319) == nullptr && ring_length(f) == 1);
    r64_close_file(f);
}

// Catches a failed write-back that loses the dirty tile or loads the new one anyway, a
// dirty tile dropped on reuse, a close that reports lost changes as success or leaves
// r64_error stale, a tile written past a hole when the background append fails or that
// failure reported as success, and a crash when pixels are asked of a handle opened
// without tile buffers.
TEST_F(TileCache, FailedWriteBacksKeepTheTileAndAreReported) {
    R64_FILE *f = reopen(O_RDWR);
    unsigned char v = 123;
    ASSERT_EQ(r64_set(f, 1, 0, 0, &v), 0);
    for (int t = 1; t < 319; ++t) {
        touch(f, t);
    }
    {
        SwappedFd read_only(f, grid, O_RDONLY);
        EXPECT_TRUE(touch(f, 319) == -1 && r64_error == -1);
        ASSERT_EQ(tile(f, 0), f->cache[0].prev); // still the least recently used
        EXPECT_EQ(tile(f, 0)->flags & 1, 1);
        EXPECT_TRUE(tile(f, 319) == nullptr && ring_length(f) == 319);
        EXPECT_EQ(r64_flush(f), -1);
    }
    EXPECT_EQ(read_bytes(grid)[9], 0);
    ASSERT_EQ(touch(f, 319), 63);
    EXPECT_EQ(read_bytes(grid)[9], 123);
    EXPECT_EQ(r64_close_file(f), 0);

    const std::string path = dir.file("gap.r64");
    f = create(path, 'G', 64, 64);
    ASSERT_EQ(r64_set(f, 0, 0, 1, &v), 0);
    {
        SwappedFd read_only(f, path, O_RDONLY);
        testing::internal::CaptureStderr();
        EXPECT_TRUE(r64_flush(f) == -1 && r64_error == -1);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind("fill_background: ", 0), 0u) << err;
        EXPECT_EQ(f->cache[0].next->flags & 1, 1);
    }
    EXPECT_EQ(file_size(path), 8);
    ASSERT_EQ(r64_close_file(f), 0);
    EXPECT_EQ(file_size(path), 5128);

    const Bytes before = read_bytes(grid);
    f = reopen(O_RDONLY);
    v = 200;
    ASSERT_EQ(r64_set(f, 0, 0, 0, &v), 0); // the tile is in the file: allowed in the cache
    EXPECT_TRUE(r64_close_file(f) == -1 && r64_error == -1);
    EXPECT_EQ(read_bytes(grid), before);
    f = reopen(O_RDWR);
    ASSERT_EQ(r64_set(f, 0, 0, 0, &v), 0);
    r64_error = -5;
    EXPECT_TRUE(r64_close_file(f) == 0 && r64_error == 0);
    EXPECT_EQ(read_bytes(grid)[8], 200);
    ent_len = 0; // as for a handle opened before r64_init
    f = reopen(O_RDWR);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(r64_red(&v, f, 0, 0, 0) == -1 && r64_error == -3);
    EXPECT_EQ(r64_set(f, 0, 0, 0, &v), -1);
    EXPECT_EQ(r64_close_file(f), 0);
}

// Every pixel of the given levels written in a scrambled order: cells of 13 x 11 pixels of
// all levels shuffled (the generator's raw output, the same with every standard library),
// every other cell through r64_write_block, the rest pixel by pixel through r64_set.
bool store_scrambled(R64_FILE *f, const std::vector<ModelLevel> &levels, uint32_t seed) {
    struct Cell {
        int level, x, y, w, h;
    };
    std::vector<Cell> cells;
    for (int k = 0; k < static_cast<int>(levels.size()); ++k) {
        for (int y = 0; y < levels[k].h; y += 11) {
            for (int x = 0; x < levels[k].w; x += 13) {
                cells.push_back(
                    {k, x, y, std::min(13, levels[k].w - x), std::min(11, levels[k].h - y)});
            }
        }
    }
    std::mt19937 rng(seed);
    for (size_t i = cells.size(); i > 1; --i) {
        std::swap(cells[i - 1], cells[rng() % i]);
    }
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell &c = cells[i];
        const ModelLevel &px = levels[c.level];
        if (i % 2 == 0) {
            if (r64_write_block(f, c.x, c.y, c.w, c.h, c.level, px.at(c.x, c.y),
                                static_cast<size_t>(px.w) * px.bpp) != 0) {
                return false;
            }
            continue;
        }
        for (int y = c.y; y < c.y + c.h; ++y) {
            for (int x = c.x; x < c.x + c.w; ++x) {
                if (r64_set(f, x, y, c.level, px.at(x, y)) != 0) {
                    return false;
                }
            }
        }
    }
    return true;
}

struct Scrambled {
    char type;
    int w, h;
    unsigned char bg[3];
};
// Odd sizes ('B' with a spare byte per row), a background that is not zero, and a cache of
// five tiles, so that tiles are written back far out of file order over background fills.
constexpr Scrambled kScrambled[] = {
    {'G', 150, 70, {200, 0, 0}}, {'P', 100, 50, {10, 20, 30}}, {'B', 203, 130, {0x5A, 0, 0}}};

std::vector<ModelLevel> scrambled_levels(const Scrambled &c) {
    std::vector<ModelLevel> levels;
    for (const auto &[w, h] : model_level_sizes(c.w, c.h)) {
        levels.push_back(patterned_level(c.type, w, h, 3 + static_cast<unsigned>(levels.size())));
    }
    return levels;
}

// Serves a routed descriptor from a real file, as a host would, recording every request.
class FileHost {
  public:
    static constexpr int kRouted = U_DISPATCH_FD_MIN + 77;
    explicit FileHost(int real) : real_(real) {
        fake_.answer = [this](UFR_REQ *req) {
            UFR_ARGS *a = req->argv;
            switch (req->ufr_code) {
            case UFR_CODE_READ:
                return FakeDispatcher::ok(
                    static_cast<int>(read(real_, a[1].d_rep_char_ptr.d, a[1].d_rep_char_ptr.len)));
            case UFR_CODE_WRITE:
                return FakeDispatcher::ok(
                    static_cast<int>(write(real_, a[1].d_char_ptr.d, a[1].d_char_ptr.len)));
            case UFR_CODE_LSEEK64:
                return FakeDispatcher::ok64(lseek(real_, a[1].d_int64.d, a[2].d_int.d));
            case UFR_CODE_CLOSE:
                return FakeDispatcher::ok(close(real_));
            default:
                return FakeDispatcher::fail(-1, ENOSYS);
            }
        };
    }
    // The requests as text, runs of equal requests folded: "S<ofs>,<whence>" seek,
    // "R<len>" read, "W<len>" write, "C" close; "*n" repeats.
    std::string sequence() const {
        std::vector<std::string> tokens;
        for (const RecordedRequest &r : fake_.requests) {
            switch (r.ufr_code) {
            case UFR_CODE_LSEEK64:
                tokens.push_back("S" + std::to_string(r.args[1].value) + "," +
                                 std::to_string(r.args[2].value));
                break;
            case UFR_CODE_READ:
                tokens.push_back("R" + std::to_string(r.args[1].len));
                break;
            case UFR_CODE_WRITE:
                tokens.push_back("W" + std::to_string(r.args[1].len));
                break;
            default:
                tokens.push_back("C");
            }
        }
        std::string out;
        for (size_t i = 0; i < tokens.size();) {
            size_t j = i;
            while (j < tokens.size() && tokens[j] == tokens[i]) {
                ++j;
            }
            out += tokens[i] + (j - i > 1 ? "*" + std::to_string(j - i) : "") + " ";
            i = j;
        }
        return out;
    }

  private:
    int real_;
    FakeDispatcher fake_;
};

} // namespace

// Catches a direct path that drops, misplaces or reorders tiles when it writes back out of
// order, coalesces neighbours or fills gaps in large pieces: a file built in scrambled order
// through a five-tile cache equals the independent layout, directly and routed alike.
TEST_F(TileCache, ScrambledWritesGiveTheSameFileDirectAndRouted) {
    for (const Scrambled &c : kScrambled) {
        for (const bool routed : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.type << (routed ? " routed" : " direct"));
            const std::vector<ModelLevel> levels = scrambled_levels(c);
            ent_len = 6;
            R64_FILE *f = create(grid, c.type, c.w, c.h);
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, c.bg), 0);
            std::optional<FileHost> host;
            if (routed) {
                host.emplace(f->fd);
                f->fd = FileHost::kRouted;
            }
            EXPECT_TRUE(store_scrambled(f, levels, 11));
            EXPECT_EQ(r64_close_file(f), 0);
            host.reset();
            EXPECT_EQ(read_bytes(grid), model_file(c.type, c.w, c.h, levels, c.bg));
        }
    }
}

// Catches a change in what a host sees of a routed file: the requests of the scrambled
// build, a flush, more writes and the close, recorded before the direct path existed.
TEST_F(TileCache, ARoutedFileSeesTheRequestsItAlwaysSaw) {
    const Scrambled &c = kScrambled[1];
    const std::vector<ModelLevel> levels = scrambled_levels(c);
    ent_len = 4;
    R64_FILE *f = create(grid, c.type, c.w, c.h);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, c.bg), 0);
    std::optional<FileHost> host(std::in_place, f->fd);
    f->fd = FileHost::kRouted;
    EXPECT_TRUE(store_scrambled(f, levels, 5));
    EXPECT_EQ(r64_flush(f), 0);
    unsigned char v[3] = {0, 0, 0};
    EXPECT_EQ(r64_red(v, f, 70, 40, 0), 0);
    EXPECT_EQ(r64_set(f, 1, 1, 2, v), 0);
    EXPECT_EQ(r64_close_file(f), 0);
    EXPECT_EQ(host->sequence(),
              "S0,2*4 W999*18 W768 S18758,0 W975 S0,2*2 S19733,0 W273 S0,2 S15008,0 R3750 S0,2 "
              "S15008,0 W3750 S0,2 S18758,0 R975 S0,2 S9608,0 W5400 S0,2 S15008,0 R3750 S0,2 "
              "S18758,0 W975 S0,2 S9608,0 R5400 S0,2 S9608,0 W5400 S0,2 S18758,0 R975 S0,2 S8,0 "
              "W9600 S0,2 S9608,0 R5400 S0,2 S18758,0 W975 S0,2 S8,0 R9600 S0,2 S15008,0 W3750 "
              "S0,2*2 S9608,0 W5400 S0,2 S15008,0 R3750 S0,2 S20006,0 W84 S0,2 S9608,0 R5400 S0,2 "
              "S8,0 W9600 S0,2 S18758,0 R975 S0,2 S18758,0 W975 S0,2 S15008,0 W3750 S0,2 S9608,0 "
              "W5400 S0,2 S18758,0 W975 C ");
}

// Catches a handle that trusts a remembered length too far: a read-only handle sees the
// tiles another handle appends after it opened, and only those.
TEST_F(TileCache, AReadOnlyHandleSeesTheFileGrow) {
    const std::string path = dir.file("grow.r64");
    R64_FILE *writer = create(path, 'G', 128, 64);
    const unsigned char a = 17, b = 29;
    ASSERT_TRUE(r64_set(writer, 3, 3, 0, &a) == 0 && r64_flush(writer) == 0);
    R64_FILE *reader = r64_open_file(path.c_str(), O_RDONLY, 0644, 'G', 0, 0);
    unsigned char v = 0;
    EXPECT_TRUE(r64_red(&v, reader, 3, 3, 0) == 0 && v == a);
    EXPECT_TRUE(r64_red(&v, reader, 67, 3, 0) == -1 && r64_error == -6);
    ASSERT_TRUE(r64_set(writer, 67, 3, 0, &b) == 0 && r64_flush(writer) == 0);
    EXPECT_TRUE(r64_red(&v, reader, 67, 3, 0) == 0 && v == b);
    EXPECT_TRUE(r64_red(&v, reader, 0, 0, 1) == -1 && r64_error == -6);
    EXPECT_EQ(r64_close_file(reader), 0);
    EXPECT_EQ(r64_close_file(writer), 0);
}

// Catches direct writes that escape the write checksum, or a failed pwrite reported as
// success, with another code, with the tiles marked clean, or leaving a wrong remembered
// length: on a full device the flush fails with -1 and ENOSPC and keeps every tile dirty;
// once the device has room the same flush completes the file, which equals the layout,
// and every byte written (once each: a fill and tiles in file order) is in the sum.
TEST_F(TileCache, AFailingPwriteKeepsTheTilesAndTheSum) {
    const Scrambled c = kScrambled[1];
    const std::string path = dir.file("full.r64");
    std::vector<ModelLevel> levels = scrambled_levels(c);
    for (unsigned char &byte : levels[0].px) { // level 0 stays background: one fill
        byte = c.bg[(&byte - levels[0].px.data()) % 3];
    }
    R64_FILE *f = create(path, c.type, c.w, c.h);
    ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, c.bg), 0);
    for (size_t k = 1; k < levels.size(); ++k) {
        ASSERT_TRUE(store_level(f, static_cast<int>(k), levels[k]));
    }
    {
        SwappedFd full(f, "/dev/full", O_WRONLY);
        testing::internal::CaptureStderr();
        errno = 0;
        EXPECT_EQ(r64_flush(f), -1);
        EXPECT_TRUE(r64_error == -1 && errno == ENOSPC);
        EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("fill_background: ", 0), 0u);
        EXPECT_EQ(ring_length(f), static_cast<int>(levels.size()) - 1);
        for (R64_CACHE_ENT *e = f->cache[0].next; e != &f->cache[0]; e = e->next) {
            EXPECT_EQ(e->flags & 1, 1);
        }
    }
    EXPECT_EQ(file_size(path), 8);
    ASSERT_EQ(r64_flush(f), 0);
    uint32_t sum = 0;
    ASSERT_EQ(get_checksum(f->fd, &sum, nullptr), 0);
    EXPECT_EQ(r64_close_file(f), 0);
    const Bytes bytes = read_bytes(path);
    EXPECT_EQ(bytes, model_file(c.type, c.w, c.h, levels, c.bg));
    uint32_t expected = 0;
    for (unsigned char byte : bytes) {
        expected += byte;
    }
    EXPECT_EQ(sum, expected);
}
