// Internals of level generation by 2x2 averaging: the pass skeleton shared by the
// literal per-pixel reference and the block-wise fast pass (same block order, same
// progress lines, same result), and the literal per-group worker that both use.
#ifndef R64_SRC_R64_AVERAGING_H
#define R64_SRC_R64_AVERAGING_H

#include <cstdio>

#include "r64/r64.h"
#include "r64/file/r64_geometry.h"
#include "r64/file/r64_progress.h"

namespace r64 {

// What went wrong during a pass that still runs to its end: the first code of a failed
// read, or of a failed store other than -7 and -9 (which only mean "no such pixel").
struct LevelPass {
    bool failed = false;
    int first_error = 0;
    void note(int code) {
        if (!failed) {
            failed = true;
            first_error = code;
        }
    }
};

// Where a literal block starts: at its first group, at its first group whose first
// read was already tried and failed, or after its first group (already stored).
enum class BlockStart { kFresh, kFirstReadFailed, kAfterFirstGroup };

// Averages the group with top-left (x, y) of level and stores it in level + 1 through
// r64_red and r64_set, printing a line for every failed read. A failed first read
// contributes zero; a later one repeats the sample before it. Returns r64_set's result.
int average_group(R64_FILE *f, int level, int x, int y, LevelPass *pass, bool first_read_failed);

// The groups of one 64x64 block in the literal order (columns outer, rows inner).
void literal_block(R64_FILE *f, int level, int i, int j, int lim_w, int lim_h, LevelPass *pass,
                   BlockStart start);

// The block-wise pass on the cached tile buffers; falls back to literal_block wherever a
// tile cannot be had, so that output, printed lines and errors match the literal pass.
void fast_block(R64_FILE *f, int level, int i, int j, int lim_w, int lim_h, LevelPass *pass);

// Reduces one source tile (lim_w x lim_h pixels, packed as in the file, at src) into
// the destination tile at dst (dst_w_len pixels wide, packed), its first reduced pixel
// at column qx and row qy of that tile; rc_type and background come from f. Each
// source row is read a whole 64-pixel tile row wide: src must stay readable that far
// past its last row's start (a tile buffer is; a packed band needs 192 spare bytes).
void reduce_block(const R64_FILE *f, const unsigned char *src, int lim_w, int lim_h,
                  unsigned char *dst, int dst_w_len, int qx, int qy);

// One pass over the source level in 64x64 blocks, block columns outer: checks the
// source, prints the progress lines and calls block(i, j, lim_w, lim_h, pass).
template <class Block> int run_level_pass(R64_FILE *f, int level, Block &&block) {
    if (r64_check_level(f, level) == 0) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    if (ceil_half(w) == 0 || ceil_half(h) == 0) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    // The default line counts down from w * h / 4096, which can pass below zero at
    // ragged edges; a progress function gets blocks done of the real block count.
    const int total = (w * h) / 4096;
    int remain = total;
    const long blocks = static_cast<long>((w + kTile - 1) / kTile) * ((h + kTile - 1) / kTile);
    long done = 0;
    LevelPass pass;
    for (int i = 0; i < w; i += kTile) {
        const int lim_w = w - i > kTile - 1 ? kTile : w - i;
        for (int j = 0; j < h; j += kTile) {
            const int lim_h = h - j > kTile - 1 ? kTile : h - j;
            report(R64_PROGRESS_LEVEL, done, blocks,
                   [&] { std::printf("total = %i/%i  \r", remain, total); });
            --remain;
            ++done;
            block(f, level, i, j, lim_w, lim_h, &pass);
        }
    }
    report(R64_PROGRESS_DONE, blocks, blocks, [] { std::printf("\n"); });
    if (pass.failed) {
        r64_error = pass.first_error;
        return -1;
    }
    return 0;
}

// The reference: every group through write_out's literal per-pixel path.
int new_level_lofi_literal(R64_FILE *f, int level);
// The fast pass that r64_new_level and r64_new_level_lofi use.
int new_level_lofi_fast(R64_FILE *f, int level);

} // namespace r64

#endif
