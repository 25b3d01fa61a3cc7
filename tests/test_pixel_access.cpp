// PixelAccess: r64_red, r64_set and r64_plane: where a pixel lives in its tile, 'B' bit
// packing, reads outside the level under both rc_type values, and every error code.
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "handle_probe.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

class PixelAccess : public testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    R64_FILE *create(char type, int w, int h) {
        path = dir.file("px.r64");
        return r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
    }
    R64_FILE *reopen(int flags) { return r64_open_file(path.c_str(), flags, 0644, 'G', 0, 0); }

    ScratchDir dir;
    std::string path;
};

// Catches wrong clamping: under the default rc_type a point outside the level reads the
// nearest pixel of the level, each coordinate clamped on its own.
TEST_F(PixelAccess, OutsideReadsGiveTheNearestEdgePixelByDefault) {
    R64_FILE *f = create('G', 100, 50);
    const ModelLevel px = patterned_level('G', 100, 50, 3);
    ASSERT_TRUE(store_level(f, 0, px));
    const struct {
        int x, y, ex, ey;
    } probes[] = {{-5, 10, 0, 10}, {103, -1, 99, 0}, {-1, 60, 0, 49}, {100, 49, 99, 49}};
    for (const auto &p : probes) {
        unsigned char v = 0;
        ASSERT_EQ(r64_red(&v, f, p.x, p.y, 0), 0);
        EXPECT_EQ(v, *px.at(p.ex, p.ey)) << p.x << "," << p.y;
        EXPECT_EQ(r64_error, 0);
    }
    r64_close_file(f);
}

// Catches background reads that load tiles or copy the wrong number of bytes.
TEST_F(PixelAccess, OutsideReadsGiveTheBackgroundUnderRcTypeZero) {
    R64_FILE *f = create('P', 100, 50);
    const unsigned char bg[3] = {7, 8, 9};
    ASSERT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, 0), 0);
    ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, bg), 0);
    for (const auto &pt : {std::pair{-1, 0}, std::pair{100, 49}, std::pair{0, -100}}) {
        unsigned char v[3] = {0, 0, 0};
        ASSERT_EQ(r64_red(v, f, pt.first, pt.second, 1), 0);
        EXPECT_EQ(std::memcmp(v, bg, 3), 0);
    }
    EXPECT_EQ(ring_length(f), 0);
    r64_close_file(f);

    f = create('G', 10, 10);
    const unsigned char grey = 55;
    r64_ctl(f, R64_CTL_RC_TYPE, 0);
    r64_ctl(f, R64_CTL_BACKGROUND, &grey);
    unsigned char v[3] = {1, 2, 3};
    ASSERT_EQ(r64_red(v, f, 10, 0, 0), 0);
    EXPECT_EQ(v[0], 55);
    EXPECT_EQ(v[1], 2); // one byte a 'G' pixel
    r64_close_file(f);
}

// Catches 'B' rows packed to 64 pixels instead of the tile's width, wrong bit order, or
// a write that disturbs the neighbouring bits.
TEST_F(PixelAccess, BitPixelsArePackedToTheTilesOwnWidth) {
    R64_FILE *f = create('B', 100, 20);
    const unsigned char one = 0x01, zero = 0;
    ASSERT_EQ(r64_set(f, 69, 1, 0, &one), 0);
    ASSERT_EQ(r64_set(f, 70, 1, 0, &one), 0);
    ASSERT_EQ(r64_set(f, 71, 1, 0, &one), 0);
    char *data = nullptr;
    int w = 0, h = 0, size = 0;
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 70, 1, 0), 0);
    EXPECT_EQ(w, 36);
    EXPECT_EQ(h, 20);
    EXPECT_EQ(size, 5 * 20);
    EXPECT_EQ(static_cast<unsigned char>(data[5]), 0x07); // bits of x 69, 70, 71 (5, 6, 7)
    ASSERT_EQ(r64_set(f, 70, 1, 0, &zero), 0);
    EXPECT_EQ(static_cast<unsigned char>(data[5]), 0x05);
    unsigned char v = 0;
    ASSERT_EQ(r64_red(&v, f, 71, 1, 0), 0);
    EXPECT_EQ(v, 0xFF);
    ASSERT_EQ(r64_red(&v, f, 70, 1, 0), 0);
    EXPECT_EQ(v, 0x00);
    r64_close_file(f);
}

