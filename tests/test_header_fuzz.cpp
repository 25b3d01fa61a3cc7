// Random and mutated headers through the r64 and cr opens and level tests: every
// file either opens with a consistent geometry whose level answers match an
// independent computation, or is refused with one of the open's codes; nothing
// crashes, hangs, reads out of bounds or writes to a file opened read-only.
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
using r64_test::ScratchDir;

namespace {

constexpr int kRounds = 3000;

int side(uint16_t stored) {
    return static_cast<int16_t>(stored);
}
int half_up(int v) {
    return v / 2 + v % 2;
}

// End of level data in the file, computed from the header alone: the next level's
// start for 'G' and 'P', the end of the last band's packed rows for 'B'.
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
    uint16_t field() {
        static const uint16_t edges[] = {0,  1,  2,  3,   4,   5,      7,      8,      9,
                                         63, 64, 65, 255, 256, 0x7FFF, 0x8000, 0xFFFF, 0xFFFE};
        return below(2) ? edges[below(sizeof edges / sizeof edges[0])]
                        : static_cast<uint16_t>(below(0x10000));
    }

    Bytes header(bool cr) {
        Bytes b;
        switch (below(3)) {
        case 0: // fully random bytes of random length
            b.resize(below(24));
            for (auto &c : b) {
                c = static_cast<unsigned char>(below(256));
            }
            return b;
        case 1: { // a valid-looking header with edge fields
            static const char types[] = {'G', 'P', 'B'};
            b = cr ? Bytes{'C', 'R', 0, static_cast<unsigned char>(below(256))}
                   : Bytes{'R', '6', '4', static_cast<unsigned char>(types[below(3)])};
            for (int i = 0; i < (cr ? 6 : 2); ++i) {
                r64_test::put_be16(b, field());
            }
            return b;
        }
        default: { // a valid header of the other kind or this one, a few bytes flipped
            b = below(2) ? Bytes{'R', '6', '4', 'G', 0, 64, 0, 64}
                         : Bytes{'C', 'R', 0, 0, 0, 64, 0, 64, 1, 0, 0, 0, 0, 0, 0, 6};
            for (uint32_t i = below(3); i-- > 0;) {
                b[below(static_cast<uint32_t>(b.size()))] ^=
                    static_cast<unsigned char>(1u << below(8));
            }
            b.resize(below(2) ? b.size() : below(static_cast<uint32_t>(b.size()) + 1));
            return b;
        }
        }
    }

    // A file length at or beyond the header, sometimes sparse and past 4 GiB.
    off_t length(size_t header) {
        switch (below(4)) {
        case 0:
            return static_cast<off_t>(header);
        case 1:
            return static_cast<off_t>(header + below(70000));
        case 2:
            return static_cast<off_t>(header + below(1u << 30) * 4ull);
        default:
            return static_cast<off_t>(header + below(0x7FFFFFFF) * 3ull);
        }
    }

  private:
    std::mt19937 rng_;
};

// A memory-backed file reached through its /proc path, so that lengths of many
// gigabytes cost nothing; each round rewrites it with a header and a length.
class MemFile {
  public:
    MemFile() : fd_(memfd_create("r64fuzz", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {}
    ~MemFile() { close(fd_); }
    bool valid() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }

    // The file's bytes: the header, then zeros up to len. Returns its first bytes
    // (up to 24), as the opens will read them.
    Bytes set(const Bytes &header, off_t len) {
        if (ftruncate(fd_, 0) != 0 ||
            pwrite(fd_, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()) ||
            ftruncate(fd_, len) != 0) {
            ADD_FAILURE() << "cannot prepare the file";
        }
        Bytes head = header;
        head.resize(static_cast<size_t>(std::min<off_t>(len, 24)), 0);
        return head;
    }

  private:
    int fd_;
    std::string path_;
};

void release(R64_FILE *f) {
    u_close(f->fd);
    for (R64_CACHE_ENT &e : f->cache) {
        free(e.buf);
    }
    free(f);
}

void check_r64(const std::string &p, const Bytes &b, off_t len) {
    r64_error = 0;
    R64_FILE *f = r64_open_file(p.c_str(), O_RDONLY, 0666, 'P', 0, 0);
    if (f == nullptr) {
        EXPECT_TRUE(r64_error == -4 || r64_error == -5) << r64_error;
        return;
    }
    ASSERT_GE(b.size(), 8u);
    const char type = static_cast<char>(b[3]);
    const int w0 = side(static_cast<uint16_t>(b[4] << 8 | b[5]));
    const int h0 = side(static_cast<uint16_t>(b[6] << 8 | b[7]));
    EXPECT_TRUE(type == 'G' || type == 'P' || type == 'B');
    EXPECT_EQ(f->header.width, w0);
    EXPECT_EQ(f->header.height, h0);
    const auto ends = r64_level_ends(type, w0, h0);
    for (int l = -2; l < 34; ++l) {
        const bool present = l >= 0 && static_cast<size_t>(l) < ends.size() &&
                             static_cast<uint64_t>(len) >= ends[static_cast<size_t>(l)];
        ASSERT_EQ(r64_check_level(f, l), present ? 1 : 0)
            << type << " " << w0 << "x" << h0 << " level " << l << " length " << len;
    }
    release(f);
}

int64_t tiles(int s, int rect) {
    return s / rect + (s % rect != 0);
}

// Records of one level; a negative side holds none.
int64_t level_records(int w, int h, int rect) {
    const int64_t n = tiles(w, rect) * tiles(h, rect);
    return n > 0 ? n : 0;
}

void check_cr(const std::string &p, const Bytes &b) {
    r64_error = 0;
    CR_FILE *f = cr_open_file(p.c_str(), O_RDONLY, 0666, 256, 0, 0);
    if (f == nullptr) {
        EXPECT_TRUE(r64_error == -4 || r64_error == -5) << r64_error;
        return;
    }
    ASSERT_GE(b.size(), 16u);
    int w = side(static_cast<uint16_t>(b[4] << 8 | b[5]));
    int h = side(static_cast<uint16_t>(b[6] << 8 | b[7]));
    const int rect = b[8] << 8 | b[9];
    ASSERT_NE(rect, 0);
    int64_t records = 0;
    int levels = 0;
    for (; w >= 3 && h >= 3; w = half_up(w), h = half_up(h), ++levels) {
        ASSERT_EQ(f->level_entry[levels], records);
        records += level_records(w, h, rect);
        // The record of the level's last pixel is the level's last record (offsets
        // are ints: tables past 2 GiB cannot be addressed).
        if (16 + 12 * records < INT32_MAX) {
            EXPECT_EQ(get_tbl_ofs(f, w - 1, h - 1, levels), 16 + 12 * (records - 1));
        }
    }
    records += level_records(w, h, rect);
    EXPECT_EQ(f->header.cr_tbl_nos, static_cast<uint32_t>(records));
    for (int l = -2; l < 34; ++l) {
        ASSERT_EQ(cr_check_level(f, l), l >= 0 && l < levels ? 1 : 0) << l;
    }
    cr_close_file(f);
}

} // namespace

