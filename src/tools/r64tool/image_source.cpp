// Recognises a picture's format from its first bytes and hands it to its reader; the
// RGB view of a reader's native rows and the size check every reader makes first.
#include "image_source.h"

#include <cerrno>
#include <cstring>

#include "cli.h"

namespace r64tool {

void check_side_limits(const std::string &path, std::int64_t width, std::int64_t height) {
    if (width > kMaxSide || height > kMaxSide) {
        fail(path, "is " + std::to_string(width) + " x " + std::to_string(height) +
                       " pixels; r64 files hold at most 32767 pixels a side");
    }
}

void grey_to_rgb_in_place(unsigned char *rows, std::size_t width, int n) {
    for (int i = 0; i < n; ++i) {
        unsigned char *row = rows + width * 3 * static_cast<std::size_t>(i);
        for (std::size_t x = width; x-- > 0;) {
            const unsigned char v = row[x];
            row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
        }
    }
}

void ImageSource::read_rows(unsigned char *rgb, int n) {
    if (channels_ == 3) {
        read_native(rgb, n);
        return;
    }
    // Grey rows are read at the start of each RGB row, then spread.
    const auto w = static_cast<std::size_t>(width_);
    for (int i = 0; i < n; ++i) {
        read_native(rgb + w * 3 * static_cast<std::size_t>(i), 1);
    }
    grey_to_rgb_in_place(rgb, w, n);
}

std::unique_ptr<ImageSource> open_image(const std::string &path, Rgb background) {
    std::FILE *fp = std::fopen(path.c_str(), "rb");
    if (fp == nullptr) {
        fail(path, std::string("cannot open: ") + std::strerror(errno));
    }
    FilePtr guard(fp);
    unsigned char magic[8] = {};
    const size_t n = std::fread(magic, 1, sizeof magic, fp);
    std::rewind(fp);
    static constexpr unsigned char kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (n == 8 && std::memcmp(magic, kPng, 8) == 0) {
        return open_png(path, guard.release(), background);
    }
    if (n >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
        return open_jpeg(path, guard.release());
    }
    if (n >= 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '6') {
        return open_pnm(path, guard.release());
    }
    // Little- or big-endian TIFF (42) or BigTIFF (43).
    if (n >= 4 && ((magic[0] == 'I' && magic[1] == 'I' && magic[3] == 0 &&
                    (magic[2] == 42 || magic[2] == 43)) ||
                   (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 &&
                    (magic[3] == 42 || magic[3] == 43)))) {
        return open_tiff(path, guard.release(), background);
    }
    fail(path, "not a PNG, JPEG, TIFF or PNM (PBM, PGM, PPM) picture");
}

} // namespace r64tool
