// r64_demo OUTDIR: makes sample files with the library in OUTDIR, one r64 file of
// each pixel type and one cr file. Each sample is one entry of a table and one
// maker function, so further samples (pixels, pyramids, cr from r64) slot in beside.
#include <cstdio>
#include <fcntl.h>
#include <string>

#include "r64/r64.h"

namespace {

constexpr int kNew = O_RDWR | O_CREAT | O_TRUNC;

struct R64Sample {
    const char *name;
    char type;
    int width;
    int height;
};

constexpr R64Sample kR64Samples[] = {
    {"grey.r64", 'G', 640, 480},
    {"colour.r64", 'P', 1024, 768},
    {"bitmap.r64", 'B', 1000, 700},
};

struct CrSample {
    const char *name;
    int rect_size;
    int width;
    int height;
};

constexpr CrSample kCrSamples[] = {
    {"tiles.cr", 256, 1024, 768},
};

bool report_failure(const std::string &path) {
    fprintf(stderr, "r64_demo: cannot make %s (r64_error %i)\n", path.c_str(), r64_error);
    return false;
}

// A new r64 file: its header; no level is written yet.
bool make_r64(const std::string &dir, const R64Sample &s) {
    const std::string path = dir + "/" + s.name;
    R64_FILE *f = r64_open_file(path.c_str(), kNew, 0644, s.type, s.width, s.height);
    if (f == nullptr) {
        return report_failure(path);
    }
    return r64_close_file(f) == 0 || report_failure(path);
}

// A new cr file: its header and a table of records for tiles not yet written.
bool make_cr(const std::string &dir, const CrSample &s) {
    const std::string path = dir + "/" + s.name;
    CR_FILE *f = cr_open_file(path.c_str(), kNew, 0644, s.rect_size, s.width, s.height);
    if (f == nullptr) {
        return report_failure(path);
    }
    cr_close_file(f);
    return true;
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
