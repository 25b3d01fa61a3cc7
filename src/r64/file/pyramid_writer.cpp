// The streaming pyramid writer's work: rows go into a level's band of packed tiles; a
// finished band is written at its place in one large write (with the background of any
// gap behind it), then reduced into the next level (2x2 averaging per tile, or the
// Fourier filter per band of windows), which finishes its own bands in turn. The
// tile bytes, padding bits and gaps are what the cache path leaves in the file.
// Relies on r64_io.h for the writes and on the level kernels of the other units.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "r64/file/pyramid_writer.h"
#include "r64/file/r64_averaging.h"
#include "r64/file/r64_cache.h"
#include "r64/file/r64_io.h"
#include "r64/file/r64_progress.h"

namespace {

using r64::kTile;

// The averaging kernel reads each source row a whole tile row wide: a band buffer ends
// with that much room past its last tile.
constexpr std::size_t kKernelSlack = kTile * 3;

struct TileSource {
    r64_pyramid *p;
    int lv;
};

// Packs one row of pixels (1 byte a pixel for 'G' and 'B', 3 for 'P') into the rows of
// the band's tiles, as r64_write_block stores them: for 'B' a nonzero byte sets the
// bit, and the padding bits of a row's last byte keep what the buffer held.
void pack_row(char type, int bpp, int full_row_bytes, int w, int h_len, int r,
              const unsigned char *px, unsigned char *band) {
    for (int tx = 0; tx < w; tx += kTile) {
        const int w_len = r64::tile_len(w, tx);
        const uint32_t row_bytes = r64::tile_row_bytes(type, w_len);
        unsigned char *dst = band + static_cast<std::size_t>(tx / kTile) * h_len * full_row_bytes +
                             static_cast<std::size_t>(r) * row_bytes;
        const unsigned char *src = px + static_cast<std::size_t>(tx) * bpp;
        if (type != 'B') {
            std::memcpy(dst, src, static_cast<std::size_t>(w_len) * bpp);
            continue;
        }
        const int full = w_len / 8;
        for (int b = 0; b < full; ++b) {
            unsigned byte = 0;
            for (int x = 0; x < 8; ++x) {
                byte = (byte << 1) | (src[b * 8 + x] != 0 ? 1u : 0u);
            }
            dst[b] = static_cast<unsigned char>(byte);
        }
        for (int x = full * 8; x < w_len; ++x) {
            const unsigned char bit = r64::bit_mask_of(x);
            dst[x >> 3] =
                static_cast<unsigned char>(src[x] != 0 ? dst[x >> 3] | bit : dst[x >> 3] & ~bit);
        }
    }
}

// Starts write-back of bytes just written, so that the caller's final sync finds little
// left (not for a scratch file, which is never synced). Advisory: where the system
// cannot, the sync does it all.
void start_write_back(R64_FILE *f, uint32_t pos, uint32_t size) {
#ifdef SYNC_FILE_RANGE_WRITE
    if (r64::direct_io(f) && !f->priv->no_write_back) {
        (void)sync_file_range(f->fd, pos, size, SYNC_FILE_RANGE_WRITE);
    }
#else
    (void)f;
    (void)pos;
    (void)size;
#endif
}

} // namespace

