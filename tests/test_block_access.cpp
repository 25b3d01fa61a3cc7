// Block reads and writes must give the bytes r64_red and r64_set give pixel by pixel, on
// odd rectangles across tile edges, for all three types.
#include <fcntl.h>
#include <random>
#include <string>
#include <tuple>
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
constexpr int kW = 203, kH = 141, kCreate = O_RDWR | O_CREAT | O_TRUNC;

class BlockAccess : public ::testing::TestWithParam<char> {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    int bpp() const { return GetParam() == 'P' ? 3 : 1; }
    R64_FILE *open(const std::string &name, int flags) {
        return r64_open_file(dir_.file(name).c_str(), flags, 0644, GetParam(), kW, kH);
    }

    // The reference read: r64_red for every pixel, in the block's layout.
    Bytes read_reference(R64_FILE *f, Rect r, size_t stride, unsigned char fill) {
        Bytes out(stride * r.h, fill);
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i)
                EXPECT_EQ(r64_red(&out[j * stride + i * bpp()], f, r.x + i, r.y + j, 0), 0);
        return out;
    }

    r64_test::ScratchDir dir_;
};

// Refusals first: the codes of r64_red/r64_set, and not one pixel written (no partial
// write before the range check). Then a wrong tile walk or a misplaced bit ('B' callers
// pass any byte) changes the file's bytes. Read-only: clamping or background outside the
// level and strides wider than a row must match r64_red and leave the row padding alone;
// a block whose first tile is in the file and the next is not gives the cache's -6.
TEST_P(BlockAccess, BlocksMatchPerPixelCalls) {
    R64_FILE *a = open("block.r64", kCreate), *b = open("pixel.r64", kCreate);
    const size_t whole = kW * bpp();
    Bytes ones(whole * kH, 0x55); // not the background (0), and a set bit for 'B'
    // Write or read, the rectangle, the level, the code; 203 x 141 has the levels 0 to 6.
    const std::tuple<bool, Rect, int, int> refusals[] = {
        {true, {150, 100, 60, 10}, 0, R64_ERR_RANGE},
        {false, {0, 0, -1, 3}, 0, R64_ERR_RANGE},
        {true, {0, 0, 1, 1}, 7, R64_ERR_LEVEL},
        {false, {0, 0, 1, 1}, -1, R64_ERR_LEVEL}};
    for (const auto &[write, r, level, code] : refusals) {
        EXPECT_EQ(write ? r64_write_block(a, r.x, r.y, r.w, r.h, level, ones.data(), whole)
                        : r64_read_block(ones.data(), whole, a, r.x, r.y, r.w, r.h, level),
                  -1);
        EXPECT_EQ(r64_error, code) << (write ? "write " : "read ") << r.x << " level " << level;
    }
    EXPECT_EQ(r64_write_block(a, 5, 5, 0, 0, 0, ones.data(), whole), 0);
    EXPECT_EQ(r64_error, R64_OK);
    EXPECT_EQ(read_reference(a, {0, 0, kW, kH}, whole, 0xEE), Bytes(whole * kH, 0));

    const std::pair<int, Rect> writes[] = {
        {0, {0, 0, kW, kH}},   {0, {37, 5, 101, 77}}, {0, {63, 63, 2, 2}}, {0, {130, 60, 73, 81}},
        {0, {1, 140, 200, 1}}, {0, {202, 0, 1, 141}}, {1, {3, 9, 55, 50}}}; // level 1: one tile
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
    EXPECT_EQ(r64_close_file(a) | r64_close_file(b), 0);
    EXPECT_EQ(r64_test::read_bytes(dir_.file("block.r64")),
              r64_test::read_bytes(dir_.file("pixel.r64")));

    R64_FILE *f = open("block.r64", O_RDONLY);
    ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, "\7\10\11"), 0);
    const Rect reads[] = {{0, 0, kW, kH},     {63, 63, 2, 2},   {-5, -3, 80, 70},
                          {150, 100, 90, 60}, {-20, 10, 10, 4}, {-9, -9, kW + 20, kH + 20}};
    for (int rc_type : {1, 0}) {
        ASSERT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, rc_type), 0);
        for (const Rect &r : reads) {
            const size_t stride = r.w * bpp() + 3;
            Bytes got(stride * r.h, 0xA5);
            ASSERT_EQ(r64_read_block(got.data(), stride, f, r.x, r.y, r.w, r.h, 0), 0);
            EXPECT_EQ(got, read_reference(f, r, stride, 0xA5)) << rc_type << " " << &r - reads;
        }
    }
    EXPECT_EQ(r64_read_block(Bytes(3 * 100 * 10).data(), 3 * 100, f, 0, 0, 100, 10, 1), -1);
    EXPECT_EQ(r64_error, R64_ERR_READONLY_TILE);
    r64_close_file(f);
}

INSTANTIATE_TEST_SUITE_P(Types, BlockAccess, ::testing::Values('G', 'P', 'B'),
                         [](const auto &info) { return std::string(1, info.param); });

} // namespace
