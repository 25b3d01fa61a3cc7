// TileCache: placement of every tile in the file, growth without holes, LRU reuse of the
// 319 tile entries, write-back and the failures of loading and writing tiles.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "handle_probe.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

class TileCache : public testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override { ent_len = R64_CACHE_ENTRIES; }

    R64_FILE *create(const std::string &path, char type, int w, int h) {
        return r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
    }
    R64_FILE *reopen(const std::string &path, int flags) {
        return r64_open_file(path.c_str(), flags, 0644, 'G', 0, 0);
    }
    // A 1280 x 1024 'G' file whose level 0 (20 x 16 = 320 tiles) is in the file; the
    // pixel (0, 0) of tile t reads t.
    std::string grid_file() {
        const std::string path = dir.file("grid.r64");
        R64_FILE *f = create(path, 'G', 1280, 1024);
        for (int t = 0; t < 320; ++t) {
            const unsigned char v = static_cast<unsigned char>(t);
            EXPECT_EQ(r64_set(f, (t % 20) * 64, (t / 20) * 64, 0, &v), 0);
        }
        EXPECT_EQ(r64_close_file(f), 0);
        return path;
    }
    static int touch(R64_FILE *f, int t) {
        unsigned char v = 0;
        return r64_red(&v, f, (t % 20) * 64 + 5, (t / 20) * 64 + 5, 0);
    }
    static R64_CACHE_ENT *tile(R64_FILE *f, int t) {
        return cached_tile(f, 0, (t % 20) * 64, (t / 20) * 64);
    }

    ScratchDir dir;
};

// Catches wrong tile offsets, row strides ('B' spare byte per row), packing of edge
// tiles and gap fills: every level written pixel by pixel must give the bytes that an
// independent layout computation gives.
TEST_F(TileCache, EveryLevelAndTileLandsWhereTheFormatPlacesIt) {
    struct Case {
        char type;
        int w, h;
        unsigned char bg[3];
    };
    const Case cases[] = {
        {'G', 150, 70, {200, 0, 0}},   {'P', 100, 50, {10, 20, 30}}, {'B', 1020, 20, {0x5A, 0, 0}},
        {'B', 1000, 20, {0xFF, 0, 0}}, {'B', 1024, 20, {0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.w << "x" << c.h);
        const std::string path = dir.file("layout.r64");
        R64_FILE *f = create(path, c.type, c.w, c.h);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, c.bg), 0);
        std::vector<ModelLevel> levels;
        const auto sizes = model_level_sizes(c.w, c.h);
        for (size_t k = 0; k < sizes.size(); ++k) {
            levels.push_back(patterned_level(c.type, sizes[k].first, sizes[k].second, 7 + k));
            ASSERT_TRUE(store_level(f, static_cast<int>(k), levels.back()));
        }
        ASSERT_EQ(r64_flush(f), 0);
        EXPECT_EQ(r64_close_file(f), 0);
        EXPECT_EQ(read_bytes(path), model_file(c.type, c.w, c.h, levels, c.bg));
    }
}

// Catches a gap left as a hole, a striped 'G' fill, or a 'P' pattern that restarts at
// each 999-byte piece: the gap before a later level's tile is background, byte for byte.
TEST_F(TileCache, WritingALaterLevelFillsTheGapWithBackground) {
    const std::string g = dir.file("g.r64");
    R64_FILE *f = create(g, 'G', 64, 64);
    const unsigned char grey_bg = 200, v = 9;
    r64_ctl(f, R64_CTL_BACKGROUND, &grey_bg);
    ASSERT_EQ(r64_set(f, 3, 2, 1, &v), 0);
    ASSERT_EQ(r64_flush(f), 0);
    EXPECT_EQ(file_size(g), 5128);
    Bytes bytes = read_bytes(g);
    for (int i = 8; i < 5128; ++i) {
        ASSERT_EQ(bytes[i], i == 4104 + 2 * 32 + 3 ? 9 : 200) << "offset " << i;
    }
    r64_close_file(f);

    const std::string p = dir.file("p.r64");
    f = create(p, 'P', 64, 64);
    const unsigned char colour_bg[3] = {10, 20, 30}, px[3] = {1, 2, 3};
    r64_ctl(f, R64_CTL_BACKGROUND, colour_bg);
    ASSERT_EQ(r64_set(f, 0, 0, 1, px), 0);
    ASSERT_EQ(r64_close_file(f), 0);
    bytes = read_bytes(p);
    ASSERT_EQ(bytes.size(), 15368u); // level 2 starts there: 8 + 12288 + 3072
    for (size_t i = 8; i < bytes.size(); ++i) {
        const unsigned char want = i < 12296 || i >= 12299 ? colour_bg[(i - 8) % 3] : px[i - 12296];
        ASSERT_EQ(bytes[i], want) << "offset " << i;
    }
}

