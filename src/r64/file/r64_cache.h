// Internals of the per-handle tile cache: the search, entry, load and write-back
// routines (C linkage, so that every level generator can call them) and the small
// ring and pixel-address helpers that the cache and the pixel code share. Geometry
// comes from r64_geometry.h, the handle layout from the public header, the private
// state (tile index, use stamps, remembered length) and positioned I/O from r64_io.h.
#ifndef R64_SRC_R64_CACHE_H
#define R64_SRC_R64_CACHE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "r64/r64.h"
#include "r64/file/r64_geometry.h"
#include "r64/file/r64_io.h"

extern "C" {

// Makes the entry holding the tile of pixel (w, h) of level the head of the ring,
// loading the tile when no entry holds it. 0, or -1 with r64_error set.
int _search_ce(R64_FILE *f, int w, int h, int level);
// Puts an entry at the head of the ring for reuse: a free one first, else the least
// recently used one after writing it back when dirty. 0, or -1 (write-back failed).
int _new_ce(R64_FILE *f);
// Loads the tile of pixel (w, h) of level into a fresh head entry; a tile beyond the
// end of a writable file starts as background and dirty. 0, or -1 with r64_error set.
int _r64_read(R64_FILE *f, int w, int h, int level);
// Writes the tile of ce back, appending background first when the file ends before
// the tile. 0 and clean, or -1 with r64_error set and ce still dirty. On the direct
// path the write also takes the dirty tiles next to ce in the file that were last used
// about when ce was (the next to be written anyway), in one write; they come back clean.
int _r64_flush(R64_FILE *f, R64_CACHE_ENT *ce);
// Appends len background bytes at the descriptor's position. 0, or -1 (r64_error -1).
int _fill_background(R64_FILE *f, uint32_t len);

} // extern "C"

namespace r64 {

inline constexpr int kDirty = 1; // bit 0 of R64_CACHE_ENT.flags

inline R64_CACHE_ENT *ring_head(R64_FILE *f) {
    return f->cache[0].next;
}

inline bool entry_holds(const R64_CACHE_ENT *e, int x, int y, int level) {
    return e->level == level && x >= e->w_ofs && x < e->w_ofs + e->w_len && y >= e->h_ofs &&
           y < e->h_ofs + e->h_len;
}

inline void ring_unlink(R64_CACHE_ENT *e) {
    e->prev->next = e->next;
    e->next->prev = e->prev;
}

inline void ring_push_head(R64_FILE *f, R64_CACHE_ENT *e) {
    R64_CACHE_ENT *sentinel = &f->cache[0];
    e->next = sentinel->next;
    e->prev = sentinel;
    sentinel->next->prev = e;
    sentinel->next = e;
    if (f->priv != nullptr) {
        f->priv->last_use[e - f->cache] = ++f->priv->use_clock;
    }
}

// Whether the cache takes the direct path: pread/pwrite, the remembered length, file
// order and coalesced writes. Routed files, and files whose offsets wrap (where the
// order of writes decides which tile a wrapped offset keeps), keep the request-by-request
// path that hosts and such files have always seen.
inline bool cache_direct(const R64_FILE *f) {
    return direct_io(f) && !f->priv->offsets_wrap;
}

inline uint32_t entry_file_offset(const R64_FILE *f, const R64_CACHE_ENT *e) {
    return tile_file_offset(f, e->level, e->w_ofs, e->h_ofs);
}

// 0 when level belongs to the image and (x, y) lies inside it; otherwise sets
// r64_error to -9 (level) or -7 (pixel) and answers -1.
inline int check_pixel_address(R64_FILE *f, int level, int x, int y) {
    if (!level_exists(f, level)) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    if (!inside_level(f, level, x, y)) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    return 0;
}

// The head entry when it already holds the pixel (one comparison on the common path),
// else the result of a full search. Null with r64_error set when the tile cannot be had.
inline R64_CACHE_ENT *find_tile(R64_FILE *f, int x, int y, int level) {
    R64_CACHE_ENT *head = ring_head(f);
    if (head != &f->cache[0] && entry_holds(head, x, y, level)) {
        return head;
    }
    return _search_ce(f, x, y, level) == 0 ? ring_head(f) : nullptr;
}

// Byte count of the tile an entry holds.
inline uint32_t entry_byte_len(const R64_FILE *f, const R64_CACHE_ENT *e) {
    return tile_byte_len(f->header.type, e->w_len, e->h_len);
}

// Writes the dirty entries run[0..n) (adjacent in the file, in file order) with one
// gathered write, appending background first when the file ends before the first.
// 0 with every entry clean, or -1 with r64_error set and every entry still dirty.
int write_run(R64_FILE *f, R64_CACHE_ENT *const *run, std::size_t n);

// Offset in an entry's buffer of the byte holding pixel (x, y) of its tile: the first
// of three for 'P', the byte whose bit 7 - (x mod 8) is the pixel for 'B'.
inline uint32_t pixel_byte_offset(char type, const R64_CACHE_ENT *e, int x, int y) {
    const auto row = static_cast<uint32_t>(y - e->h_ofs) * tile_row_bytes(type, e->w_len);
    const auto col = static_cast<uint32_t>(x - e->w_ofs);
    switch (type) {
    case 'P':
        return row + 3u * col;
    case 'B':
        return row + col / 8u;
    default:
        return row + col;
    }
}

inline unsigned char bit_mask_of(int x) {
    return static_cast<unsigned char>(0x80u >> (x & 7));
}

// Fills n bytes with the background pattern: the three background bytes repeated for
// 'P', background[0] alone for 'G' and 'B' (their other two bytes are never set by
// r64_ctl and would stripe the fill). A 'P' pattern starts with background[0].
inline void fill_background_pattern(const R64_FILE *f, unsigned char *dst, std::size_t n) {
    const auto *bg = reinterpret_cast<const unsigned char *>(f->background);
    if (f->header.type != 'P') {
        std::memset(dst, bg[0], n);
        return;
    }
    // The first pixel, then the filled part copied onto what follows, doubling each time.
    std::size_t done = n < 3 ? n : 3;
    std::memcpy(dst, bg, done);
    while (done < n) {
        const std::size_t chunk = done < n - done ? done : n - done;
        std::memcpy(dst + done, dst, chunk);
        done += chunk;
    }
}

} // namespace r64

#endif
