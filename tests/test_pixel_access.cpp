// PixelAccess: r64_red, r64_set and r64_plane: where a pixel lives in its tile, 'B' bit
// packing, reads outside the level under both rc_type values, and every error code.
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

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
        return r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
    }
    R64_FILE *reopen(int flags) { return r64_open_file(path.c_str(), flags, 0644, 'G', 0, 0); }

    ScratchDir dir;
    const std::string path = dir.file("px.r64");
};

// Catches wrong clamping (each coordinate clamped on its own under rc_type 1), and
// background reads under rc_type 0 that load tiles or copy more bytes than the pixel has.
TEST_F(PixelAccess, OutsideReadsClampOrGiveTheBackground) {
    const int probes[][4] = {{-5, 10, 0, 10}, {103, -1, 99, 0}, {-1, 60, 0, 49}, {100, 49, 99, 49}};
    const unsigned char bg[3] = {7, 8, 9}, grey[3] = {7, 2, 3};
    for (const char type : {'G', 'P'}) {
        R64_FILE *f = create(type, 100, 50);
        const ModelLevel px = patterned_level(type, 100, 50, 3);
        ASSERT_TRUE(store_level(f, 0, px));
        ASSERT_EQ(r64_ctl(f, R64_CTL_BACKGROUND, bg), 0);
        const int cached = ring_length(f);
        for (const auto &p : probes) { // level 0 clamped, then level 1 as background
            unsigned char v[3] = {1, 2, 3};
            ASSERT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, 1) + r64_red(v, f, p[0], p[1], 0), 0);
            EXPECT_EQ(std::memcmp(v, px.at(p[2], p[3]), px.bpp), 0) << p[0] << "," << p[1];
            ASSERT_EQ(r64_ctl(f, R64_CTL_RC_TYPE, 0) + r64_red(v, f, p[0], p[1], 1), 0);
            EXPECT_EQ(std::memcmp(v, type == 'P' ? bg : grey, 3), 0);
        }
        EXPECT_EQ(ring_length(f), cached);
        r64_close_file(f);
    }
}

// Catches wrong tile sizes ('B' rows packed to the tile's own width) and pixel offsets
// handed out by r64_plane, a tile handed out for a point outside the level, and missing
// range checks: each refused call returns -1 with its code and changes nothing (-9
// level, -7 position, -6 a tile beyond a read-only file).
TEST_F(PixelAccess, PlaneAndRefusedCalls) {
    unsigned char v = 9;
    char *data = nullptr;
    int w = 0, h = 0, size = 0;
    R64_FILE *f = create('B', 100, 20);
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 70, 1, 0), 0);
    EXPECT_EQ(std::pair(w, size), std::pair(36, 5 * 20));
    r64_close_file(f);
    f = create('P', 64, 64);
    const unsigned char px[3] = {11, 22, 33};
    ASSERT_EQ(r64_set(f, 1, 1, 0, px), 0);
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 0, 0, 0), 0);
    EXPECT_EQ(std::memcmp(data + 195, px, 3), 0);
    r64_error = 4; // outside the level: no tile, and success
    ASSERT_EQ(r64_plane(&data, &w, &h, &size, f, 100, 0, 0), 0);
    EXPECT_TRUE(data == nullptr && r64_error == 0);
    r64_close_file(f);

    auto refused = [&](R64_FILE *f, int x, int y, int level, int code) {
        SCOPED_TRACE(testing::Message() << x << "," << y << " level " << level);
        data = reinterpret_cast<char *>(&v);
        EXPECT_TRUE(r64_red(&v, f, x, y, level) == -1 && r64_error == code);
        EXPECT_TRUE(r64_set(f, x, y, level, &v) == -1 && r64_error == code);
        EXPECT_TRUE(r64_plane(&data, &w, &h, &size, f, x, y, level) == -1 && r64_error == code);
        EXPECT_TRUE(data == reinterpret_cast<char *>(&v) && v == 9);
    };
    f = create('G', 64, 64);
    for (int level : {40, 5, -1}) {
        refused(f, 0, 0, level, -9);
    }
    EXPECT_TRUE(r64_set(f, 64, 0, 0, &v) == -1 && r64_error == -7);
    EXPECT_TRUE(r64_set(f, 0, -1, 0, &v) == -1 && r64_error == -7);
    EXPECT_EQ(ring_length(f), 0);
    r64_close_file(f);
    f = reopen(O_RDONLY);
    refused(f, 1, 1, 0, -6);
    r64_close_file(f);
}

// Catches lost or misplaced pixels at scale: a 4096 x 4096 'P' image written, reopened
// and read back, every pixel compared and the file exactly level 0 long.
TEST_F(PixelAccess, LargeColourImageRoundTrips) {
    constexpr int kSide = 4096;
    long failures = 0;
    for (int pass = 0; pass < 2; ++pass) { // write, close, reopen, read
        R64_FILE *f = pass == 0 ? create('P', kSide, kSide) : reopen(O_RDONLY);
        for (int i = 0; i < kSide * kSide; ++i) {
            const int x = i % kSide, y = i / kSide;
            const unsigned char want[3] = {static_cast<unsigned char>(x ^ y),
                                           static_cast<unsigned char>(x >> 4),
                                           static_cast<unsigned char>(y * 7 >> 3)};
            unsigned char got[3];
            failures += pass == 0 ? r64_set(f, x, y, 0, want) != 0
                                  : r64_red(got, f, x, y, 0) != 0 || std::memcmp(want, got, 3);
        }
        EXPECT_EQ(r64_close_file(f), 0);
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(file_size(path), 8L + 3L * kSide * kSide);
}

} // namespace
