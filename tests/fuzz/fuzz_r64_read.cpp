// libFuzzer target for r64 pixel and block reads: any bytes as an r64 file, read-only.
// Every tile of every level is read through r64_red and r64_read_block (up to a budget),
// with rectangles that reach outside the level under both edge rules; a small image is
// then converted to cr (the gather's file runs, the pipeline and their failures).
#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <vector>

#include "fuzz_support.h"
#include "r64/r64.h"

namespace {

constexpr int kTileBudget = 64; // tiles read per input: enough for every edge case, fast

void read_level(R64_FILE *f, int level, int &budget) {
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    constexpr int kSide = R64_TILE + 2; // a tile and a pixel around it
    std::vector<unsigned char> block(static_cast<std::size_t>(kSide) * kSide * 3);
    unsigned char px[3];
    for (int y = 0; y < h && budget > 0; y += R64_TILE) {
        for (int x = 0; x < w && budget-- > 0; x += R64_TILE) {
            r64_red(px, f, x, y, level);
            r64_red(px, f, std::min(x + R64_TILE, w) - 1, std::min(y + R64_TILE, h) - 1, level);
            r64_read_block(block.data(), kSide * 3, f, x - 1, y - 1, kSide, kSide, level);
        }
    }
    r64_red(px, f, -1, h, level);
}

void quiet(void *, int, long, long) {}

// Converts small images only: a large header would make every input slow.
void convert(R64_FILE *f, std::uint8_t pick) {
    if (static_cast<long>(f->header.width) * f->header.height > 300L * 300L) {
        return;
    }
    static r64_fuzz::InputFile out;
    const int rect = pick % 2 == 0 ? 64 : 37;
    cr_write_file_threads(out.path().c_str(), 0600, rect, f, 1 + pick % 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // A small cache: cheap opens, and reads that evict.
    if (!r64_fuzz::load_input(data, size, 8)) {
        return 0;
    }
    r64_set_progress(quiet, nullptr); // the conversion's progress lines
    R64_FILE *f = r64_open_file(r64_fuzz::input_file().path().c_str(), O_RDONLY, 0666, 'P', 0, 0);
    if (f == nullptr) {
        return 0;
    }
    int budget = kTileBudget;
    for (int rc_type = 0; rc_type <= 1; ++rc_type) {
        f->rc_type = rc_type; // background pixel, then nearest edge pixel, outside the level
        for (int level = 0; level < R64_LEVELS && r64_check_level(f, level); ++level) {
            read_level(f, level, budget);
        }
    }
    convert(f, size > 0 ? data[size - 1] : 0);
    r64_close_file(f);
    return 0;
}
