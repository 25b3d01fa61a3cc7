// Recognises a picture's format from its first bytes and hands it to its reader.
#include "image_source.h"

#include <cerrno>
#include <cstring>

#include "cli.h"

namespace r64tool {

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
    fail(path, "not a PNG, JPEG or PNM (PBM, PGM, PPM) picture");
}

} // namespace r64tool