// Catches a wrong reuse policy: 319 tiles fit, the 320th takes the least recently used
// entry, and touching a tile again protects it.
TEST_F(TileCache, The320thTileReusesTheLeastRecentlyUsedEntry) {
    const std::string path = grid_file();
    R64_FILE *f = reopen(path, O_RDONLY);
    for (int t = 0; t < 319; ++t) {
        ASSERT_EQ(touch(f, t), 0);
    }
    EXPECT_EQ(ring_length(f), 319);
    EXPECT_EQ(free_length(f), 0);
    EXPECT_NE(tile(f, 0), nullptr);
    ASSERT_EQ(touch(f, 319), 0);
    EXPECT_EQ(tile(f, 0), nullptr);
    EXPECT_NE(tile(f, 1), nullptr);
    EXPECT_EQ(ring_length(f), 319);
    r64_close_file(f);

    f = reopen(path, O_RDONLY);
    for (int t = 0; t < 319; ++t) {
        touch(f, t);
    }
    touch(f, 0);
    ASSERT_EQ(touch(f, 319), 0);
    EXPECT_NE(tile(f, 0), nullptr);
    EXPECT_EQ(tile(f, 1), nullptr);
    EXPECT_EQ(f->cache[0].next, tile(f, 319));
    r64_close_file(f);
}

// Catches a cache that rereads a held tile, or one that never rereads: a change made
// to the file behind the handle shows only after the tile's entry was reused.
TEST_F(TileCache, AHeldTileIsServedFromMemoryUntilItsEntryIsReused) {
    const std::string path = grid_file();
    R64_FILE *f = reopen(path, O_RDONLY);
    unsigned char v = 0;
    ASSERT_EQ(r64_red(&v, f, 0, 0, 0), 0);
    EXPECT_EQ(v, 0);
    Bytes bytes = read_bytes(path);
    bytes[8] = 99; // pixel (0, 0) of level 0
    write_bytes(path, bytes);
    ASSERT_EQ(r64_red(&v, f, 0, 0, 0), 0);
    EXPECT_EQ(v, 0);
    for (int t = 1; t < 320; ++t) {
        touch(f, t);
    }
    ASSERT_EQ(r64_red(&v, f, 0, 0, 0), 0);
    EXPECT_EQ(v, 99);
    r64_close_file(f);
}

// Catches a dirty tile dropped on reuse, and a flush that writes clean tiles again.
TEST_F(TileCache, DirtyTilesReachTheFileOnReuseAndOnlyOnce) {
    const std::string path = grid_file();
    R64_FILE *f = reopen(path, O_RDWR);
    const unsigned char v = 77;
    ASSERT_EQ(r64_set(f, 1, 0, 0, &v), 0);
    EXPECT_EQ(read_bytes(path)[9], 0);
    for (int t = 1; t < 320; ++t) {
        touch(f, t);
    }
    EXPECT_EQ(read_bytes(path)[9], 77);

    ASSERT_EQ(r64_set(f, 2, 64, 0, &v), 0); // tile 20, pixel row 0 at 8 + 64 * 1280 + 2
    ASSERT_EQ(r64_flush(f), 0);
    Bytes bytes = read_bytes(path);
    EXPECT_EQ(bytes[8 + 64 * 1280 + 2], 77);
    bytes[8 + 64 * 1280 + 2] = 5;
    write_bytes(path, bytes);
    ASSERT_EQ(r64_flush(f), 0);
    EXPECT_EQ(read_bytes(path)[8 + 64 * 1280 + 2], 5);
    r64_close_file(f);
}

// Catches a failed write-back that loses the dirty tile or loads the new one anyway.
TEST_F(TileCache, AFailedWriteBackKeepsTheOldTileDirtyAndCached) {
    const std::string path = grid_file();
    R64_FILE *f = reopen(path, O_RDWR);
    const unsigned char v = 123;
    ASSERT_EQ(r64_set(f, 1, 0, 0, &v), 0);
    for (int t = 1; t < 319; ++t) {
        touch(f, t);
    }
    {
        SwappedFd read_only(f, path, O_RDONLY);
        EXPECT_EQ(touch(f, 319), -1);
        EXPECT_EQ(r64_error, -1);
        ASSERT_NE(tile(f, 0), nullptr);
        EXPECT_EQ(tile(f, 0), f->cache[0].prev);
        EXPECT_EQ(tile(f, 0)->flags & 1, 1);
        EXPECT_EQ(tile(f, 319), nullptr);
        EXPECT_EQ(ring_length(f), 319);
        EXPECT_EQ(r64_flush(f), -1);
    }
    EXPECT_EQ(read_bytes(path)[9], 0);
    ASSERT_EQ(touch(f, 319), 0);
    EXPECT_EQ(read_bytes(path)[9], 123);
    EXPECT_EQ(tile(f, 0), nullptr);
    EXPECT_EQ(r64_close_file(f), 0);
}

