// import: a picture into a new r64 file, or a cr file. The picture is read and
// converted on a thread of its own (band_reader.h); this thread hands its bands of
// level 0 to the library's streaming pyramid writer, which makes every reduced level as
// the rows arrive. A cr target gets its pyramid in a temporary r64 file beside it (not
// synced, removed at the end, on failure and on a signal) converted by
// cr_write_file_threads. The file is synced and renamed into place once complete.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "band_reader.h"
#include "cli.h"
#include "commands.h"
#include "handles.h"
#include "image_source.h"
#include "progress.h"
#include "target_file.h"

namespace r64tool {

const char kImportHelp[] =
    "usage: r64tool import PICTURE FILE.r64|FILE.cr [--type P|G|B]\n"
    "                      [--filter average|fourier] [--threshold N]\n"
    "                      [--background RRGGBB] [--format r64|cr] [--tile N]\n"
    "                      [--threads N] [--quiet]\n"
    "\n"
    "Reads a PNG (any colour type and bit depth, palette, transparency), JPEG (grey or\n"
    "colour), TIFF (striped or tiled, 1 to 16 bits, grey, RGB, palette, alpha, BigTIFF,\n"
    "and what else libtiff turns into RGBA) or PNM picture (PBM, PGM, PPM, raw or plain)\n"
    "and writes it as level 0 of a new r64 file, every reduced level made as the rows\n"
    "arrive. The picture is decoded on a second thread.\n"
    "\n"
    "  --type P|G|B        pixel type: P 24-bit colour, G 8-bit grey, B 1-bit.\n"
    "                      Default: P for a colour picture, G for a grey one.\n"
    "  --filter average|fourier\n"
    "                      how reduced levels are made: 2x2 mean (default) or a\n"
    "                      windowed Fourier low-pass filter\n"
    "  --threshold N       for B: grey values from N up become white (0 to 256,\n"
    "                      default 128)\n"
    "  --background RRGGBB colour that transparent pixels are laid over, in hex\n"
    "                      (default ffffff, white)\n"
    "  --format r64|cr     the file's format (default: cr when its name ends in .cr,\n"
    "                      r64 otherwise)\n"
    "  --tile N            cr: tile edge in pixels, 1 to 256 (default 256)\n"
    "  --threads N         cr: threads that encode and decode tiles, 1 to 64\n"
    "                      (default: the number of processors)\n"
    "  --quiet, -q         print nothing but errors (no result line)\n"
    "\n"
    "A progress bar is drawn on standard error when it is a terminal; the result line\n"
    "goes to standard output.\n"
    "Pictures wider or taller than 32767 pixels, or narrower or shorter than 3, are\n"
    "refused before anything is written. The file is written under a temporary name\n"
    "beside FILE.r64 and renamed when complete; a cr file is made from a temporary\n"
    "r64 file beside it, removed at the end.\n";

namespace {

// A streaming writer ended (and released) whatever happens; r64_end_pyramid's own
// result is taken by releasing the pointer first.
struct PyramidEnder {
    void operator()(R64_PYRAMID *p) const { r64_end_pyramid(p); }
};
using PyramidPtr = std::unique_ptr<R64_PYRAMID, PyramidEnder>;

Rgb parse_background(const std::string &s) {
    std::string hex = !s.empty() && s[0] == '#' ? s.substr(1) : s;
    unsigned v = 0;
    bool ok = hex.size() == 6;
    for (char c : hex) {
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            v |= static_cast<unsigned>(c - 'A' + 10);
        } else {
            ok = false;
        }
    }
    if (!ok) {
        fail("--background", "expects six hex digits RRGGBB, not '" + s + "'");
    }
    return {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v)};
}

} // namespace

