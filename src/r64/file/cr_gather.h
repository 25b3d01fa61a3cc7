// Gathering the pixels of one cr tile from an r64 level as 4-byte pixels (red,
// green, blue, 0; grey and bilevel pixels as red = green = blue). The literal
// gather reads pixel by pixel through r64_red, column by column; the fast one
// copies from the r64 cache's tile buffers through r64_plane and gives the same
// bytes and the same failures. The writers take either, so tests can compare.
#ifndef R64_SRC_CR_GATHER_H
#define R64_SRC_CR_GATHER_H

#include "r64/r64.h"

namespace r64 {

// Fills rgbx (w x h pixels of 4 bytes) with the pixels of the rectangle whose
// top-left pixel is (x0, y0) of level; the rectangle lies inside the level.
// Returns 0, or -1 with r64_error as the pixel access set it.
using GatherFn = int (*)(R64_FILE *r64, int level, int x0, int y0, int w, int h,
                         unsigned char *rgbx);

int gather_tile_literal(R64_FILE *r64, int level, int x0, int y0, int w, int h,
                        unsigned char *rgbx);
int gather_tile_fast(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *rgbx);
// The fast gather into pixels of 3 bytes (red, green, blue), as the pipelined writer
// keeps them.
int gather_tile_rgb(R64_FILE *r64, int level, int x0, int y0, int w, int h, unsigned char *rgb);

} // namespace r64

#endif