// Catches wrong pixel offsets and tile sizes handed out by r64_plane.
TEST_F(PixelAccess, PlaneHandsOutTheTileAsStored) {
    R64_FILE *f = create('P', 64, 64);
    const unsigned char px[3] = {11, 22, 33};
    ASSERT_EQ(r64_set(f, 1, 1, 0, px), 0);
    char *data = nullptr;
    int w = 0, h = 0, size = 0;
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 0, 0, 0), 0);
    EXPECT_EQ(size, 12288);
    EXPECT_EQ(std::memcmp(data + 195, px, 3), 0);
    r64_close_file(f);

    f = create('G', 100, 50);
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 99, 49, 0), 0);
    EXPECT_EQ(w, 36);
    EXPECT_EQ(h, 50);
    EXPECT_EQ(size, 1800);
    w = h = size = -1;
    r64_error = 4;
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 100, 0, 0), 0);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(w, -1);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(r64_error, 0);
    r64_close_file(f);
}

// Catches missing range checks: each refused call returns -1 with its code and
// changes nothing.
TEST_F(PixelAccess, RefusedCallsReportTheirCodeAndChangeNothing) {
    R64_FILE *f = create('G', 64, 64);
    unsigned char v = 9;
    char *data = nullptr;
    int w = 0, h = 0, size = 0;
    for (int level : {40, 5, -1}) {
        EXPECT_EQ(r64_red(&v, f, 0, 0, level), -1);
        EXPECT_EQ(r64_error, -9);
        EXPECT_EQ(r64_set(f, 0, 0, level, &v), -1);
        EXPECT_EQ(r64_error, -9);
        EXPECT_EQ(r64_plane(&data, &w, &h, &size, f, 0, 0, level), -1);
        EXPECT_EQ(r64_error, -9);
    }
    EXPECT_EQ(r64_set(f, 64, 0, 0, &v), -1);
    EXPECT_EQ(r64_error, -7);
    EXPECT_EQ(r64_set(f, 0, -1, 0, &v), -1);
    EXPECT_EQ(r64_error, -7);
    EXPECT_EQ(ring_length(f), 0);
    EXPECT_EQ(v, 9);
    r64_close_file(f);

    // Read-only: a tile the file does not reach cannot be had; the caller's buffers stay.
    f = reopen(O_RDONLY);
    v = 9;
    EXPECT_EQ(r64_red(&v, f, 1, 1, 0), -1);
    EXPECT_EQ(r64_error, -6);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(r64_set(f, 1, 1, 0, &v), -1);
    EXPECT_EQ(r64_error, -6);
    data = reinterpret_cast<char *>(&v);
    EXPECT_EQ(r64_plane(&data, &w, &h, &size, f, 1, 1, 0), -1);
    EXPECT_EQ(data, reinterpret_cast<char *>(&v));
    r64_close_file(f);
}

// Catches lost or misplaced pixels at scale: a 4096 x 4096 'P' image written, closed,
// reopened and read back, every pixel compared and the file exactly level 0 long.
TEST_F(PixelAccess, LargeColourImageRoundTrips) {
    constexpr int kSide = 4096;
    auto colour = [](int x, int y, unsigned char *p) {
        p[0] = static_cast<unsigned char>(x ^ y);
        p[1] = static_cast<unsigned char>(x >> 4);
        p[2] = static_cast<unsigned char>((y * 7) >> 3);
    };
    R64_FILE *f = create('P', kSide, kSide);
    unsigned char p[3];
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            colour(x, y, p);
            ASSERT_EQ(r64_set(f, x, y, 0, p), 0);
        }
    }
    ASSERT_EQ(r64_close_file(f), 0);
    EXPECT_EQ(file_size(path), 8L + 3L * kSide * kSide);

    f = reopen(O_RDONLY);
    ASSERT_NE(f, nullptr);
    long mismatches = 0;
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            unsigned char want[3], got[3];
            colour(x, y, want);
            ASSERT_EQ(r64_red(got, f, x, y, 0), 0);
            mismatches += std::memcmp(want, got, 3) != 0;
        }
    }
    EXPECT_EQ(mismatches, 0);
    r64_close_file(f);
}

} // namespace