bool r64_pyramid::prepare(R64_FILE *file, int filter_kind) {
    f = file;
    filter = filter_kind;
    const r64::PixelType &pt = r64::pixel_type_of(f);
    levels = 0;
    while (levels < R64_LEVELS && r64::level_exists(f, levels)) {
        ++levels;
    }
    try {
        for (int lv = 0; lv < levels; ++lv) {
            r64::PyramidLevel &L = level[lv];
            L.w = f->level_w[lv];
            L.h = f->level_h[lv];
            L.ofs = f->level_ofs[lv];
            L.stride = r64::level_row_stride(f->header.type, L.w, f->header.width);
            L.region_end = lv + 1 < levels ? f->level_ofs[lv + 1] : r64::level_data_end(f, lv);
            const bool filtered = lv + 1 < levels && filter == R64_FILTER_FOURIER;
            const std::size_t band_bytes =
                std::max<std::size_t>(static_cast<std::size_t>(L.stride) * kTile,
                                      static_cast<std::size_t>(pt.tile_bytes)) +
                kKernelSlack;
            L.bands.assign(filtered ? 2 : 1, std::vector<unsigned char>(band_bytes));
            if (filtered) {
                if (!L.hifi.prepare(L.w, L.h, f->header.type)) {
                    r64_error = R64_ERR_NOMEM;
                    return false;
                }
                const int dest_w = r64::ceil_half(L.w);
                L.buf_line = dest_w - dest_w % 4 + 12;
                for (int c = 0; c < 3; ++c) {
                    L.lines[c].assign(static_cast<std::size_t>(L.buf_line) * 4, 0.0);
                    L.line_ptrs[c] = L.lines[c].data();
                }
            }
        }
    } catch (const std::bad_alloc &) {
        r64_error = R64_ERR_NOMEM;
        return false;
    }
    return true;
}

r64::BandPlace r64_pyramid::band_place(int lv, int k) const {
    const r64::PyramidLevel &L = level[lv];
    const int top = k * kTile;
    const int h_len = r64::tile_len(L.h, top);
    const uint32_t pos = L.ofs + static_cast<uint32_t>(top) * L.stride;
    const bool last = top + h_len >= L.h;
    const uint32_t size = last ? L.region_end - pos : static_cast<uint32_t>(h_len) * L.stride;
    return {top, h_len, pos, size};
}

unsigned char *r64_pyramid::band_buffer(int lv, int k) {
    std::vector<std::vector<unsigned char>> &bands = level[lv].bands;
    return bands[static_cast<std::size_t>(k) % bands.size()].data();
}

// A 'B' band starts as background, as a tile the cache makes past the end of the file
// does: the padding bits of each row and the spare bytes between bands keep it. 'G'
// and 'P' bands are covered by pixels entirely.
void r64_pyramid::start_band(int lv, int k) {
    if (f->header.type == 'B') {
        std::vector<unsigned char> &band =
            level[lv].bands[static_cast<std::size_t>(k) % level[lv].bands.size()];
        r64::fill_background_pattern(f, band.data(), band.size());
    }
}

int r64_pyramid::put_row(int lv, int y, const unsigned char *px) {
    r64::PyramidLevel &L = level[lv];
    const int k = y / kTile;
    if (y % kTile == 0) {
        start_band(lv, k);
    }
    const r64::PixelType &pt = r64::pixel_type_of(f);
    pack_row(f->header.type, pt.pixel_bytes, pt.full_row_bytes, L.w, r64::tile_len(L.h, k * kTile),
             y % kTile, px, band_buffer(lv, k));
    L.rows_done = y + 1;
    if (y % kTile == kTile - 1 || y + 1 == L.h) {
        return finish_band(lv, k);
    }
    return 0;
}

int r64_pyramid::put_rows(const unsigned char *rows, std::size_t stride, int n) {
    for (int r = 0; r < n; ++r) {
        if (put_row(0, level[0].rows_done, rows + static_cast<std::size_t>(r) * stride) != 0) {
            return -1;
        }
    }
    return 0;
}

int r64_pyramid::write_band(int lv, int k) {
    const r64::BandPlace b = band_place(lv, k);
    const uint32_t held = static_cast<uint32_t>(b.h_len) * level[lv].stride;
    const uint32_t from_buffer = std::min(held, b.size);
    if (r64::write_at(f, b.pos, band_buffer(lv, k), from_buffer) != 0) {
        return -1;
    }
    // Past the last band of a 'B' level: background up to the next level.
    if (b.size > from_buffer &&
        r64::fill_background_at(f, b.pos + from_buffer, b.size - from_buffer) != 0) {
        return -1;
    }
    start_write_back(f, b.pos, b.size);
    return 0;
}

