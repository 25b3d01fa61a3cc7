// import: a picture into a new r64 file. Level 0 is written band by band (64 rows, one
// row of tiles) with r64_write_block, flushed, and every further level is generated
// from the one above with the chosen filter and flushed before it serves as a source.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <vector>

#include "band_reader.h"
#include "cli.h"
#include "commands.h"
#include "handles.h"
#include "image_source.h"
#include "progress.h"
#include "target_file.h"

namespace r64tool {

const char kImportHelp[] =
    "usage: r64tool import PICTURE FILE.r64 [--type P|G|B] [--filter average|fourier]\n"
    "                      [--threshold N] [--background RRGGBB]\n"
    "\n"
    "Reads a PNG (any colour type and bit depth, palette, transparency), JPEG (grey or\n"
    "colour) or PNM picture (PBM, PGM, PPM, raw or plain) and writes it as level 0 of a\n"
    "new r64 file, then builds every reduced level.\n"
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
    "\n"
    "Pictures wider or taller than 32767 pixels, or narrower or shorter than 3, are\n"
    "refused before anything is written. The file is written under a temporary name\n"
    "beside FILE.r64 and renamed when complete.\n";

namespace {

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
    Args args(argc, argv, {"--type", "--filter", "--threshold", "--background"}, {});
    if (args.help_asked()) {
        std::fputs(kImportHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 2) {
        fail("", "expects a picture and an r64 file name (see --help)");
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

    TargetFile out(dst);
    library_init();
    errno = 0;
    R64Ptr f(r64_open_file(out.temp_path().c_str(), O_RDWR, 0644, type, w, h));
    if (!f) {
        fail_lib(dst, "cannot create the r64 file");
    }

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    // Level 0 band by band as the reader's thread delivers the bands.
    const int bpp = type == 'P' ? 3 : 1;
    {
        BandReader bands(std::move(picture), type, threshold, R64_TILE);
        ProgressBar bar("import " + dst, h, w);
        int y = 0;
        for (auto band = bands.next(); band.rows != nullptr; band = bands.next()) {
            errno = 0;
            if (r64_write_block(f.get(), 0, y, w, band.count, 0, band.rows,
                                static_cast<std::size_t>(w) * bpp) != 0) {
                fail_lib(dst, "cannot write level 0");
            }
            y += band.count;
            bar.update(y);
        }
    }
    errno = 0;
    if (r64_flush(f.get()) != 0) {
        fail_lib(dst, "cannot write level 0");
    }

    // The reduced levels, each flushed before it becomes the next source.
    const int levels = r64_table_levels(f.get());
    {
        LibraryProgress progress(dst, 0, 0);
        for (int level = 0; level + 1 < levels; ++level) {
            errno = 0;
            const int rc = filter == "fourier" ? r64_new_level_hifi(f.get(), level)
                                               : r64_new_level(f.get(), level);
            if (rc != 0) {
                fail_lib(dst, "cannot build level " + std::to_string(level + 1));
            }
            errno = 0;
            if (r64_flush(f.get()) != 0) {
                fail_lib(dst, "cannot write level " + std::to_string(level + 1));
            }
            if (r64_check_level(f.get(), level + 1) == 0) {
                fail(dst, "level " + std::to_string(level + 1) + " is incomplete after writing it");
            }
        }
    }
    errno = 0;
    if (r64_close_file(f.release()) != 0) {
        fail_lib(dst, "cannot write the last tiles");
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
