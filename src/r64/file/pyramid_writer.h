// The streaming pyramid writer's state behind the opaque R64_PYRAMID: per level, the
// bands of packed tiles still in memory (exactly the bytes the band takes in the file)
// and, under the Fourier filter, the band of windows in progress. Used by the
// r64_begin_pyramid, r64_write_rows and r64_end_pyramid units; the work is in
// pyramid_writer.cpp, on the kernels of r64_averaging.h and hifi_filter.h.
#ifndef R64_SRC_PYRAMID_WRITER_H
#define R64_SRC_PYRAMID_WRITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "r64/r64.h"
#include "r64/file/hifi_filter.h"

namespace r64 {

struct PyramidLevel {
    int w = 0;
    int h = 0;
    uint32_t ofs = 0;        // where the level starts in the file
    uint32_t stride = 0;     // bytes of one pixel row of the level in the file
    uint32_t region_end = 0; // where its last band's writes stop: the next level or data end
    int rows_done = 0;       // rows of the level complete in its bands
    // Band k lives in bands[k % bands.size()]: one buffer, or two when the Fourier
    // filter reads the last rows of the band before while filling the next level.
    std::vector<std::vector<unsigned char>> bands;

    // The Fourier filter's source side (levels that have a next level).
    HifiRows hifi;
    std::array<std::vector<double>, 3> lines;
    std::array<double *, 3> line_ptrs{};
    int buf_line = 0;
    int next_window_row = -4; // top row of the next band of windows
};

// How a band of a level lies in memory and in the file.
struct BandPlace {
    int top;       // first row
    int h_len;     // rows
    uint32_t pos;  // file offset of its first byte
    uint32_t size; // bytes it covers in the file (gaps up to the next band or level included)
};

} // namespace r64

struct r64_pyramid {
    R64_FILE *f = nullptr;
    int filter = R64_FILTER_AVERAGE;
    int levels = 0;
    int error = 0; // code of the first failure; every later call repeats it
    std::array<r64::PyramidLevel, R64_LEVELS> level;

    // Prepares the level table and every buffer; false with r64_error set.
    bool prepare(R64_FILE *file, int filter_kind);
    // Takes n level-0 rows; 0, or -1 with r64_error set (a write failed).
    int put_rows(const unsigned char *rows, std::size_t stride, int n);

  private:
    r64::BandPlace band_place(int lv, int k) const;
    unsigned char *band_buffer(int lv, int k);
    void start_band(int lv, int k);
    int put_row(int lv, int y, const unsigned char *px);
    int finish_band(int lv, int k);
    int write_band(int lv, int k);
    int reduce_band(int lv, int k);
    int filter_bands(int lv);
    static const unsigned char *band_tile(void *ctx, int tx, int y, int *tw);
};

#endif
