// numpy arrays as the pixel rows the library reads and writes: the type an array
// stands for, the checks of dtype and shape for a pixel type, and the one copy made
// when an array's rows are not laid out as the library needs them. Called with the
// GIL held; the result keeps its array alive so its pointer stays valid.
#ifndef R64_PYTHON_PIXEL_ARRAYS_H
#define R64_PYTHON_PIXEL_ARRAYS_H

#include <cstddef>
#include <cstdint>

#include <pybind11/numpy.h>

namespace r64py {

// Bytes a pixel takes in the library's row buffers: 3 for 'P', 1 for 'G' and 'B'.
constexpr int pixel_bytes(char type) {
    return type == 'P' ? 3 : 1;
}

// Rows of pixels ready for r64_write_block: w x h pixels, one row every `stride` bytes.
struct PixelRows {
    pybind11::array owner; // the caller's array, or the copy made of it
    const unsigned char *data;
    std::size_t stride;
    int width;
    int height;
};

// 'P' for (h, w, 3) uint8, 'G' for (h, w) uint8, 'B' for (h, w) bool; an ArrayError
// otherwise.
char type_of_array(const pybind11::array &a);

// The array as rows of `type` pixels: (h, w, 3) uint8 for 'P'; (h, w) uint8 or bool
// for 'G' (True as 255) and 'B' (nonzero sets the bit). Arrays whose rows are not
// contiguous pixels with a positive row step are copied; an ArrayError for any other
// dtype or shape.
PixelRows pixel_rows(const pybind11::array &a, char type);

// A new C-contiguous array for a region of `type` pixels: bool (h, w) for 'B',
// uint8 (h, w) for 'G', uint8 (h, w, 3) for 'P' and cr.
pybind11::array new_region_array(char type, int width, int height);

// The caller's `out` array checked for a region: the same dtype and shape as
// new_region_array makes, writable, rows of contiguous pixels a positive step apart.
// Returns the row step in bytes; an ArrayError otherwise.
std::size_t check_out_array(const pybind11::array &out, char type, int width, int height);

} // namespace r64py

#endif
