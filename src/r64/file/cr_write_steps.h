// The cr writers and what they share: the steps around the tile loop and the
// progress counters (cr_write_file.cpp), the literal writer kept as the reference
// and the pipelined writer that cr_write_file and cr_write_file_threads run
// (cr_write_file_threads.cpp). Both take the gather of choice and give the same bytes.
#ifndef R64_SRC_CR_WRITE_STEPS_H
#define R64_SRC_CR_WRITE_STEPS_H

#include <functional>

#include "r64/file/cr_gather.h"
#include "r64/r64.h"

namespace r64 {

// Counts a tile's pixels into loading_file_size and prints the progress line.
void count_progress(int w_len, int h_len);

// Writes every tile of the new cr file f whose top level is top; 0, or -1 with r64_error.
using TileLoop = std::function<int(CR_FILE *f, int top)>;

// Refuses a tile edge outside 1..256 and a target that is the source, creates the
// file, runs loop and closes the file, keeping the loop's error code; prints the
// "r64 width=" line before and the newline after.
int cr_convert(const char *filename, int mode, int rect_size, R64_FILE *r64, const TileLoop &loop);

// The literal writer: a fresh buffer from each codec call, each record written
// after its tile's data.
int cr_write_file_using(const char *filename, int mode, int rect_size, R64_FILE *r64,
                        GatherFn gather);

// The pipelined writer: reused codecs and buffers, tiles of 3-byte pixels gathered
// with gather_tile_rgb, data written in order, the table in one write at the end;
// threads as in cr_write_file_threads.
int cr_write_file_pipelined(const char *filename, int mode, int rect_size, R64_FILE *r64,
                            int threads);

} // namespace r64

#endif
