// The extension module r64._r64: sets up the library once (byte order, cache entries,
// progress lines silenced) and registers the image class, the whole-file operations and the error
// translator. The Python package r64 (r64/__init__.py) is the public face.
#include <pybind11/pybind11.h>

#include "errors.h"
#include "image.h"
#include "pyramid.h"
#include "r64/r64.h"

namespace {

// The library's progress lines would land in the middle of a Python program's output.
void no_progress(void *, int, long, long) {}

} // namespace

PYBIND11_MODULE(_r64, m) {
    m.doc() = "The r64 library's binding; use the package r64.";
    check_endian();
    r64_init();
    r64_set_progress(no_progress, nullptr);
    r64py::register_error_translator(m);
    r64py::register_image(m);
    r64py::register_pyramid(m);
}
