// Byte-order conversion of stored records: which bytes each routine reverses,
// the byte examples of stored values, and that a conversion undoes itself.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "r64/r64.h"

namespace {

using Field = std::pair<std::size_t, std::size_t>; // offset, length

class Endian : public ::testing::Test {
  protected:
    void TearDown() override { check_endian(); }

    // Fills a record with distinct bytes, converts it and compares with the bytes
    // expected from reversing exactly `fields`; converts back; then checks that a
    // big-endian host changes nothing.
    template <typename T> void check(void (*convert)(T *), std::vector<Field> fields) {
        unsigned char stored[sizeof(T)];
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            stored[i] = static_cast<unsigned char>(i + 1);
        }
        unsigned char expected[sizeof(T)];
        std::memcpy(expected, stored, sizeof(T));
        for (auto [ofs, len] : fields) {
            std::reverse(expected + ofs, expected + ofs + len);
        }
        T rec;
        std::memcpy(&rec, stored, sizeof(T));
        endian_flag = 1;
        convert(&rec);
        EXPECT_EQ(std::memcmp(&rec, expected, sizeof(T)), 0);
        convert(&rec);
        EXPECT_EQ(std::memcmp(&rec, stored, sizeof(T)), 0);
        endian_flag = 0;
        convert(&rec);
        EXPECT_EQ(std::memcmp(&rec, stored, sizeof(T)), 0);
    }
};

// Each routine reverses every multi-byte field of its record, in place, and
// nothing else (the 8-bit time fields and padding stay).
TEST_F(Endian, EachRoutineReversesExactlyItsFields) {
    check(change_endian_qv_point, {{0, 8}, {8, 8}});
    check(change_endian_qv_point_f, {{0, 4}, {4, 4}});
    check(change_endian_qv_rect, {{0, 8}, {8, 8}, {16, 8}, {24, 8}});
    check(change_endian_qv_rect_f, {{0, 4}, {4, 4}, {8, 4}, {12, 4}});
    check(change_endian_qv_color, {{0, 4}, {4, 4}, {8, 4}, {12, 4}});
    check(change_endian_qv_time, {{offsetof(QV_TIME, year), 8}});
    check(change_endian_affen2d, {{0, 8}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 8}});
}

// A stored 1.0 becomes the host's 1.0 on a little-endian host.
TEST_F(Endian, StoredDoubleBecomesHostValue) {
    const unsigned char one[8] = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    QV_POINT p;
    std::memcpy(&p.x, one, 8);
    std::memcpy(&p.y, one, 8);
    endian_flag = 1;
    change_endian_qv_point(&p);
    const unsigned char reversed[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(&p.x, reversed, 8), 0);
    EXPECT_EQ(std::memcmp(&p.y, reversed, 8), 0);
}

// Wide strings convert up to, not including, the first 0 element and never
// beyond it, whatever the flag.
TEST_F(Endian, WideStringStopsAtItsTerminator) {
    auto element = [](unsigned char b0, unsigned char b1, unsigned char b2, unsigned char b3) {
        const unsigned char bytes[4] = {b0, b1, b2, b3};
        L_CHAR c;
        std::memcpy(&c, bytes, 4);
        return c;
    };
    const L_CHAR after = element(1, 2, 3, 4);
    L_CHAR str[3] = {element(0, 0, 0, 0x41), 0, after};
    endian_flag = 1;
    change_endian_l_char(str);
    EXPECT_EQ(str[0], element(0x41, 0, 0, 0));
    EXPECT_EQ(str[1], 0u);
    EXPECT_EQ(str[2], after);

    L_CHAR empty[2] = {0, after};
    change_endian_l_char(empty);
    EXPECT_EQ(empty[1], after);

    endian_flag = 0;
    change_endian_l_char(str);
    EXPECT_EQ(str[0], element(0x41, 0, 0, 0));
    EXPECT_EQ(str[2], after);
}

} // namespace
