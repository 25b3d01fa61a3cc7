// r64_demo OUTDIR: makes sample files with the library in OUTDIR. Each r64 sample is a
// generated picture (a colour gradient with a few shapes) written as level 0 of one
// pixel type, followed by its whole pyramid (averaged or Fourier-filtered); each cr
// sample converts one of them. scripts/demo.sh reports every file with r64info.
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <vector>

#include "r64/r64.h"

namespace {

constexpr int kNew = O_RDWR | O_CREAT | O_TRUNC;

enum class Filter { average, fourier };

struct R64Sample {
    const char *name;
    char type;
    int width;
    int height;
    Filter filter;
};

constexpr R64Sample kR64Samples[] = {
    {"colour.r64", 'P', 1000, 750, Filter::average},
    {"grey.r64", 'G', 640, 480, Filter::average},
    {"bitmap.r64", 'B', 1020, 700, Filter::average},
    {"colour-fourier.r64", 'P', 640, 480, Filter::fourier},
};

struct CrSample {
    const char *name;
    const char *source; // one of the r64 samples
    int rect_size;
};

constexpr CrSample kCrSamples[] = {
    {"colour.cr", "colour.r64", 256},
    {"grey-64.cr", "grey.r64", 64},
};

bool report_failure(const std::string &path, const char *what) {
    fprintf(stderr, "r64_demo: %s: %s failed (r64_error %i)\n", path.c_str(), what, r64_error);
    return false;
}

// The picture at (x, y) of a w x h image: a diagonal colour gradient, a disc, a
// rectangle and a thin ring, so that every level shows something recognisable.
void picture_pixel(int x, int y, int w, int h, unsigned char rgb[3]) {
    const double u = static_cast<double>(x) / w;
    const double v = static_cast<double>(y) / h;
    double r = 255 * u;
    double g = 255 * v;
    double b = 255 * (1 - u) * (1 - v);
    const double dx = u - 0.3;
    const double dy = v - 0.4;
    const double d = std::sqrt(dx * dx + dy * dy);
    if (d < 0.18) {
        r = 250, g = 220, b = 40;
    } else if (std::fabs(d - 0.3) < 0.01) {
        r = g = b = 255;
    }
    if (u > 0.6 && u < 0.85 && v > 0.55 && v < 0.8) {
        r = 30, g = 60, b = 200;
    }
    rgb[0] = static_cast<unsigned char>(r);
    rgb[1] = static_cast<unsigned char>(g);
    rgb[2] = static_cast<unsigned char>(b);
}

// One row of the picture as the file's pixel type takes it: 3 bytes for 'P', the
// luminance for 'G', black or white for 'B'.
void picture_row(const R64Sample &s, int y, std::vector<unsigned char> &row) {
    const int bytes = s.type == 'P' ? 3 : 1;
    row.resize(static_cast<std::size_t>(s.width) * bytes);
    for (int x = 0; x < s.width; ++x) {
        unsigned char rgb[3];
        picture_pixel(x, y, s.width, s.height, rgb);
        unsigned char *px = &row[static_cast<std::size_t>(x) * bytes];
        if (s.type == 'P') {
            px[0] = rgb[0], px[1] = rgb[1], px[2] = rgb[2];
            continue;
        }
        const int luma = (299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2]) / 1000;
        px[0] = s.type == 'G' ? static_cast<unsigned char>(luma) : (luma >= 128 ? 0xFF : 0x00);
    }
}

// Level 0 from the picture, then every further level, flushing after each: a level
// counts as present only once all of its bytes are in the file.
bool make_r64(const std::string &dir, const R64Sample &s) {
    const std::string path = dir + "/" + s.name;
    R64_FILE *f = r64_open_file(path.c_str(), kNew, 0644, s.type, s.width, s.height);
    if (f == nullptr) {
        return report_failure(path, "create");
    }
    bool ok = true;
    std::vector<unsigned char> row;
    for (int y = 0; y < s.height && ok; ++y) {
        picture_row(s, y, row);
        ok = r64_write_block(f, 0, y, s.width, 1, 0, row.data(), row.size()) == 0 ||
             report_failure(path, "writing level 0");
    }
    ok = ok && (r64_flush(f) == 0 || report_failure(path, "flush"));
    for (int level = 0; ok && level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; ++level) {
        const int made =
            s.filter == Filter::average ? r64_new_level(f, level) : r64_new_level_hifi(f, level);
        ok = (made == 0 && r64_flush(f) == 0) || report_failure(path, "reducing a level");
    }
    return r64_close_file(f) == 0 ? ok : report_failure(path, "close");
}

bool make_cr(const std::string &dir, const CrSample &s) {
    const std::string source = dir + "/" + s.source;
    const std::string path = dir + "/" + s.name;
    R64_FILE *r64 = r64_open_file(source.c_str(), O_RDONLY, 0, 0, 0, 0);
    if (r64 == nullptr) {
        return report_failure(source, "open");
    }
    const bool ok = cr_write_file(path.c_str(), 0644, s.rect_size, r64) == 0 ||
                    report_failure(path, "conversion");
    r64_close_file(r64);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: r64_demo OUTDIR\n");
        return 2;
    }
    check_endian();
    r64_init();
    const std::string dir = argv[1];
    bool ok = true;
    for (const R64Sample &s : kR64Samples) {
        ok = make_r64(dir, s) && ok;
    }
    for (const CrSample &s : kCrSamples) {
        ok = make_cr(dir, s) && ok;
    }
    return ok ? 0 : 1;
}