int r64_pyramid::reduce_band(int lv, int k) {
    const r64::PyramidLevel &S = level[lv];
    r64::PyramidLevel &D = level[lv + 1];
    const r64::PixelType &pt = r64::pixel_type_of(f);
    const int dk = k / 2;
    if (k % 2 == 0) {
        start_band(lv + 1, dk);
    }
    const r64::BandPlace src = band_place(lv, k);
    const int d_h_len = r64::tile_len(D.h, dk * kTile);
    const unsigned char *s = band_buffer(lv, k);
    unsigned char *d = band_buffer(lv + 1, dk);
    for (int tx = 0; tx < S.w; tx += kTile) {
        const int x0 = (tx / 2) & ~(kTile - 1);
        r64::reduce_block(f,
                          s + static_cast<std::size_t>(tx / kTile) * src.h_len * pt.full_row_bytes,
                          r64::tile_len(S.w, tx), src.h_len,
                          d + static_cast<std::size_t>(x0 / kTile) * d_h_len * pt.full_row_bytes,
                          r64::tile_len(D.w, x0), tx / 2 - x0, (k % 2) * (kTile / 2));
    }
    D.rows_done = r64::ceil_half(S.rows_done);
    if (k % 2 == 1 || S.rows_done == S.h) {
        return finish_band(lv + 1, dk);
    }
    return 0;
}

const unsigned char *r64_pyramid::band_tile(void *ctx, int tx, int y, int *tw) {
    const auto *at = static_cast<const TileSource *>(ctx);
    r64_pyramid *p = at->p;
    const r64::PyramidLevel &L = p->level[at->lv];
    const int k = y / kTile;
    *tw = r64::tile_len(L.w, tx);
    return p->band_buffer(at->lv, k) + static_cast<std::size_t>(tx / kTile) *
                                           r64::tile_len(L.h, k * kTile) *
                                           r64::pixel_type_of(p->f).full_row_bytes;
}

// Every band of windows whose rows are all in (or past the bottom of the level once it
// is complete): the band's two finished lines become rows i/2 and i/2 + 1 of the next
// level, as the level pass stores them.
int r64_pyramid::filter_bands(int lv) {
    r64::PyramidLevel &S = level[lv];
    const int dest_w = r64::ceil_half(S.w);
    const int dest_h = r64::ceil_half(S.h);
    TileSource at{this, lv};
    while (S.next_window_row < S.h && (S.next_window_row + 7 < S.rows_done || S.rows_done == S.h)) {
        const int i = S.next_window_row;
        // The bands hold every row the windows read, so the gather cannot fail.
        (void)S.hifi.gather(i, f->rc_type != 0, f->background, band_tile, &at);
        S.hifi.filter(S.line_ptrs.data(), S.buf_line);
        for (int r = 0; r < 2; ++r) {
            const int y = i / 2 + r;
            if (y < 0 || y >= dest_h) {
                continue;
            }
            const unsigned char *px = S.hifi.line_bytes(S.line_ptrs.data(), r * S.buf_line, dest_w);
            if (put_row(lv + 1, y, px) != 0) {
                return -1;
            }
        }
        S.hifi.shift_lines(S.line_ptrs.data(), S.buf_line);
        S.next_window_row += 4;
    }
    return 0;
}

int r64_pyramid::finish_band(int lv, int k) {
    if (write_band(lv, k) != 0) {
        return -1;
    }
    if (lv == 0) {
        const long done = level[0].rows_done;
        const long total = level[0].h;
        r64::report(R64_PROGRESS_ROWS, done, total, [&] {
            std::printf("rows = %li/%li   \r", done, total);
            std::fflush(stdout);
        });
    }
    if (lv + 1 >= levels) {
        return 0;
    }
    return filter == R64_FILTER_FOURIER ? filter_bands(lv) : reduce_band(lv, k);
}
