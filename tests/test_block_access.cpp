// Bulk pixel access against the per-pixel operations: every block read must give the
// bytes r64_red gives pixel by pixel, and every block write must leave the file with the
// bytes r64_set leaves, on odd rectangles that cross tile edges, for all three types.
#include <cstdint>
#include <fcntl.h>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "r64/r64.h"
#include "scratch_dir.h"

namespace {

using r64_test::Bytes;

struct Rect {
    int x, y, w, h;
};

int bytes_of(char type) {
    return type == 'P' ? 3 : 1;
}

class BlockAccess : public ::testing::TestWithParam<char> {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }

    R64_FILE *create(const std::string &name, int w, int h) {
        R64_FILE *f = r64_open_file(dir_.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644,
                                    GetParam(), w, h);
        EXPECT_NE(f, nullptr);
        return f;
    }

    Bytes random_pixels(int w, int h, size_t stride) {
        Bytes b(stride * static_cast<size_t>(h));
        for (auto &v : b) {
            // 'B' callers pass any byte; nonzero must set the bit.
            v = static_cast<unsigned char>(rng_() & 0xFF);
            if (GetParam() == 'B' && (rng_() & 1) == 0) {
                v = 0;
            }
        }
        (void)w;
        return b;
    }

    // Fills a level pixel by pixel so that reads have something to find.
    void fill_with_set(R64_FILE *f, int level) {
        const int n = bytes_of(GetParam());
        for (int y = 0; y < f->level_h[level]; ++y) {
            for (int x = 0; x < f->level_w[level]; ++x) {
                unsigned char px[3] = {static_cast<unsigned char>(x * 7 + y),
                                       static_cast<unsigned char>(y * 5 + 1),
                                       static_cast<unsigned char>(x ^ y)};
                if (GetParam() == 'B') {
                    px[0] = ((x * 3 + y) % 5) < 2 ? 1 : 0;
                }
                ASSERT_EQ(r64_set(f, x, y, level, px), 0);
                (void)n;
            }
        }
    }

    // The reference read: r64_red for every pixel, in the block's layout.
    Bytes read_reference(R64_FILE *f, Rect r, int level, size_t stride, unsigned char fill) {
        const int n = bytes_of(GetParam());
        Bytes out(stride * static_cast<size_t>(r.h), fill);
        for (int j = 0; j < r.h; ++j) {
            for (int i = 0; i < r.w; ++i) {
                unsigned char px[3];
                EXPECT_EQ(r64_red(px, f, r.x + i, r.y + j, level), 0);
                for (int k = 0; k < n; ++k) {
                    out[j * stride + i * n + k] = px[k];
                }
            }
        }
        return out;
    }

    r64_test::ScratchDir dir_;
    std::mt19937 rng_{12345};
};

// Odd sizes: partial edge tiles, a 'B' width that is not a multiple of 8.
constexpr int kW = 203;
constexpr int kH = 141;

// A wrong tile walk or a bit packed into the wrong place changes the file's bytes.
TEST_P(BlockAccess, WriteLeavesTheBytesOfPerPixelSet) {
    const std::vector<std::pair<int, Rect>> writes = {
        {0, {0, 0, kW, kH}},   {0, {37, 5, 101, 77}}, {0, {63, 63, 2, 2}}, {0, {130, 60, 73, 81}},
        {0, {1, 140, 200, 1}}, {0, {202, 0, 1, 141}}, {1, {3, 9, 95, 62}}, {2, {0, 0, 51, 36}},
    };
    R64_FILE *a = create("block.r64", kW, kH);
    R64_FILE *b = create("pixel.r64", kW, kH);
    ASSERT_TRUE(a && b);
    const int n = bytes_of(GetParam());
    for (const auto &[level, r] : writes) {
        const size_t stride = static_cast<size_t>(r.w * n + 5);
        const Bytes px = random_pixels(r.w, r.h, stride);
        ASSERT_EQ(r64_write_block(a, r.x, r.y, r.w, r.h, level, px.data(), stride), 0);
        for (int j = 0; j < r.h; ++j) {
            for (int i = 0; i < r.w; ++i) {
                ASSERT_EQ(r64_set(b, r.x + i, r.y + j, level, &px[j * stride + i * n]), 0);
            }
        }
    }
    EXPECT_EQ(r64_close_file(a), 0);
    EXPECT_EQ(r64_close_file(b), 0);
    EXPECT_EQ(r64_test::read_bytes(dir_.file("block.r64")),
              r64_test::read_bytes(dir_.file("pixel.r64")));
}

