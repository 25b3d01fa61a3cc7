// Level generation by 2x2 averaging: the public entries, write_out and the literal
// per-pixel pass kept as the reference for the block-wise fast pass. Pixels move one
// at a time through r64_red and r64_set; r64_averaging.h holds the shared skeleton.
#include <cstdint>
#include <cstdio>

#include "r64/file/r64_averaging.h"

namespace r64 {

int average_group(R64_FILE *f, int level, int x, int y, LevelPass *pass, bool first_read_failed) {
    unsigned char col[3] = {0, 0, 0};
    uint32_t result[3] = {0, 0, 0};
    bool first = true;
    for (int dx = 0; dx < 2; ++dx) {
        for (int dy = 0; dy < 2; ++dy) {
            const int er = first && first_read_failed ? -1 : r64_red(col, f, x + dx, y + dy, level);
            first = false;
            if (er < 0) {
                report(R64_PROGRESS_READ_ERROR, er, r64_error,
                       [&] { std::printf("writeout err %i:%i\n", er, r64_error); });
                if (pass != nullptr) {
                    pass->note(r64_error);
                }
            }
            for (int c = 0; c < 3; ++c) {
                result[c] += col[c];
            }
        }
    }
    for (int c = 0; c < 3; ++c) {
        col[c] = static_cast<unsigned char>(result[c] >> 2);
    }
    const int stored = r64_set(f, x / 2, y / 2, level + 1, col);
    if (stored != 0 && pass != nullptr && r64_error != R64_ERR_RANGE &&
        r64_error != R64_ERR_LEVEL) {
        pass->note(r64_error);
    }
    return stored;
}

void literal_block(R64_FILE *f, int level, int i, int j, int lim_w, int lim_h, LevelPass *pass,
                   BlockStart start) {
    bool first = true;
    for (int n = 0; n < lim_w; n += 2) {
        for (int m = 0; m < lim_h; m += 2) {
            if (first) {
                first = false;
                if (start == BlockStart::kAfterFirstGroup) {
                    continue;
                }
                average_group(f, level, i + n, j + m, pass, start == BlockStart::kFirstReadFailed);
                continue;
            }
            average_group(f, level, i + n, j + m, pass, false);
        }
    }
}

int new_level_lofi_literal(R64_FILE *f, int level) {
    return run_level_pass(f, level,
                          [](R64_FILE *ff, int lv, int i, int j, int lw, int lh, LevelPass *p) {
                              literal_block(ff, lv, i, j, lw, lh, p, BlockStart::kFresh);
                          });
}

} // namespace r64

extern "C" {

void write_out(R64_FILE *f, int level, int x, int y) {
    (void)r64::average_group(f, level, x, y, nullptr, false);
}

int r64_new_level_lofi(R64_FILE *f, int level) {
    return r64::new_level_lofi_fast(f, level);
}

int r64_new_level(R64_FILE *f, int level) {
    return r64_new_level_lofi(f, level);
}

} // extern "C"
