// Random and mutated headers through the r64 and cr opens and level tests: every file
// either opens with a geometry whose level answers match an independent computation,
// or is refused with one of the open's codes; nothing crashes, hangs, reads out of
// bounds or writes to a file opened read-only.
#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

std::mt19937 rng(20261206);
uint32_t below(uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
}
int side(const Bytes &b, size_t at) { // a stored signed 16-bit size
    return static_cast<int16_t>(b[at] << 8 | b[at + 1]);
}

// A valid-looking header with 16-bit fields biased towards the edges of the rules, or a
// valid header of either kind with a few bits flipped and perhaps cut short.
Bytes header(bool cr) {
    static const unsigned edges[] = {0,  1,  2,  3,   4,   5,      7,      8,      9,
                                     63, 64, 65, 255, 256, 0x7FFF, 0x8000, 0xFFFF, 0xFFFE};
    Bytes b;
    if (below(2)) {
        b = cr ? Bytes{'C', 'R', 0, static_cast<unsigned char>(below(256))}
               : Bytes{'R', '6', '4', static_cast<unsigned char>("GPB"[below(3)])};
        for (int i = 0; i < (cr ? 6 : 2); ++i) {
            put_be16(b, below(2) ? edges[below(std::size(edges))] : below(0x10000));
        }
        return b;
    }
    b = below(2) ? Bytes{'R', '6', '4', 'G', 0, 64, 0, 64}
                 : Bytes{'C', 'R', 0, 0, 0, 64, 0, 64, 1, 0, 0, 0, 0, 0, 0, 6};
    for (uint32_t i = below(3); i-- > 0;) {
        b[below(static_cast<uint32_t>(b.size()))] ^= static_cast<unsigned char>(1 << below(8));
    }
    b.resize(below(2) ? b.size() : below(static_cast<uint32_t>(b.size()) + 1));
    return b;
}

// A level is present when the file reaches the end of its data: the next level's start
// for 'G' and 'P', the end of the last band's packed rows for 'B'.
void check_r64(const std::string &p, const Bytes &b, uint64_t len) {
    r64_error = 0;
    R64_FILE *f = r64_open_file(p.c_str(), O_RDONLY, 0666, 'P', 0, 0);
    if (f == nullptr) {
        EXPECT_TRUE(r64_error == -4 || r64_error == -5) << r64_error;
        return;
    }
    const char type = static_cast<char>(b[3]);
    const int w0 = side(b, 4), h0 = side(b, 6);
    const auto sizes = model_level_sizes(w0, h0);
    uint64_t start = 8;
    for (size_t l = 0; l < sizes.size(); ++l) {
        const uint64_t w = sizes[l].first, h = sizes[l].second;
        const uint64_t end = start + w * h * (type == 'P' ? 3 : 1);
        const uint64_t stride = (w % 8 != 0 || w0 % 8 != 0) ? w / 8 + 1 : w / 8;
        const uint64_t band = (h - 1) / 64 * 64;
        const bool present =
            len >= (type == 'B' ? start + band * stride + (h - band) * ((w + 7) / 8) : end);
        ASSERT_EQ(r64_check_level(f, static_cast<int>(l)), present ? 1 : 0)
            << type << " " << w0 << "x" << h0 << " level " << l << " len " << len;
        start = end;
    }
    const int after = static_cast<int>(sizes.size());
    EXPECT_EQ(r64_check_level(f, -1) + r64_check_level(f, after) + r64_check_level(f, 33), 0);
    r64_close_file(f);
}

void check_cr(const std::string &p, const Bytes &b) {
    r64_error = 0;
    CR_FILE *f = cr_open_file(p.c_str(), O_RDONLY, 0666, 256, 0, 0);
    if (f == nullptr) {
        EXPECT_TRUE(r64_error == -4 || r64_error == -5) << r64_error;
        return;
    }
    int w = side(b, 4), h = side(b, 6), levels = 0;
    const int rect = b[8] << 8 | b[9];
    // Records of one level: quotients rounded away from zero; a negative side holds none.
    const auto records_of = [rect](int lw, int lh) {
        const int64_t n = int64_t{lw / rect + (lw % rect != 0)} * (lh / rect + (lh % rect != 0));
        return n > 0 ? n : 0;
    };
    int64_t records = 0;
    for (; w >= 3 && h >= 3; w = (w + 1) / 2, h = (h + 1) / 2, ++levels) {
        ASSERT_EQ(f->level_entry[levels], records);
        ASSERT_EQ(cr_check_level(f, levels), 1);
        records += records_of(w, h);
        // The level's last pixel lies in its last record (offsets are ints: tables past
        // 2 GiB cannot be addressed).
        if (16 + 12 * records < INT32_MAX) {
            EXPECT_EQ(get_tbl_ofs(f, w - 1, h - 1, levels), 16 + 12 * (records - 1));
        }
    }
    // The level after the last counts its records without being present.
    EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(records + records_of(w, h)));
    EXPECT_EQ(cr_check_level(f, -1) + cr_check_level(f, levels) + cr_check_level(f, 33), 0);
    cr_close_file(f);
}

} // namespace

// Faults caught: crashes, out-of-bounds reads, overflows and divisions by a zero tile edge
// on hostile headers and lengths; level answers or record geometry off; a read-only
// open that writes.
TEST(HeaderFuzz, RandomAndMutatedHeaders) {
    check_endian();
    // A memory-backed file reached through its /proc path: sparse gigabytes cost nothing.
    const int fd = memfd_create("r64fuzz", 0);
    ASSERT_GE(fd, 0);
    const std::string p = "/proc/self/fd/" + std::to_string(fd);
    for (int i = 0; i < 6000; ++i) {
        ent_len = i % 32 < 2 ? R64_CACHE_ENTRIES : 0; // both kinds, now and then
        Bytes b = header(i % 2 != 0);
        const uint64_t extra[] = {0, below(70000), below(1u << 30) * 4ull,
                                  below(0x7FFFFFFF) * 3ull};
        const off_t len = static_cast<off_t>(b.size() + (i % 2 != 0 ? 0 : extra[below(4)]));
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
        ASSERT_EQ(ftruncate(fd, len), 0);
        b.resize(static_cast<size_t>(std::min<off_t>(len, 24)), 0); // what the opens read
        check_r64(p, b, static_cast<uint64_t>(len));
        check_cr(p, b);
        ASSERT_EQ(file_size(p), static_cast<long>(len)) << "a read-only open wrote";
    }
    close(fd);
    ent_len = 0;
}
