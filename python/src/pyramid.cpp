// r64.write and r64.to_cr at the C++ level: an array written as a new r64 file with
// all its levels through the streaming pyramid writer (or level 0 alone through the
// tile cache), and an r64 file converted to cr with cr_write_file_threads. The Python side picks
// the temporary target and renames it when complete.
#include "pyramid.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <optional>

#include <pybind11/stl.h>

#include "errors.h"
#include "library_lock.h"
#include "pixel_arrays.h"

namespace py = pybind11;

namespace r64py {

namespace {

constexpr int kMaxSide = 32767; // the header's 16-bit signed sides
constexpr int kMinSide = 3;     // what r64tool import accepts
constexpr int kMaxCrTile = 256;

struct R64Closer {
    void operator()(R64_FILE *f) const { r64_close_file(f); }
};
using R64Handle = std::unique_ptr<R64_FILE, R64Closer>;
// A streaming writer that is released (its result ignored) when a failure unwinds.
struct PyramidEnder {
    void operator()(R64_PYRAMID *p) const { r64_end_pyramid(p); }
};
using PyramidWriter = std::unique_ptr<R64_PYRAMID, PyramidEnder>;

// Closes f and reports a failed write-back of its last tiles.
void close_checked(R64Handle f, const std::string &path) {
    errno = 0;
    if (r64_close_file(f.release()) != 0) {
        fail_library(path, "cannot write the last tiles", r64_error, errno);
    }
}

void create_pyramid(const std::string &path, const py::array &pixels, const std::string &type_name,
                    const std::optional<std::string> &filter_name) {
    char type = 0;
    if (type_name.empty()) {
        type = type_of_array(pixels);
    } else if (type_name == "P" || type_name == "G" || type_name == "B") {
        type = type_name[0];
    } else {
        fail(ErrorKind::Argument, R64_ERR_CTL,
             "type must be 'P', 'G' or 'B', not '" + type_name + "'");
    }
    const bool build = filter_name.has_value();
    const Filter filter = build ? parse_filter(*filter_name) : Filter::Average;
    const PixelRows rows = pixel_rows(pixels, type);
    if (rows.width < kMinSide || rows.height < kMinSide || rows.width > kMaxSide ||
        rows.height > kMaxSide) {
        fail(ErrorKind::Argument, R64_ERR_RANGE,
             "an r64 image is 3 to 32767 pixels a side, not " + std::to_string(rows.width) + " x " +
                 std::to_string(rows.height));
    }

    UnlockedCall call;
    errno = 0;
    R64Handle f(r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, rows.width,
                              rows.height));
    if (!f) {
        fail_library(path, "cannot create the r64 file", r64_error, errno);
    }
    if (build) {
        // The streaming writer makes every level as the rows arrive, each band written
        // once; the file is byte for byte what the tile-cache path below and
        // r64_new_level (or r64_new_level_hifi) for each level leave.
        PyramidWriter p(r64_begin_pyramid(f.get(), filter == Filter::Fourier ? R64_FILTER_FOURIER
                                                                             : R64_FILTER_AVERAGE));
        if (!p) {
            fail_library(path, "cannot start the pyramid", r64_error, errno);
        }
        errno = 0;
        if (r64_write_rows(p.get(), rows.data, rows.stride, rows.height) != 0) {
            fail_library(path, "cannot write the pyramid", r64_error, errno);
        }
        errno = 0;
        if (r64_end_pyramid(p.release()) != 0) {
            fail_library(path, "cannot complete the pyramid", r64_error, errno);
        }
    } else {
        for (int y = 0; y < rows.height; y += R64_TILE) {
            const int n = rows.height - y < R64_TILE ? rows.height - y : R64_TILE;
            errno = 0;
            if (r64_write_block(f.get(), 0, y, rows.width, n, 0,
                                rows.data + static_cast<std::size_t>(y) * rows.stride,
                                rows.stride) != 0) {
                fail_library(path, "cannot write level 0", r64_error, errno);
            }
        }
    }
    close_checked(std::move(f), path);
}

void convert_to_cr(const std::string &source, const std::string &target, int tile, int threads) {
    if (tile < 1 || tile > kMaxCrTile) {
        fail(ErrorKind::Argument, R64_ERR_CTL,
             "the cr tile edge is 1 to 256 pixels, not " + std::to_string(tile));
    }
    if (threads < 1) {
        fail(ErrorKind::Argument, R64_ERR_CTL,
             "threads is 1 or more, not " + std::to_string(threads));
    }
    UnlockedCall call;
    errno = 0;
    R64Handle f(r64_open_file(source.c_str(), O_RDONLY, 0, 'P', 0, 0));
    if (!f) {
        const int code = r64_error;
        fail_library(source, code == R64_ERR_FORMAT ? "not an r64 file" : "cannot open", code,
                     errno);
    }
    const int levels = table_levels(f.get());
    for (int level = 0; level < levels; ++level) {
        if (r64_check_level(f.get(), level) == 0) {
            fail(ErrorKind::Data, R64_ERR_SHORT,
                 source + ": level " + std::to_string(level) + " of " + std::to_string(levels) +
                     " is incomplete; build the levels first [r64_error -4]");
        }
    }
    errno = 0;
    if (cr_write_file_threads(target.c_str(), 0644, tile, f.get(), threads) != 0) {
        fail_library(target, "cannot convert " + source, r64_error, errno);
    }
    close_checked(std::move(f), source);
}

} // namespace

