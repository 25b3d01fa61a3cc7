// r64.Image: opening a file of either format by its contents, reading regions of any
// level (r64 through r64_read_block, cr tile by tile through a decoder), writing
// regions and building levels of an r64 file opened "r+", and closing with the
// write-back checked.
#include "image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>

#include <pybind11/stl.h>

#include "errors.h"
#include "library_lock.h"
#include "pixel_arrays.h"
#include "pyramid.h"

namespace py = pybind11;

namespace r64py {

namespace {

std::string levels_text(int levels) {
    return std::to_string(levels) + (levels == 1 ? " level" : " levels");
}

struct FreeDeleter {
    void operator()(unsigned char *p) const { std::free(p); }
};
using MallocPixels = std::unique_ptr<unsigned char, FreeDeleter>;

// Whether the file opens with the cr preamble, "CR" and a zero byte: a file that does
// but is too short for the cr header is a cut cr file, any other is neither format.
bool starts_as_cr(const std::string &path) {
    char preamble[3] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(preamble, 3) && std::memcmp(preamble, "CR", 3) == 0;
}

} // namespace

Image::Image(const std::string &path, const std::string &mode) : path_(path), mode_(mode) {
    if (mode != "r" && mode != "r+") {
        fail(ErrorKind::Argument, R64_ERR_CTL, "mode must be 'r' or 'r+', not '" + mode + "'");
    }
    const bool writable = mode == "r+";
    struct stat st {};
    if (writable && ::stat(path.c_str(), &st) == 0 && st.st_size == 0) {
        // The library would make a new file of an empty one opened read-write.
        fail(ErrorKind::Data, R64_ERR_SHORT, path + ": the file is empty [r64_error -4]");
    }
    UnlockedCall call;
    errno = 0;
    r64_ = r64_open_file(path.c_str(), writable ? O_RDWR : O_RDONLY, 0, 'P', 0, 0);
    if (r64_ == nullptr && r64_error == R64_ERR_FORMAT) {
        errno = 0;
        cr_ = cr_open_file(path.c_str(), O_RDONLY, 0, 256, 0, 0);
        const int code = r64_error;
        if (cr_ == nullptr &&
            (code == R64_ERR_FORMAT || (code == R64_ERR_SHORT && !starts_as_cr(path)))) {
            fail(ErrorKind::Data, R64_ERR_FORMAT,
                 path + ": neither an r64 nor a cr file [r64_error -5]");
        }
        if (cr_ == nullptr) {
            fail_library(path, "cannot open as a cr file", code, errno);
        }
        is_cr_ = true;
    } else if (r64_ == nullptr) {
        fail_library(path, "cannot open", r64_error, errno);
    }

    if (is_cr_) {
        tile_ = cr_->header.rect_size;
        std::copy(std::begin(cr_->level_w), std::end(cr_->level_w), level_w_.begin());
        std::copy(std::begin(cr_->level_h), std::end(cr_->level_h), level_h_.begin());
        while (table_levels_ < R64_LEVELS && cr_check_level(cr_, table_levels_) != 0) {
            ++table_levels_;
        }
    } else {
        type_ = r64_->header.type;
        std::copy(std::begin(r64_->level_w), std::end(r64_->level_w), level_w_.begin());
        std::copy(std::begin(r64_->level_h), std::end(r64_->level_h), level_h_.begin());
        table_levels_ = table_levels(r64_);
    }
    // A header whose sides read as negative (above 32767) describes no image.
    const bool sane = level_w_[0] > 0 && level_h_[0] > 0;
    if (sane && is_cr_) {
        decoder_ = cr_open_decoder(cr_, 0);
    }
    if (!sane || (is_cr_ && decoder_ == nullptr)) {
        const int code = sane ? r64_error : R64_ERR_FORMAT;
        if (cr_ != nullptr) {
            cr_close_file(cr_);
        }
        if (r64_ != nullptr) {
            r64_close_file(r64_);
        }
        cr_ = nullptr;
        r64_ = nullptr;
        fail_library(path, sane ? "cannot decode" : "has no valid size", code, 0);
    }
    if (writable && is_cr_) {
        cr_close_decoder(decoder_);
        cr_close_file(cr_);
        decoder_ = nullptr;
        cr_ = nullptr;
        fail(ErrorKind::Argument, R64_ERR_CTL,
             path + ": cr files open read-only; write an r64 file and convert it with to_cr");
    }
    levels_ = count_levels();
}

Image::~Image() {
    HeldCall lock(library_mutex());
    if (decoder_ != nullptr) {
        cr_close_decoder(decoder_);
    }
    if (cr_ != nullptr) {
        cr_close_file(cr_);
    }
    if (r64_ != nullptr) {
        r64_close_file(r64_);
    }
}

int Image::count_levels() const {
    int n = 0;
    if (cr_ != nullptr) {
        n = table_levels_;
    } else if (r64_ != nullptr) {
        while (n < table_levels_ && r64_check_level(r64_, n) != 0) {
            ++n;
        }
    }
    return n;
}

void Image::require_open() const {
    if (r64_ == nullptr && cr_ == nullptr) {
        fail(ErrorKind::Argument, R64_ERR_CTL, path_ + ": the file is closed");
    }
}

bool Image::closed() const {
    return closed_.load();
}

void Image::close() {
    UnlockedCall call;
    closed_ = true;
    if (decoder_ != nullptr) {
        cr_close_decoder(decoder_);
        decoder_ = nullptr;
    }
    if (cr_ != nullptr) {
        cr_close_file(cr_);
        cr_ = nullptr;
    }
    if (r64_ != nullptr) {
        errno = 0;
        const int rc = r64_close_file(r64_);
        r64_ = nullptr;
        if (rc != 0) {
            fail_library(path_, "cannot write the last tiles", r64_error, errno);
        }
    }
}

std::pair<int, int> Image::level_size(int level) const {
    if (level < 0 || level >= table_levels_) {
        fail(ErrorKind::Argument, R64_ERR_LEVEL,
             path_ + ": no level " + std::to_string(level) + " (the image has " +
                 levels_text(table_levels_) + ") [r64_error -9]");
    }
    return {level_w_[level], level_h_[level]};
}

py::array Image::read(int level, long long x, long long y, std::optional<long long> width,
                      std::optional<long long> height, const py::object &out) {
    const auto [lw, lh] = level_size(level);
    const long long w = width.value_or(lw - x);
    const long long h = height.value_or(lh - y);
    const std::string region = std::to_string(w) + " x " + std::to_string(h) + " at (" +
                               std::to_string(x) + ", " + std::to_string(y) + ")";
    if (w <= 0 || h <= 0) {
        fail(ErrorKind::Argument, R64_ERR_RANGE,
             path_ + ": the region " + region + " is empty [r64_error -7]");
    }
    if (x >= lw || y >= lh || x + w <= 0 || y + h <= 0 || x < INT32_MIN || y < INT32_MIN ||
        x + w > INT32_MAX || y + h > INT32_MAX) {
        fail(ErrorKind::Argument, R64_ERR_RANGE,
             path_ + ": the region " + region + " lies outside level " + std::to_string(level) +
                 " (" + std::to_string(lw) + " x " + std::to_string(lh) + ") [r64_error -7]");
    }
    const char type = is_cr_ ? 'P' : type_;
    py::array result;
    std::size_t stride = 0;
    if (out.is_none()) {
        result = new_region_array(type, static_cast<int>(w), static_cast<int>(h));
        stride = static_cast<std::size_t>(result.strides(0));
    } else {
        if (!py::isinstance<py::array>(out)) {
            fail(ErrorKind::Array, R64_ERR_FORMAT, "out must be a numpy array");
        }
        result = py::reinterpret_borrow<py::array>(out);
        stride = check_out_array(result, type, static_cast<int>(w), static_cast<int>(h));
    }
    auto *dst = static_cast<unsigned char *>(result.mutable_data());
    {
        UnlockedCall call;
        require_open();
        const int present = count_levels();
        if (level >= present) {
            // The level belongs to the image, but the file is cut short before its end
            // or the levels were never built.
            fail(ErrorKind::Data, R64_ERR_SHORT,
                 path_ + ": level " + std::to_string(level) +
                     " is incomplete in the file (it holds " + levels_text(present) +
                     ") [r64_error -4]");
        }
        if (is_cr_) {
            read_cr(dst, stride, level, static_cast<int>(x), static_cast<int>(y),
                    static_cast<int>(w), static_cast<int>(h));
        } else {
            read_r64(dst, stride, level, static_cast<int>(x), static_cast<int>(y),
                     static_cast<int>(w), static_cast<int>(h));
        }
    }
    return result;
}

void Image::read_r64(unsigned char *dst, std::size_t stride, int level, int x, int y, int w,
                     int h) {
    errno = 0;
    if (r64_read_block(dst, stride, r64_, x, y, w, h, level) != 0) {
        fail_library(path_, "cannot read level " + std::to_string(level), r64_error, errno);
    }
    if (type_ == 'B') {
        // The library gives 0x00 or 0xFF a pixel; numpy's bool holds 0 or 1.
        for (int r = 0; r < h; ++r) {
            unsigned char *row = dst + static_cast<std::size_t>(r) * stride;
            for (int c = 0; c < w; ++c) {
                row[c] = row[c] != 0 ? 1 : 0;
            }
        }
    }
}

void Image::read_cr(unsigned char *dst, std::size_t stride, int level, int x, int y, int w, int h) {
    const int lw = level_w_[level];
    const int lh = level_h_[level];
    // The part of the region inside the level; read() made sure it is not empty.
    const int ix0 = std::max(x, 0);
    const int iy0 = std::max(y, 0);
    const int ix1 = static_cast<int>(std::min<long long>(static_cast<long long>(x) + w, lw));
    const int iy1 = static_cast<int>(std::min<long long>(static_cast<long long>(y) + h, lh));
    const int rect = tile_;
    auto at = [&](int col, int row) {
        return dst + static_cast<std::size_t>(row - y) * stride +
               static_cast<std::size_t>(col - x) * 3;
    };
    for (int ty = iy0 - iy0 % rect; ty < iy1; ty += rect) {
        for (int tx = ix0 - ix0 % rect; tx < ix1; tx += rect) {
            int tw = 0;
            int th = 0;
            errno = 0;
            MallocPixels tile(cr_decode_tile(&tw, &th, decoder_, tx, ty, level));
            if (!tile) {
                fail_library(path_,
                             "cannot decode the tile at (" + std::to_string(tx) + ", " +
                                 std::to_string(ty) + ") of level " + std::to_string(level),
                             r64_error, errno);
            }
            if (tw != std::min(rect, lw - tx) || th != std::min(rect, lh - ty)) {
                fail(ErrorKind::Data, R64_ERR_FORMAT,
                     path_ + ": the tile at (" + std::to_string(tx) + ", " + std::to_string(ty) +
                         ") of level " + std::to_string(level) +
                         " decodes to the wrong size [r64_error -5]");
            }
            const int c0 = std::max(ix0, tx);
            const int c1 = std::min(ix1, tx + tw);
            for (int row = std::max(iy0, ty); row < std::min(iy1, ty + th); ++row) {
                const unsigned char *s =
                    tile.get() + (static_cast<std::size_t>(row - ty) * tw + (c0 - tx)) * 4;
                unsigned char *d = at(c0, row);
                for (int c = c0; c < c1; ++c, s += 4, d += 3) {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                }
            }
        }
    }
    // Outside the level, the nearest edge pixel, as r64_red gives it for an r64 file.
    for (int row = iy0; row < iy1; ++row) {
        for (int c = x; c < ix0; ++c) {
            std::memcpy(at(c, row), at(ix0, row), 3);
        }
        for (int c = ix1; c < x + w; ++c) {
            std::memcpy(at(c, row), at(ix1 - 1, row), 3);
        }
    }
    const std::size_t row_bytes = static_cast<std::size_t>(w) * 3;
    for (int row = y; row < iy0; ++row) {
        std::memcpy(at(x, row), at(x, iy0), row_bytes);
    }
    for (int row = iy1; row < y + h; ++row) {
        std::memcpy(at(x, row), at(x, iy1 - 1), row_bytes);
    }
}

void Image::write(const py::array &pixels, int level, long long x, long long y) {
    if (is_cr_ || mode_ != "r+") {
        fail(ErrorKind::Argument, R64_ERR_CTL,
             path_ + ": opened read-only; open an r64 file with mode 'r+' to write");
    }
    const PixelRows rows = pixel_rows(pixels, type_);
    const auto [lw, lh] = level_size(level);
    if (x < 0 || y < 0 || x + rows.width > lw || y + rows.height > lh || rows.width == 0 ||
        rows.height == 0) {
        fail(ErrorKind::Argument, R64_ERR_RANGE,
             path_ + ": a region of " + std::to_string(rows.width) + " x " +
                 std::to_string(rows.height) + " at (" + std::to_string(x) + ", " +
                 std::to_string(y) + ") does not lie inside level " + std::to_string(level) + " (" +
                 std::to_string(lw) + " x " + std::to_string(lh) + ") [r64_error -7]");
    }
    UnlockedCall call;
    require_open();
    errno = 0;
    if (r64_write_block(r64_, static_cast<int>(x), static_cast<int>(y), rows.width, rows.height,
                        level, rows.data, rows.stride) != 0) {
        fail_library(path_, "cannot write level " + std::to_string(level), r64_error, errno);
    }
}

void Image::flush() {
    UnlockedCall call;
    require_open();
    if (r64_ != nullptr) {
        errno = 0;
        if (r64_flush(r64_) != 0) {
            fail_library(path_, "cannot write the changed tiles", r64_error, errno);
        }
        levels_ = count_levels();
    }
}

void Image::build_levels(const std::string &filter_name) {
    const Filter filter = parse_filter(filter_name);
    if (is_cr_ || mode_ != "r+") {
        fail(ErrorKind::Argument, R64_ERR_CTL,
             path_ + ": opened read-only; open an r64 file with mode 'r+' to build levels");
    }
    UnlockedCall call;
    require_open();
    try {
        build_levels_of(r64_, filter, path_);
    } catch (...) {
        levels_ = count_levels();
        throw;
    }
    levels_ = count_levels();
}

} // namespace r64py
