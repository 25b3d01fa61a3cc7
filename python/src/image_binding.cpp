// The Python face of r64py::Image: methods, properties, the context manager and the
// docstrings that help(r64.Image) shows.
#include <pybind11/stl.h>

#include "image.h"

namespace py = pybind11;

namespace r64py {

namespace {

constexpr const char *kImageDoc = R"(An open r64 or cr file; made by r64.open.

The format is recognised by the file's contents. Properties describe level 0
and the pyramid; read() returns any region of any level as a new C-contiguous
numpy array: uint8 (h, w, 3) for 'P' and for cr files, uint8 (h, w) for 'G',
bool (h, w) for 'B' (True where the bit is set, white).

An r64 file opened with mode "r+" can be written (write) and its levels
rebuilt (build_levels); changed tiles reach the file at flush() or close().

A handle belongs to one thread at a time: each thread or process opens its
own. Reads, writes and level builds release the GIL (one library call runs at
a time in the process), so other threads go on with Python work meanwhile.

Example:
    with r64.open("photo.cr") as im:
        a = im.read(level=3)
        b = im.read(x=1000, y=2000, width=512, height=512)
)";

constexpr const char *kReadDoc = R"(Reads a region of a level as a new numpy array.

level: the level, 0 (full size) to levels - 1.
x, y: the region's top-left pixel (may be negative).
width, height: its size (default: up to the level's right and bottom edge).
out: an array to fill instead of a new one: same dtype and shape as the result,
    writable, pixels side by side in each row. It is returned.

The region must have a positive size and meet the level; its pixels outside
the level are copies of the nearest edge pixel, as the library's r64_red reads
them. Raises ArgumentError (a ValueError) for a bad level (-9) or region (-7),
DataError (a ValueError) for damaged or missing tile data (-4, -5, -6),
FileError (an OSError) when the file cannot be read (-1).

Example:
    a = im.read(level=2)
    b = im.read(0, x=64, y=64, width=128, height=128)
)";

constexpr const char *kWriteDoc =
    R"(Writes an array of pixels into a level of an r64 file opened "r+".

The array is uint8 (h, w, 3) for type 'P', uint8 (h, w) for 'G', bool or uint8
(h, w) for 'B' (nonzero sets the bit); bool into 'G' writes 0 and 255. Any
strides are accepted (copied when the rows are not contiguous pixels). The
region at (x, y) must lie inside the level (ArgumentError, -7); the other
levels are not updated: call build_levels() afterwards.

Example:
    with r64.open("out.r64", "r+") as im:
        im.write(patch, level=0, x=128, y=64)
        im.build_levels("average")
)";

constexpr const char *kBuildDoc =
    R"(Rebuilds every reduced level of an r64 file opened "r+" from level 0.

filter: "average" (2x2 mean) or "fourier" (windowed Fourier low-pass filter).
Each level is written to the file before the next one is made from it.
)";

} // namespace

void register_image(py::module_ &m) {
    py::class_<Image>(m, "Image", kImageDoc)
        .def(py::init<const std::string &, const std::string &>(), py::arg("path"),
             py::arg("mode") = "r",
             "Opens path (an r64 or cr file) with mode \"r\" or \"r+\" (r64 only). r64.open\n"
             "is the usual way.")
        .def_property_readonly("path", &Image::path, "The path the file was opened with.")
        .def_property_readonly("mode", &Image::mode, "\"r\" or \"r+\".")
        .def_property_readonly("format", &Image::format, "'r64' or 'cr'.")
        .def_property_readonly("type", &Image::type,
                               "The pixel type: 'G' grey, 'P' colour or 'B' 1-bit; 'P' for cr.")
        .def_property_readonly("width", &Image::width, "Width of level 0 in pixels.")
        .def_property_readonly("height", &Image::height, "Height of level 0 in pixels.")
        .def_property_readonly("levels", &Image::levels,
                               "Levels the file holds, counted as r64info counts them.")
        .def_property_readonly("tile", &Image::tile,
                               "Tile edge in pixels: 64 for r64, the file's tile size for cr.")
        .def_property_readonly("closed", &Image::closed, "Whether close() has run.")
        .def("level_size", &Image::level_size, py::arg("level"),
             "(width, height) of a level of the image (ArgumentError -9 for any other).")
        .def("read", &Image::read, py::arg("level") = 0, py::arg("x") = 0, py::arg("y") = 0,
             py::arg("width") = py::none(), py::arg("height") = py::none(),
             py::arg("out") = py::none(), kReadDoc)
        .def("write", &Image::write, py::arg("pixels"), py::arg("level") = 0, py::arg("x") = 0,
             py::arg("y") = 0, kWriteDoc)
        .def("build_levels", &Image::build_levels, py::arg("filter") = "average", kBuildDoc)
        .def("flush", &Image::flush, "Writes changed tiles to the file.")
        .def("close", &Image::close,
             "Writes changed tiles back and closes the file (FileError when a write-back\n"
             "fails). Closing twice is harmless.")
        .def(
            "__enter__", [](Image &self) -> Image & { return self; },
            py::return_value_policy::reference_internal)
        .def("__exit__", [](Image &self, const py::args &) { self.close(); })
        .def("__repr__", [](const Image &self) {
            return "<r64.Image " + self.format() + " '" + self.type() + "' " +
                   std::to_string(self.width()) + "x" + std::to_string(self.height()) + ", " +
                   std::to_string(self.levels()) +
                   " levels, path=" + std::string(py::repr(py::str(self.path()))) +
                   (self.closed() ? ", closed>" : ">");
        });
}

} // namespace r64py