Filter parse_filter(const std::string &name) {
    if (name == "average") {
        return Filter::Average;
    }
    if (name == "fourier") {
        return Filter::Fourier;
    }
    fail(ErrorKind::Argument, R64_ERR_CTL,
         "filter must be 'average' or 'fourier', not '" + name + "'");
}

int table_levels(const R64_FILE *f) {
    int n = 0;
    while (n < R64_LEVELS && f->level_ofs[n] != 0) {
        ++n;
    }
    return n;
}

void build_levels_of(R64_FILE *f, Filter filter, const std::string &path) {
    errno = 0;
    if (r64_flush(f) != 0) {
        fail_library(path, "cannot write level 0", r64_error, errno);
    }
    if (r64_check_level(f, 0) == 0) {
        fail(ErrorKind::Data, R64_ERR_SHORT,
             path + ": level 0 is incomplete; write all of its pixels first [r64_error -4]");
    }
    const int levels = table_levels(f);
    for (int level = 0; level + 1 < levels; ++level) {
        errno = 0;
        const int rc =
            filter == Filter::Fourier ? r64_new_level_hifi(f, level) : r64_new_level(f, level);
        if (rc != 0) {
            fail_library(path, "cannot build level " + std::to_string(level + 1), r64_error, errno);
        }
        errno = 0;
        if (r64_flush(f) != 0) {
            fail_library(path, "cannot write level " + std::to_string(level + 1), r64_error, errno);
        }
        if (r64_check_level(f, level + 1) == 0) {
            fail(ErrorKind::Data, R64_ERR_SHORT,
                 path + ": level " + std::to_string(level + 1) +
                     " is incomplete after writing it [r64_error -4]");
        }
    }
}

void register_pyramid(py::module_ &m) {
    m.def("create_pyramid", &create_pyramid, py::arg("path"), py::arg("pixels"),
          py::arg("type") = "", py::arg("filter") = "average",
          "Writes pixels as level 0 of a new r64 file at path (made or emptied) and, unless\n"
          "filter is None, builds every level with it. Used by r64.write, which writes\n"
          "under a temporary name and renames.");
    m.def("convert_to_cr", &convert_to_cr, py::arg("source"), py::arg("target"),
          py::arg("tile") = 256, py::arg("threads") = 1,
          "Converts the r64 file source, which must hold all of its levels, into the cr\n"
          "file target. Used by r64.to_cr, which writes under a temporary name.");
}

} // namespace r64py
