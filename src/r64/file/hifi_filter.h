// Internals of the Fourier level filter shared by its literal unit, its fast unit,
// the tests and the benchmark: both ways of making a level (the literal one, through
// the public transforms and one r64_red per sample, is the reference the fast one must
// match bit for bit), the fast window kernel and the failure bookkeeping.
#ifndef R64_SRC_HIFI_FILTER_H
#define R64_SRC_HIFI_FILTER_H

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "r64/r64.h"
#include "r64/file/r64_geometry.h"

namespace r64 {

// The first failure of a pixel read or store that is not a position outside the level
// (-7) or a level outside the image (-9); those two are part of the filter's normal run.
struct HifiFailures {
    int first = 0;
    void note() {
        if (first == 0 && r64_error != R64_ERR_RANGE && r64_error != R64_ERR_LEVEL) {
            first = r64_error;
        }
    }
};

// How one band of windows (top row i) is filtered into the line buffers. prepare runs
// once the source level has been accepted; false from either means no memory.
class HifiBands {
  public:
    virtual ~HifiBands() = default;
    virtual bool prepare(R64_FILE *f, int level) = 0;
    virtual bool filter_band(R64_FILE *f, int level, int i, double **buf, int buf_line,
                             HifiFailures &fails) = 0;
    // Stores lines 0 and 1 as rows i/2 and i/2 + 1 of level and moves the band down.
    virtual void store_band(R64_FILE *f, int i, double **buf, int level, int dest_w, int buf_line,
                            HifiFailures &fails) = 0;
};

// The pass around the bands: checks, line buffers, progress lines, stores and result.
int hifi_run(R64_FILE *f, int level, HifiBands &bands);

// Fills level + 1 from level window by window with set_rect_buf, half_filter and
// set_buf, exactly as the arithmetic is written. Same results as r64_new_level_hifi.
int new_level_hifi_literal(R64_FILE *f, int level);
// The fast way, which r64_new_level_hifi takes.
int new_level_hifi_fast(R64_FILE *f, int level);

// Filters channel c of one 8x8 window of pixel bytes (pixels pixel_stride bytes apart,
// rows row_stride bytes apart) into the real parts of the 4x4 result, bit for bit what
// set_rect_buf and half_filter leave in rect_buf[c][y][x].re.
void hifi_filter_window(const unsigned char *pix, std::ptrdiff_t row_stride, int pixel_stride,
                        int c, double out[4][4]);

// The same for count windows whose top-left pixels lie 4 pixels apart from pix on,
// several at a time; out[q] is window q.
void hifi_filter_windows(const unsigned char *pix, std::ptrdiff_t row_stride, int pixel_stride,
                         int c, int count, double (*out)[4][4]);

// Reads the 8x8 window at (j, i) of level one r64_red at a time, as set_rect_buf does:
// a failed read leaves the previous pixel's bytes (zeros before the first). Fills
// block[n][m][0..vol) and notes failures in fails when it is given.
void hifi_read_window(R64_FILE *f, int i, int j, int level, int vol, unsigned char block[8][8][3],
                      HifiFailures *fails);

// Stores lines 0 and 1 of the line buffers as rows i/2 and i/2 + 1 of level and moves
// the band down by two lines; flush_buf with failures noted.
void hifi_flush_lines(R64_FILE *f, int i, double **buf, int level, int dest_w, int buf_line,
                      HifiFailures *fails);

// Where the pass takes its line buffers and band storage from (zeroed, as calloc);
// the tests replace it to reach the paths where memory runs out.
extern void *(*hifi_calloc)(std::size_t count, std::size_t size);

// Bytes per pixel seen by the filter: 3 for 'P', 1 for 'G' and 'B'.
inline int hifi_vol(const R64_FILE *f) {
    return f->header.type == 'P' ? 3 : 1;
}

} // namespace r64

#endif