int cmd_import(int argc, char **argv) {
    Args args(
        argc, argv,
        {"--type", "--filter", "--threshold", "--background", "--format", "--tile", "--threads"},
        {});
    if (args.help_asked()) {
        std::fputs(kImportHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 2) {
        fail("", "expects a picture and an r64 or cr file name (see --help)");
    }
    const std::string &src = args.positional()[0];
    const std::string &dst = args.positional()[1];
    const std::string type_arg = args.value("--type").value_or("");
    if (!type_arg.empty() && type_arg != "P" && type_arg != "G" && type_arg != "B") {
        fail("--type", "expects P, G or B, not '" + type_arg + "'");
    }
    const std::string filter = args.value("--filter").value_or("average");
    if (filter != "average" && filter != "fourier") {
        fail("--filter", "expects average or fourier, not '" + filter + "'");
    }
    const int threshold = args.int_value("--threshold", 128, 0, 256);
    const Rgb background = parse_background(args.value("--background").value_or("ffffff"));
    const bool ends_cr = dst.size() > 3 && dst.compare(dst.size() - 3, 3, ".cr") == 0;
    const std::string format = args.value("--format").value_or(ends_cr ? "cr" : "r64");
    if (format != "r64" && format != "cr") {
        fail("--format", "expects r64 or cr, not '" + format + "'");
    }
    const int tile = args.int_value("--tile", 256, 1, 256);
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    const int threads = args.int_value("--threads", std::clamp(cores, 1, 64), 1, 64);

    auto picture = open_image(src, background);
    const int w = picture->width();
    const int h = picture->height();
    check_side_limits(src, w, h);
    if (w < 3 || h < 3) {
        fail(src, "is " + std::to_string(w) + " x " + std::to_string(h) +
                      " pixels; an r64 image needs at least 3 pixels a side");
    }
    const char type = !type_arg.empty() ? type_arg[0] : (picture->colour() ? 'P' : 'G');
    const std::string kind = picture->kind();

    // For cr, the pyramid's file is a temporary one that is never committed.
    TargetFile out(dst);
    std::optional<TargetFile> cr_out;
    if (format == "cr") {
        cr_out.emplace(dst);
    }
    library_init();
    errno = 0;
    R64Ptr f(r64_open_file(out.temp_path().c_str(), O_RDWR, 0644, type, w, h));
    if (!f) {
        fail_lib(dst, "cannot create the r64 file");
    }
    if (cr_out) { // never synced: its bands need not go to the disk at all
        r64_ctl(f.get(), R64_CTL_WRITE_BACK, 0);
    }

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    {
        // Declared in this order so that a failure ends the pyramid, then stops the
        // reader, then closes the bar.
        LibraryProgress progress(dst, w, 0);
        BandReader bands(std::move(picture), type, threshold, R64_TILE);
        errno = 0;
        PyramidPtr pyramid(r64_begin_pyramid(f.get(), filter == "fourier" ? R64_FILTER_FOURIER
                                                                          : R64_FILTER_AVERAGE));
        if (!pyramid) {
            fail_lib(dst, "cannot start writing the pyramid");
        }
        const std::size_t stride = static_cast<std::size_t>(w) * (type == 'P' ? 3 : 1);
        for (auto band = bands.next(); band.rows != nullptr; band = bands.next()) {
            errno = 0;
            if (r64_write_rows(pyramid.get(), band.rows, stride, band.count) != 0) {
                fail_lib(dst, "cannot write the pyramid");
            }
        }
        errno = 0;
        if (r64_end_pyramid(pyramid.release()) != 0) {
            fail_lib(dst, "cannot complete the pyramid");
        }
    }
    const int levels = r64_table_levels(f.get());
    for (int level = 0; level < levels; ++level) {
        if (r64_check_level(f.get(), level) == 0) {
            fail(dst, "level " + std::to_string(level) + " is incomplete after writing it");
        }
    }
    errno = 0;
    if (r64_close_file(f.release()) != 0) {
        fail_lib(dst, "cannot write the last tiles");
    }
    if (cr_out) {
        R64Ptr pyramid = open_r64(out.temp_path());
        int rc = 0;
        {
            LibraryProgress progress(dst, 0, type == 'P' ? 3 : 1);
            errno = 0;
            rc = cr_write_file_threads(cr_out->temp_path().c_str(), 0644, tile, pyramid.get(),
                                       threads);
        }
        std::fflush(stdout);
        if (rc != 0) {
            fail_lib(dst, "cannot convert the pyramid to cr");
        }
        pyramid.reset();
        cr_out->commit();
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        if (!quiet()) {
            std::printf("%s: cr, tile %d, %d x %d, %d levels, from %s %s (%.2f s)\n", dst.c_str(),
                        tile, w, h, levels, kind.c_str(), src.c_str(), seconds);
        }
        return 0; // out, the temporary r64 file, goes with its object
    }
    out.commit();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (!quiet()) {
        std::printf("%s: r64 type %c, %d x %d, %d levels, from %s %s (%.2f s)\n", dst.c_str(), type,
                    w, h, levels, kind.c_str(), src.c_str(), seconds);
    }
    return 0;
}

} // namespace r64tool