// Faults caught: crashes, out-of-bounds table reads or overflows on hostile r64
// headers and lengths; level answers that disagree with the header's geometry.
TEST(R64Open, SurvivesRandomAndMutatedHeaders) {
    check_endian();
    MemFile file;
    ASSERT_TRUE(file.valid());
    Generator gen(20261206);
    const std::string &p = file.path();
    for (int i = 0; i < kRounds; ++i) {
        ent_len = i % 16 == 0 ? R64_CACHE_ENTRIES : 0;
        const Bytes header = gen.header(false);
        const off_t len = gen.length(header.size());
        const Bytes b = file.set(header, len);
        check_r64(p, b, len);
        check_cr(p, b);
        ASSERT_EQ(r64_test::file_size(p), static_cast<long>(len)) << "a read-only open wrote";
    }
    ent_len = 0;
}

// Faults caught: crashes, divisions by a zero tile edge and wrong record geometry
// on hostile cr headers.
TEST(CrOpen, SurvivesRandomAndMutatedHeaders) {
    check_endian();
    MemFile file;
    ASSERT_TRUE(file.valid());
    Generator gen(7);
    const std::string &p = file.path();
    for (int i = 0; i < kRounds; ++i) {
        ent_len = i % 16 == 0 ? R64_CACHE_ENTRIES : 0;
        const Bytes header = gen.header(true);
        const Bytes b = file.set(header, static_cast<off_t>(header.size()));
        check_cr(p, b);
        check_r64(p, b, static_cast<off_t>(b.size()));
        ASSERT_EQ(r64_test::file_size(p), static_cast<long>(b.size()));
    }
    ent_len = 0;
}

// Faults caught: creation accepting a size, type or tile edge it must refuse, or
// leaving a file whose length disagrees with its geometry.
TEST(CrOpen, SurvivesRandomCreations) {
    check_endian();
    ScratchDir dir;
    Generator gen(99);
    for (int i = 0; i < 300; ++i) {
        const std::string p = dir.file("new" + std::to_string(i));
        const int w = static_cast<int>(gen.below(140)) - 70;
        const int h = static_cast<int>(gen.below(140)) - 70;
        const int rect = static_cast<int>(gen.below(80)) + (gen.below(4) == 0 ? 65536 : 0);
        r64_error = 0;
        CR_FILE *c = cr_open_file(p.c_str(), O_RDWR | O_CREAT, 0600, rect, w, h);
        const bool valid = w != 0 && h != 0 && rect % 65536 != 0;
        ASSERT_EQ(c != nullptr, valid) << w << "x" << h << " / " << rect;
        if (c != nullptr) {
            EXPECT_EQ(r64_test::file_size(p), 16 + 12 * static_cast<long>(c->header.cr_tbl_nos));
            EXPECT_EQ(c->write_ofs, static_cast<uint32_t>(r64_test::file_size(p)));
            cr_close_file(c);
            check_cr(p, r64_test::read_bytes(p));
        } else {
            EXPECT_EQ(r64_error, -5);
            EXPECT_EQ(r64_test::file_size(p), 0);
        }

        const std::string q = dir.file("new" + std::to_string(i) + ".r64");
        const char type = "GPBX\0"[gen.below(5)];
        R64_FILE *f = r64_open_file(q.c_str(), O_RDWR | O_CREAT, 0600, type, w * 400, h);
        const bool ok = (type == 'G' || type == 'P' || type == 'B') &&
                        static_cast<int16_t>(w * 400) != 0 && h != 0;
        ASSERT_EQ(f != nullptr, ok);
        EXPECT_EQ(r64_test::file_size(q), 8);
        if (f != nullptr) {
            release(f);
        }
    }
}