// Catches a failed load that leaves an entry describing the tile over another tile's
// bytes: the next access must fail the same way, not succeed with garbage.
TEST_F(TileCache, AFailedLoadLeavesNoEntryForItsTile) {
    const std::string path = grid_file();
    R64_FILE *f = reopen(path, O_RDONLY);
    unsigned char v = 42;
    const int free_before = free_length(f);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(r64_red(&v, f, 0, 0, 1), -1);
        EXPECT_EQ(r64_error, -6);
        EXPECT_EQ(v, 42);
    }
    EXPECT_EQ(ring_length(f), 0);
    EXPECT_EQ(free_length(f), free_before);
    r64_close_file(f);

    // A file cut short inside its last tile: the read comes back short.
    ASSERT_EQ(truncate(path.c_str(), 8 + 1280 * 1024 - 10), 0);
    f = reopen(path, O_RDWR);
    touch(f, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(touch(f, 319), -1);
        EXPECT_EQ(r64_error, -1);
    }
    EXPECT_EQ(tile(f, 319), nullptr);
    EXPECT_EQ(ring_length(f), 1);
    r64_close_file(f);
}

// Catches a tile written past a hole when the background append fails, and a failure
// reported as success.
TEST_F(TileCache, AFailedGapFillFailsTheWriteBack) {
    const std::string path = dir.file("gap.r64");
    R64_FILE *f = create(path, 'G', 64, 64);
    const unsigned char v = 1;
    ASSERT_EQ(r64_set(f, 0, 0, 1, &v), 0);
    {
        SwappedFd read_only(f, path, O_RDONLY);
        int result = 0;
        const std::string err = stderr_of([&] { result = r64_flush(f); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(r64_error, -1);
        EXPECT_EQ(err.rfind("fill_background: ", 0), 0u) << err;
        EXPECT_EQ(f->cache[0].next->flags & 1, 1);
    }
    EXPECT_EQ(file_size(path), 8);
    ASSERT_EQ(r64_close_file(f), 0);
    EXPECT_EQ(file_size(path), 5128);
}

// Catches a close that reports lost changes as success, or leaves r64_error stale.
TEST_F(TileCache, CloseReportsAWriteBackThatFailed) {
    const std::string path = grid_file();
    const Bytes before = read_bytes(path);
    R64_FILE *f = reopen(path, O_RDONLY);
    const unsigned char v = 200;
    ASSERT_EQ(r64_set(f, 0, 0, 0, &v), 0); // the tile is in the file: allowed in the cache
    unsigned char back = 0;
    ASSERT_EQ(r64_red(&back, f, 0, 0, 0), 0);
    EXPECT_EQ(back, 200);
    EXPECT_EQ(r64_flush(f), -1);
    EXPECT_EQ(r64_close_file(f), -1);
    EXPECT_EQ(r64_error, -1);
    EXPECT_EQ(read_bytes(path), before);

    f = reopen(path, O_RDWR);
    ASSERT_EQ(r64_set(f, 0, 0, 0, &v), 0);
    r64_error = -5;
    EXPECT_EQ(r64_close_file(f), 0);
    EXPECT_EQ(r64_error, 0);
    EXPECT_EQ(read_bytes(path)[8], 200);
}

// Catches a crash when pixels are asked of a handle opened before r64_init.
TEST_F(TileCache, AHandleWithoutTileBuffersRefusesPixels) {
    const std::string path = grid_file();
    ent_len = 0;
    R64_FILE *f = reopen(path, O_RDWR);
    ASSERT_NE(f, nullptr);
    unsigned char v = 0;
    EXPECT_EQ(r64_red(&v, f, 0, 0, 0), -1);
    EXPECT_EQ(r64_error, -3);
    EXPECT_EQ(r64_set(f, 0, 0, 0, &v), -1);
    EXPECT_EQ(r64_close_file(f), 0);
}

} // namespace
