// The arithmetic of a request, pure and exact: the IIIF region and size rules against a
// picture's size and the server's limits, the stored level a view is read from, and the
// Deep Zoom level and tile layout. Levels halve rounding up, as r64 and cr files do.
#ifndef R64TOOL_SERVE_GEOMETRY_H
#define R64TOOL_SERVE_GEOMETRY_H

#include <optional>
#include <span>

#include "refusal.h"
#include "request.h"

namespace r64serve {

struct Rect {
    long x = 0, y = 0, w = 0, h = 0;
};

struct OutputLimits {
    long max_area = 0;
    long max_width = 0;
    long max_height = 0;
};

// The region in level-0 pixels, clipped to the picture; nullopt when it is empty or
// lies outside.
std::optional<Rect> region_pixels(const Region &r, long width, long height);

// The output size for a region of rw x rh pixels; a Failure for a zero, forbidden
// (upscaling without '^') or over-limit size.
struct OutSize {
    long w = 0, h = 0;
};
std::optional<Failure> output_size(const Size &s, long rw, long rh, const OutputLimits &lim,
                                   OutSize &out);

// The largest (r = most reduced) of the first `levels` levels over which the region still
// spans at least out_w x out_h pixels, so that a view is reduced from the nearest stored
// level above its scale and never from level 0 when a smaller one suffices.
// level_w/level_h give each level's size.
int choose_level(const Rect &region, long out_w, long out_h, std::span<const int> level_w,
                 std::span<const int> level_h);

// The region's pixels within `level`: rounded outward, clipped to the level's size.
Rect region_at_level(const Rect &region, int level, int level_w, int level_h);

// Deep Zoom: the highest level number (level 0 is 1x1 or so, the highest full size),
// a level's size, and a tile's region in level-0 pixels (nullopt for a tile or level
// that does not exist).
int dz_top_level(long width, long height);
std::optional<Rect> dz_tile_region(long width, long height, int level, long col, long row,
                                   int tile_edge, OutSize &tile_size);

} // namespace r64serve

#endif
