// Byte-order conversion of stored records: which bytes each routine reverses,
// that a conversion undoes itself, and the wide-string walk.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "r64/r64.h"

namespace {

// Converts a record of distinct bytes with the flag set and compares it with the bytes
// from reversing exactly `fields` (offset, length); a second call restores it; with the
// flag clear nothing changes.
template <typename T>
void check(void (*convert)(T *), std::vector<std::pair<std::size_t, std::size_t>> fields) {
    unsigned char stored[sizeof(T)], want[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i)
        stored[i] = want[i] = static_cast<unsigned char>(i + 1);
    for (auto [ofs, len] : fields)
        std::reverse(want + ofs, want + ofs + len);
    T rec;
    std::memcpy(&rec, stored, sizeof(T));
    for (const auto &[flag, after] : {std::pair{1, want}, {1, stored}, {0, stored}}) {
        endian_flag = static_cast<char>(flag);
        convert(&rec);
        EXPECT_EQ(std::memcmp(&rec, after, sizeof(T)), 0) << "flag " << flag;
    }
}

// Each routine reverses every multi-byte field of its record in place and nothing
// else (the 8-bit time fields and padding stay).
TEST(Endian, EachRoutineReversesExactlyItsFields) {
    check(change_endian_qv_point, {{0, 8}, {8, 8}});
    check(change_endian_qv_point_f, {{0, 4}, {4, 4}});
    check(change_endian_qv_rect, {{0, 8}, {8, 8}, {16, 8}, {24, 8}});
    check(change_endian_qv_rect_f, {{0, 4}, {4, 4}, {8, 4}, {12, 4}});
    check(change_endian_qv_color, {{0, 4}, {4, 4}, {8, 4}, {12, 4}});
    check(change_endian_qv_time, {{offsetof(QV_TIME, year), 8}});
    check(change_endian_affen2d, {{0, 8}, {8, 8}, {16, 8}, {24, 8}, {32, 8}, {40, 8}});
    check_endian();
}

// Wide strings convert up to, not including, the first 0 element and never beyond
// it, whatever the flag.
TEST(Endian, WideStringStopsAtItsTerminator) {
    const L_CHAR after = 0x01020304u; // 00 00 00 41 becomes 41 00 00 00
    L_CHAR str[3] = {0x41u, 0, after}, empty[2] = {0, after};
    for (int flag : {1, 0}) {
        endian_flag = static_cast<char>(flag);
        change_endian_l_char(str);
        change_endian_l_char(empty);
        EXPECT_EQ(str[0], __builtin_bswap32(0x41u)) << "flag " << flag;
        EXPECT_EQ(str[2], after);
        EXPECT_EQ(empty[1], after);
    }
    check_endian();
}

} // namespace
