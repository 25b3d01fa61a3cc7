// Bulk pixel access against the per-pixel operations: every block read must give the
// bytes r64_red gives pixel by pixel, and every block write must leave the file with the
// bytes r64_set leaves, on odd rectangles that cross tile edges, for all three types.
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

// Odd sizes: partial edge tiles, a 'B' width that is not a multiple of 8.
constexpr int kW = 203, kH = 141;

class BlockAccess : public ::testing::TestWithParam<char> {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    int bpp() const { return GetParam() == 'P' ? 3 : 1; }

    R64_FILE *create(const std::string &name) {
        R64_FILE *f = r64_open_file(dir_.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644,
                                    GetParam(), kW, kH);
        EXPECT_NE(f, nullptr);
        return f;
    }

    // The reference read: r64_red for every pixel, in the block's layout.
    Bytes read_reference(R64_FILE *f, Rect r, size_t stride, unsigned char fill) {
        Bytes out(stride * r.h, fill);
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i) {
                unsigned char px[3];
                EXPECT_EQ(r64_red(px, f, r.x + i, r.y + j, 0), 0);
                std::copy(px, px + bpp(), &out[j * stride + i * bpp()]);
            }
        return out;
    }

    r64_test::ScratchDir dir_;
};

// Writes: a wrong tile walk or a bit packed into the wrong place changes the file's bytes
// ('B' callers pass any byte, and a nonzero one must set the bit). Reads of the written
// file, read-only: clamping or background outside the level, and strides wider than a
// row, must match r64_red and leave the caller's row padding alone.
TEST_P(BlockAccess, BlocksMatchPerPixelCalls) {
    const std::vector<std::pair<int, Rect>> writes = {
        {0, {0, 0, kW, kH}},   {0, {37, 5, 101, 77}}, {0, {63, 63, 2, 2}}, {0, {130, 60, 73, 81}},
        {0, {1, 140, 200, 1}}, {0, {202, 0, 1, 141}}, {1, {3, 9, 95, 62}}, {2, {0, 0, 51, 36}},
    };
    R64_FILE *a = create("block.r64"), *b = create("pixel.r64");
    ASSERT_TRUE(a && b);
    std::mt19937 rng(12345);
    for (const auto &[level, r] : writes) {
        const size_t stride = r.w * bpp() + 5;
        Bytes px(stride * r.h);
        for (auto &v : px)
            v = GetParam() == 'B' && rng() % 2 ? 0 : static_cast<unsigned char>(rng());
        ASSERT_EQ(r64_write_block(a, r.x, r.y, r.w, r.h, level, px.data(), stride), 0);
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i)
                ASSERT_EQ(r64_set(b, r.x + i, r.y + j, level, &px[j * stride + i * bpp()]), 0);
    }
    EXPECT_EQ(r64_close_file(a), 0);
    EXPECT_EQ(r64_close_file(b), 0);
    EXPECT_EQ(r64_test::read_bytes(dir_.file("block.r64")),
              r64_test::read_bytes(dir_.file("pixel.r64")));

    R64_FILE *f = r64_open_file(dir_.file("block.r64").c_str(), O_RDONLY, 0, 'G', 0, 0);
    ASSERT_NE(f, nullptr);
    const std::vector<Rect> reads = {
        {0, 0, kW, kH},     {37, 5, 101, 77}, {63, 63, 2, 2},   {-5, -3, 80, 70},
        {150, 100, 90, 60}, {-20, 10, 10, 4}, {210, 150, 3, 3}, {-9, -9, kW + 20, kH + 20},
    };
    const unsigned char bg[3] = {7, 8, 9};
    ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, bg), 0);
    for (int rc_type : {1, 0}) {
        ASSERT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, rc_type), 0);
        for (const Rect &r : reads) {
            const size_t stride = r.w * bpp() + 3;
            Bytes got(stride * r.h, 0xA5);
            ASSERT_EQ(r64_read_block(got.data(), stride, f, r.x, r.y, r.w, r.h, 0), 0);
            EXPECT_EQ(got, read_reference(f, r, stride, 0xA5))
                << "rc_type " << rc_type << " rect " << r.x << "," << r.y << " " << r.w << "x"
                << r.h;
        }
    }
    r64_close_file(f);
}

// The error codes must be those of r64_red/r64_set, and a refused write must not change
// a single pixel (no partial write before the range check).
TEST_P(BlockAccess, RefusalsChangeNothing) {
    R64_FILE *f = create("err.r64");
    ASSERT_NE(f, nullptr);
    const size_t stride = kW * bpp();
    const Bytes before = read_reference(f, {0, 0, kW, kH}, stride, 0);
    Bytes px(stride * kH); // 0x55 and 0: a change shows whatever the background
    for (size_t i = 0; i < px.size(); i += 2)
        px[i] = 0x55;
    auto refused = [&](bool write, Rect r, int level, int code) {
        EXPECT_EQ(write ? r64_write_block(f, r.x, r.y, r.w, r.h, level, px.data(), stride)
                        : r64_read_block(px.data(), stride, f, r.x, r.y, r.w, r.h, level),
                  -1);
        EXPECT_EQ(r64_error, code) << (write ? "write " : "read ") << r.x << "," << r.y << " "
                                   << r.w << "x" << r.h << " level " << level;
    };
    for (Rect r : {Rect{150, 100, 60, 10}, Rect{-1, 0, 10, 10}, Rect{0, 0, 10, -1}})
        refused(true, r, 0, R64_ERR_RANGE);
    refused(false, {0, 0, -1, 3}, 0, R64_ERR_RANGE);
    for (int level : {-1, 7, 32, 40}) // 203 x 141 has the levels 0 to 6 (down to 4 x 3)
        for (bool write : {true, false})
            refused(write, {0, 0, 1, 1}, level, R64_ERR_LEVEL);
    EXPECT_EQ(r64_write_block(f, 5, 5, 0, 0, 0, px.data(), stride), 0);
    EXPECT_EQ(r64_error, R64_OK);
    EXPECT_EQ(read_reference(f, {0, 0, kW, kH}, stride, 0), before);
    r64_close_file(f);
}

// Read-only, a block whose first tile is in the file and the next is not gives the
// cache's -6.
TEST_P(BlockAccess, ReadOnlyFileReportsTheCacheCode) {
    R64_FILE *f = create("ro.r64");
    ASSERT_NE(f, nullptr);
    const unsigned char px[3] = {1, 2, 3};
    ASSERT_EQ(r64_set(f, 0, 0, 0, px), 0); // only the first tile reaches the file
    r64_close_file(f);
    f = r64_open_file(dir_.file("ro.r64").c_str(), O_RDONLY, 0, 'G', 0, 0);
    ASSERT_NE(f, nullptr);
    Bytes buf(3 * 200 * 10);
    EXPECT_EQ(r64_read_block(buf.data(), 3 * 200, f, 0, 0, 200, 10, 0), -1);
    EXPECT_EQ(r64_error, R64_ERR_READONLY_TILE);
    r64_close_file(f);
}

INSTANTIATE_TEST_SUITE_P(Types, BlockAccess, ::testing::Values('G', 'P', 'B'),
                         [](const auto &info) { return std::string(1, info.param); });

} // namespace
