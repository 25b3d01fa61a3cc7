// Pixel work on a finished read, with no library state: area averaging to the requested
// size, mirroring and rotation by quarter turns, and the grey and bitonal qualities.
#ifndef R64TOOL_SERVE_PIXELS_H
#define R64TOOL_SERVE_PIXELS_H

#include <cstdint>
#include <vector>

namespace r64serve {

// Rows top to bottom, no gap; 1 (grey) or 3 (RGB) bytes a pixel.
struct Pixels {
    int w = 0, h = 0, channels = 0;
    std::vector<std::uint8_t> data;
};

// Each output pixel is the mean of the source area it covers, partial pixels weighted
// by the part covered, rounded to the nearest. Equal sizes copy.
Pixels area_average(const Pixels &src, int out_w, int out_h);
// Mirrors left to right first when asked, then turns clockwise by 0, 90, 180 or 270.
Pixels orient(const Pixels &src, bool mirror, int degrees);
// Luma (ITU-R BT.601 weights, rounded), and luma thresholded at 128 to 0 or 255.
Pixels to_gray(const Pixels &src);
Pixels to_bitonal(const Pixels &src);

} // namespace r64serve

#endif
