// Checks and layouts of the numpy arrays that carry pixels in and out of the library.
#include "pixel_arrays.h"

#include <string>

#include "errors.h"
#include "r64/r64.h"

namespace py = pybind11;

namespace r64py {

namespace {

bool is_uint8(const py::array &a) {
    return a.dtype().is(py::dtype::of<std::uint8_t>());
}
bool is_bool(const py::array &a) {
    return a.dtype().is(py::dtype::of<bool>());
}

std::string shape_text(const py::array &a) {
    std::string s = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) {
        s += (i != 0 ? ", " : "") + std::to_string(a.shape(i));
    }
    return s + (a.ndim() == 1 ? ",)" : ")");
}

std::string described(const py::array &a) {
    return "an array of dtype " + std::string(py::str(a.dtype())) + " and shape " + shape_text(a);
}

[[noreturn]] void wrong_array(const py::array &a, char type) {
    const char *want = type == 'P'   ? "uint8 of shape (height, width, 3)"
                       : type == 'G' ? "uint8 or bool of shape (height, width)"
                                     : "bool or uint8 of shape (height, width)";
    fail(ErrorKind::Array, R64_ERR_FORMAT,
         std::string("pixel type '") + type + "' needs " + want + ", not " + described(a));
}

// Whether the library can take the array's rows as they are: pixels side by side in
// each row, rows a positive step apart (which also rules out overlapping rows).
bool rows_usable(const py::array &a, int bpp) {
    if (a.ndim() == 3 && a.strides(2) != 1) {
        return false;
    }
    return a.strides(1) == bpp && a.strides(0) >= static_cast<py::ssize_t>(a.shape(1)) * bpp;
}

} // namespace

char type_of_array(const py::array &a) {
    if (a.ndim() == 3 && a.shape(2) == 3 && is_uint8(a)) {
        return 'P';
    }
    if (a.ndim() == 2 && is_uint8(a)) {
        return 'G';
    }
    if (a.ndim() == 2 && is_bool(a)) {
        return 'B';
    }
    fail(ErrorKind::Array, R64_ERR_FORMAT,
         "cannot tell the pixel type of " + described(a) +
             ": expected uint8 (h, w, 3) for 'P', uint8 (h, w) for 'G' or bool (h, w) for 'B'");
}

PixelRows pixel_rows(const py::array &a, char type) {
    const bool ok = type == 'P' ? a.ndim() == 3 && a.shape(2) == 3 && is_uint8(a)
                                : a.ndim() == 2 && (is_uint8(a) || is_bool(a));
    if (!ok) {
        wrong_array(a, type);
    }
    if (a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX / 3) {
        fail(ErrorKind::Argument, R64_ERR_RANGE,
             "the array of shape " + shape_text(a) + " is larger than any r64 level");
    }
    const int bpp = pixel_bytes(type);
    py::array rows = a;
    if (type == 'G' && is_bool(a)) {
        // True is white: 255.
        rows = py::module_::import("numpy").attr("where")(a, 255, 0).attr("astype")("uint8");
    } else if (!rows_usable(a, bpp)) {
        rows = py::module_::import("numpy").attr("ascontiguousarray")(a);
    }
    return PixelRows{rows, static_cast<const unsigned char *>(rows.data()),
                     static_cast<std::size_t>(rows.strides(0)), static_cast<int>(a.shape(1)),
                     static_cast<int>(a.shape(0))};
}

py::array new_region_array(char type, int width, int height) {
    const auto h = static_cast<py::ssize_t>(height);
    const auto w = static_cast<py::ssize_t>(width);
    if (type == 'B') {
        return py::array(py::dtype::of<bool>(), {h, w});
    }
    if (type == 'G') {
        return py::array_t<std::uint8_t>({h, w});
    }
    return py::array_t<std::uint8_t>({h, w, py::ssize_t{3}});
}

std::size_t check_out_array(const py::array &out, char type, int width, int height) {
    const bool dtype_ok = type == 'B' ? is_bool(out) : is_uint8(out);
    const bool shape_ok = type == 'P' ? out.ndim() == 3 && out.shape(2) == 3 : out.ndim() == 2;
    if (!dtype_ok || !shape_ok || out.shape(0) != height || out.shape(1) != width) {
        fail(ErrorKind::Array, R64_ERR_FORMAT,
             "out must be " + std::string(type == 'B' ? "bool" : "uint8") + " of shape (" +
                 std::to_string(height) + ", " + std::to_string(width) +
                 (type == 'P' ? ", 3)" : ")") + ", not " + described(out));
    }
    if (!out.writeable() || !rows_usable(out, pixel_bytes(type))) {
        fail(ErrorKind::Array, R64_ERR_FORMAT,
             "out must be writable with its pixels side by side in each row");
    }
    return static_cast<std::size_t>(out.strides(0));
}

} // namespace r64py
