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

// The fast way's band: the eight source rows of a band of windows gathered from packed
// tiles into pixel rows with their margins (edge or background outside the level), the
// windows filtered from them and added into the line buffers, and the finished lines
// turned into pixel bytes. The level pass takes its tiles from the cache, the streaming
// writer from the bands it holds.
class HifiRows {
  public:
    // The packed tile holding row y of the 64-pixel column tx (its width in *tw), or
    // null when it cannot be had.
    using TileFn = const unsigned char *(*)(void *ctx, int tx, int y, int *tw);

    // For a source level w x h of a file of type (vol bytes a pixel); false without memory.
    bool prepare(int w, int h, char type);
    // Gathers rows i to i + 7; rows and columns outside the level are the nearest edge
    // pixel when edge holds, else background. False when a tile could not be had.
    bool gather(int i, bool edge, const char background[3], TileFn tile, void *ctx);
    // Adds every window of the gathered band into the line buffers, as set_buf does.
    void filter(double **buf, int buf_line);
    // Pixel bytes (vol a pixel) of dest_w pixels of the line starting at buf[c] + first,
    // as the stores take them; valid until the next gather.
    const unsigned char *line_bytes(double *const *buf, int first, int dest_w);
    // Moves lines 2 and 3 up to 0 and 1 and clears 2 and 3.
    void shift_lines(double **buf, int buf_line) const;
    int vol() const { return vol_; }

  private:
    unsigned char *row(int n) { return rows_.get() + n * stride_; }
    void fill_background(unsigned char *p, int pixels, const char background[3]) const;
    void copy_tile_row(unsigned char *dst, const unsigned char *tile, int tw, int r) const;

    struct FreeDeleter {
        void operator()(void *p) const { std::free(p); }
    };
    int w_ = 0;
    int h_ = 0;
    int vol_ = 1;
    char type_ = 'G';
    int cols_ = 0;
    std::ptrdiff_t stride_ = 0;
    std::unique_ptr<unsigned char[], FreeDeleter> rows_;
};

// set_buf for one channel of one window at column j (windows are added in the order
// of j, as the literal pass adds them).
void hifi_add_window(double *lines, int buf_line, int j, const double out[4][4]);

// One byte of a pixel as the stores take it: truncated toward zero, clamped to 0..255.
inline unsigned char hifi_to_byte(double v) {
    const int n = static_cast<int>(v);
    return static_cast<unsigned char>(n > 255 ? 255 : (n < 0 ? 0 : n));
}

// Where the pass takes its line buffers and band storage from (zeroed, as calloc);
// the tests replace it to reach the paths where memory runs out.
extern void *(*hifi_calloc)(std::size_t count, std::size_t size);

// Bytes per pixel seen by the filter: 3 for 'P', 1 for 'G' and 'B'.
inline int hifi_vol(const R64_FILE *f) {
    return f->header.type == 'P' ? 3 : 1;
}

} // namespace r64

#endif
