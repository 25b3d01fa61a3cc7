// Tile and level geometry of r64 files: the pixel-type table and the placement of
// every level and tile in the file. The cache, the pixel code, the fast paths and
// the tests all use these definitions; offsets are unsigned 32-bit by format.
#ifndef R64_SRC_R64_GEOMETRY_H
#define R64_SRC_R64_GEOMETRY_H

#include <cstdint>

#include "r64/r64.h"

namespace r64 {

inline constexpr int kTile = 64;

struct PixelType {
    char type;
    int pixel_bytes;    // bytes a caller's pixel has (1 for 'G' and 'B', 3 for 'P')
    int full_row_bytes; // T: bytes of one row of a 64-pixel-wide tile
    int tile_bytes;     // size of a tile buffer
    int room_factor;    // f: bytes reserved per pixel of a level's area
};

inline constexpr PixelType kPixelTypes[] = {
    {'G', 1, 64, 4096, 1},
    {'P', 3, 192, 12288, 3},
    {'B', 1, 8, 512, 1},
};

// The entry of a pixel type, or null for a type the format does not know.
constexpr const PixelType *pixel_type(char type) {
    for (const PixelType &t : kPixelTypes) {
        if (t.type == type) {
            return &t;
        }
    }
    return nullptr;
}

// The entry of an open file's type (validated at open).
inline const PixelType &pixel_type_of(const R64_FILE *f) { return *pixel_type(f->header.type); }

constexpr int ceil_half(int v) { return (v >> 1) + (v & 1); }

// Bytes of one packed row of a tile w_len pixels wide.
constexpr uint32_t tile_row_bytes(char type, int w_len) {
    switch (type) {
    case 'P':
        return 3u * static_cast<uint32_t>(w_len);
    case 'B':
        return (static_cast<uint32_t>(w_len) + 7u) / 8u;
    default:
        return static_cast<uint32_t>(w_len);
    }
}

// R: bytes of one pixel row of a whole level w pixels wide, in an image whose
// level-0 width is width0. A 'B' level gets a spare byte per row whenever w or
// width0 is not a multiple of 8; stored files depend on this spacing.
constexpr uint32_t level_row_stride(char type, int w, int width0) {
    const auto uw = static_cast<uint32_t>(w);
    switch (type) {
    case 'P':
        return 3u * uw;
    case 'B':
        return ((w & 7) != 0 || (width0 & 7) != 0) ? (uw >> 3) + 1u : uw / 8u;
    default:
        return uw;
    }
}

constexpr int tile_len(int level_size, int ofs) {
    return level_size - ofs < kTile ? level_size - ofs : kTile;
}

// File offset of the tile with top-left (x0, y0) (multiples of 64) of a level.
inline uint32_t tile_file_offset(const R64_FILE *f, int level, int x0, int y0) {
    const char type = f->header.type;
    const uint32_t stride = level_row_stride(type, f->level_w[level], f->header.width);
    const auto h_len = static_cast<uint32_t>(tile_len(f->level_h[level], y0));
    return f->level_ofs[level] + static_cast<uint32_t>(y0) * stride +
           static_cast<uint32_t>(x0 / kTile) * h_len * pixel_type_of(f).full_row_bytes;
}

// Byte length of a tile w_len x h_len pixels.
constexpr uint32_t tile_byte_len(char type, int w_len, int h_len) {
    return static_cast<uint32_t>(h_len) * tile_row_bytes(type, w_len);
}

// End of a level's whole area (where the next level starts).
inline uint32_t level_area_end(const R64_FILE *f, int level) {
    return f->level_ofs[level] + static_cast<uint32_t>(f->level_w[level]) *
                                     static_cast<uint32_t>(f->level_h[level]) *
                                     static_cast<uint32_t>(pixel_type_of(f).room_factor);
}

// End of a level's tile bytes: the end of its area for 'G' and 'P'; for 'B' the end
// of its last band's packed tiles, since the rest of a 'B' area never holds pixels.
inline uint32_t level_data_end(const R64_FILE *f, int level) {
    if (f->header.type != 'B') {
        return level_area_end(f, level);
    }
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    const int last_band = ((h - 1) / kTile) * kTile;
    return f->level_ofs[level] +
           static_cast<uint32_t>(last_band) * level_row_stride('B', w, f->header.width) +
           static_cast<uint32_t>(h - last_band) * tile_row_bytes('B', w);
}

// Whether level is an index of the level tables that belongs to the image.
inline bool level_exists(const R64_FILE *f, int level) {
    return level >= 0 && level < R64_LEVELS && f->level_ofs[level] != 0;
}

inline bool inside_level(const R64_FILE *f, int level, int x, int y) {
    return x >= 0 && x < f->level_w[level] && y >= 0 && y < f->level_h[level];
}

} // namespace r64

#endif