// Clamping or background outside the level, and strides wider than a row, must match
// r64_red and leave the caller's row padding alone.
TEST_P(BlockAccess, ReadGivesWhatPerPixelRedGives) {
    R64_FILE *f = create("read.r64", kW, kH);
    ASSERT_NE(f, nullptr);
    fill_with_set(f, 0);
    const std::vector<Rect> reads = {
        {0, 0, kW, kH},     {37, 5, 101, 77}, {63, 63, 2, 2},   {-5, -3, 80, 70},
        {150, 100, 90, 60}, {-20, 10, 10, 4}, {210, 150, 3, 3}, {-9, -9, kW + 20, kH + 20},
    };
    const int n = bytes_of(GetParam());
    const unsigned char bg[3] = {7, 8, 9};
    for (int rc_type : {1, 0}) {
        ASSERT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, rc_type), 0);
        ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, bg), 0);
        for (const Rect &r : reads) {
            const size_t stride = static_cast<size_t>(r.w * n + 3);
            const Bytes want = read_reference(f, r, 0, stride, 0xA5);
            Bytes got(stride * static_cast<size_t>(r.h), 0xA5);
            ASSERT_EQ(r64_read_block(got.data(), stride, f, r.x, r.y, r.w, r.h, 0), 0);
            EXPECT_EQ(got, want) << "rc_type " << rc_type << " rect " << r.x << "," << r.y << " "
                                 << r.w << "x" << r.h;
        }
    }
    r64_close_file(f);
}

// The error codes must be those of r64_red/r64_set, and a refused write must not change
// a single pixel (no partial write before the range check).
TEST_P(BlockAccess, RefusalsChangeNothing) {
    R64_FILE *f = create("err.r64", kW, kH);
    ASSERT_NE(f, nullptr);
    fill_with_set(f, 0);
    const Rect all{0, 0, kW, kH};
    const size_t stride = static_cast<size_t>(kW * bytes_of(GetParam()));
    const Bytes before = read_reference(f, all, 0, stride, 0);
    Bytes px(stride * kH, 0x55);

    EXPECT_EQ(r64_write_block(f, 150, 100, 60, 10, 0, px.data(), stride), -1);
    EXPECT_EQ(r64_error, R64_ERR_RANGE);
    EXPECT_EQ(r64_write_block(f, -1, 0, 10, 10, 0, px.data(), stride), -1);
    EXPECT_EQ(r64_error, R64_ERR_RANGE);
    EXPECT_EQ(r64_write_block(f, 0, 0, 10, -1, 0, px.data(), stride), -1);
    EXPECT_EQ(r64_error, R64_ERR_RANGE);
    EXPECT_EQ(r64_read_block(px.data(), stride, f, 0, 0, -1, 3, 0), -1);
    EXPECT_EQ(r64_error, R64_ERR_RANGE);
    for (int level : {-1, 7, 32, 40}) { // 203 x 141 has the levels 0 to 6 (down to 4 x 3)
        EXPECT_EQ(r64_write_block(f, 0, 0, 1, 1, level, px.data(), stride), -1);
        EXPECT_EQ(r64_error, R64_ERR_LEVEL);
        EXPECT_EQ(r64_read_block(px.data(), stride, f, 0, 0, 1, 1, level), -1);
        EXPECT_EQ(r64_error, R64_ERR_LEVEL);
    }
    EXPECT_EQ(r64_write_block(f, 5, 5, 0, 0, 0, px.data(), stride), 0);
    EXPECT_EQ(r64_error, R64_OK);
    EXPECT_EQ(read_reference(f, all, 0, stride, 0), before);
    r64_close_file(f);
}

// Tiles the file does not reach cannot be loaded read-only: the cache's -6 comes through.
TEST_P(BlockAccess, ReadOnlyFileReportsTheCacheCode) {
    R64_FILE *f = create("ro.r64", kW, kH);
    ASSERT_NE(f, nullptr);
    unsigned char px[3] = {1, 2, 3};
    ASSERT_EQ(r64_set(f, 0, 0, 0, px), 0); // only the first tile reaches the file
    r64_close_file(f);
    f = r64_open_file(dir_.file("ro.r64").c_str(), O_RDONLY, 0, 'G', 0, 0);
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> buf(3 * 200 * 10);
    EXPECT_EQ(r64_read_block(buf.data(), 3 * 200, f, 0, 0, 200, 10, 0), -1);
    EXPECT_EQ(r64_error, R64_ERR_READONLY_TILE);
    r64_close_file(f);
}

INSTANTIATE_TEST_SUITE_P(Types, BlockAccess, ::testing::Values('G', 'P', 'B'),
                         [](const auto &info) { return std::string(1, info.param); });

} // namespace
