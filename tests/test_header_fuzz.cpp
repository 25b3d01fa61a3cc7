// Random and mutated headers through the r64 and cr opens and level tests: every file
// either opens with a geometry whose level answers match an independent computation,
// or is refused with one of the open's codes; nothing crashes, hangs, reads out of
// bounds or writes to a file opened read-only.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::Bytes;

namespace {

int half_up(int v) {
    return v / 2 + v % 2;
}
int side(const Bytes &b, size_t at) { // a stored signed 16-bit size
    return static_cast<int16_t>(b[at] << 8 | b[at + 1]);
}

// End of each level's data, from the header alone: the next level's start for 'G' and
// 'P', the end of the last band's packed rows for 'B'.
std::vector<uint64_t> r64_level_ends(char type, int w0, int h0) {
    std::vector<uint64_t> ends;
    const uint64_t f = type == 'P' ? 3 : 1;
    uint64_t start = 8;
    for (int w = w0, h = h0; w >= 3 && h >= 3; w = half_up(w), h = half_up(h)) {
        if (type == 'B') {
            const uint64_t packed = (static_cast<uint64_t>(w) + 7) / 8;
            const uint64_t stride = (w % 8 != 0 || w0 % 8 != 0) ? w / 8 + 1 : w / 8;
            const uint64_t last_band = (static_cast<uint64_t>(h) - 1) / 64 * 64;
            ends.push_back(start + last_band * stride + (h - last_band) * packed);
        } else {
            ends.push_back(start + static_cast<uint64_t>(w) * h * f);
        }
        start += static_cast<uint64_t>(w) * h * f;
    }
    return ends;
}

class Generator {
  public:
    explicit Generator(uint32_t seed) : rng_(seed) {}
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    // A 16-bit field biased towards the values at the edges of the rules.
    unsigned field() {
        static const unsigned edges[] = {0,  1,  2,  3,   4,   5,      7,      8,      9,
                                         63, 64, 65, 255, 256, 0x7FFF, 0x8000, 0xFFFF, 0xFFFE};
        return below(2) ? edges[below(std::size(edges))] : below(0x10000);
    }

    // Random bytes of random length, a valid-looking header with edge fields, or a
    // valid header of either kind with a few bits flipped and perhaps cut short.
    Bytes header(bool cr) {
        Bytes b;
        const uint32_t kind = below(3);
        if (kind == 0) {
            for (uint32_t n = below(24); n-- > 0;) {
                b.push_back(static_cast<unsigned char>(below(256)));
            }
        } else if (kind == 1) {
            b = cr ? Bytes{'C', 'R', 0, static_cast<unsigned char>(below(256))}
                   : Bytes{'R', '6', '4', static_cast<unsigned char>("GPB"[below(3)])};
            for (int i = 0; i < (cr ? 6 : 2); ++i) {
                r64_test::put_be16(b, field());
            }
        } else {
            b = below(2) ? Bytes{'R', '6', '4', 'G', 0, 64, 0, 64}
                         : Bytes{'C', 'R', 0, 0, 0, 64, 0, 64, 1, 0, 0, 0, 0, 0, 0, 6};
            for (uint32_t i = below(3); i-- > 0;) {
                b[below(static_cast<uint32_t>(b.size()))] ^=
                    static_cast<unsigned char>(1 << below(8));
            }
            b.resize(below(2) ? b.size() : below(static_cast<uint32_t>(b.size()) + 1));
        }
        return b;
    }

    // A file length at or beyond the header, sometimes sparse and past 4 GiB.
    off_t length(size_t header) {
        const uint64_t extra[] = {0, below(70000), below(1u << 30) * 4ull,
                                  below(0x7FFFFFFF) * 3ull};
        return static_cast<off_t>(header + extra[below(4)]);
    }

  private:
    std::mt19937 rng_;
};

void check_r64(const std::string &p, const Bytes &b, off_t len) {
    r64_error = 0;
    R64_FILE *f = r64_open_file(p.c_str(), O_RDONLY, 0666, 'P', 0, 0);
    if (f == nullptr) {
        EXPECT_TRUE(r64_error == -4 || r64_error == -5) << r64_error;
        return;
    }
    ASSERT_GE(b.size(), 8u);
    const char type = static_cast<char>(b[3]);
    EXPECT_TRUE(type == 'G' || type == 'P' || type == 'B');
    EXPECT_EQ(f->header.width, side(b, 4));
    EXPECT_EQ(f->header.height, side(b, 6));
    const auto ends = r64_level_ends(type, side(b, 4), side(b, 6));
    for (int l = -2; l < 34; ++l) {
        const bool present = l >= 0 && static_cast<size_t>(l) < ends.size() &&
                             static_cast<uint64_t>(len) >= ends[static_cast<size_t>(l)];
        ASSERT_EQ(r64_check_level(f, l), present ? 1 : 0)
            << type << " " << side(b, 4) << "x" << side(b, 6) << " level " << l << " len " << len;
    }
    u_close(f->fd);
    for (R64_CACHE_ENT &e : f->cache) {
        free(e.buf);
    }
    free(f);
}

void check_cr(const std::string &p, const Bytes &b) {
    r64_error = 0;
    CR_FILE *f = cr_open_file(p.c_str(), O_RDONLY, 0666, 256, 0, 0);
    if (f == nullptr) {
        EXPECT_TRUE(r64_error == -4 || r64_error == -5) << r64_error;
        return;
    }
    ASSERT_GE(b.size(), 16u);
    int w = side(b, 4), h = side(b, 6);
    const int rect = b[8] << 8 | b[9];
    ASSERT_NE(rect, 0);
    // Records of one level: quotients rounded away from zero; a negative side holds none.
    const auto records_of = [rect](int lw, int lh) {
        const int64_t n = int64_t{lw / rect + (lw % rect != 0)} * (lh / rect + (lh % rect != 0));
        return n > 0 ? n : 0;
    };
    int64_t records = 0;
    int levels = 0;
    for (; w >= 3 && h >= 3; w = half_up(w), h = half_up(h), ++levels) {
        ASSERT_EQ(f->level_entry[levels], records);
        records += records_of(w, h);
        // The level's last pixel lies in its last record (offsets are ints: tables past
        // 2 GiB cannot be addressed).
        if (16 + 12 * records < INT32_MAX) {
            EXPECT_EQ(get_tbl_ofs(f, w - 1, h - 1, levels), 16 + 12 * (records - 1));
        }
    }
    records += records_of(w, h);
    EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(records));
    for (int l = -2; l < 34; ++l) {
        ASSERT_EQ(cr_check_level(f, l), l >= 0 && l < levels ? 1 : 0) << l;
    }
    cr_close_file(f);
}

} // namespace

// Faults caught: crashes, out-of-bounds table reads, overflows and divisions by a zero
// tile edge on hostile headers and file lengths; level answers or record geometry that
// disagree with the header; a read-only open that writes.
TEST(HeaderFuzz, RandomAndMutatedHeaders) {
    check_endian();
    // A memory-backed file reached through its /proc path: lengths of many gigabytes
    // cost nothing.
    const int fd = memfd_create("r64fuzz", 0);
    ASSERT_GE(fd, 0);
    const std::string p = "/proc/self/fd/" + std::to_string(fd);
    Generator gen(20261206);
    for (int i = 0; i < 6000; ++i) {
        ent_len = i % 32 < 2 ? R64_CACHE_ENTRIES : 0; // both kinds, now and then
        Bytes b = gen.header(i % 2 != 0);
        const off_t len = i % 2 != 0 ? static_cast<off_t>(b.size()) : gen.length(b.size());
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
        ASSERT_EQ(ftruncate(fd, len), 0);
        b.resize(static_cast<size_t>(std::min<off_t>(len, 24)), 0); // what the opens read
        check_r64(p, b, len);
        check_cr(p, b);
        ASSERT_EQ(r64_test::file_size(p), static_cast<long>(len)) << "a read-only open wrote";
    }
    close(fd);
    ent_len = 0;
}
