// export: one level of an r64 file (read band by band with r64_read_block) or of a cr
// file (decoded tile by tile, each from the reconstructed level above) as a PNG.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "handles.h"
#include "png_sink.h"
#include "target_file.h"

namespace r64tool {

const char kExportHelp[] =
    "usage: r64tool export FILE OUT.png [--level N] [--depth 1|8]\n"
    "\n"
    "Writes one level of an r64 or cr file as a PNG picture: an r64 file of type G as\n"
    "8-bit grey, of type B as 1-bit grey (8-bit with --depth 8), of type P as RGB; a cr\n"
    "file as RGB, every tile decoded from the reconstructed level above it.\n"
    "\n"
    "  --level N    the level to write, 0 (full size, default) and up\n"
    "  --depth 1|8  bits a pixel for an r64 file of type B (default 1)\n"
    "\n"
    "The picture is written under a temporary name beside OUT.png and renamed when\n"
    "complete.\n";

namespace {

std::string level_missing(int level, int levels) {
    return "has no level " + std::to_string(level) + " (it holds " + std::to_string(levels) +
           (levels == 1 ? " level)" : " levels)");
}

void export_r64(R64_FILE *f, const std::string &src, int level, int depth, TargetFile &out) {
    int present = 0;
    while (r64_check_level(f, present) != 0) {
        ++present;
    }
    if (r64_check_level(f, level) == 0) {
        fail(src, level_missing(level, present));
    }
    const char type = f->header.type;
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    const PngSink::Kind kind = type == 'P'                 ? PngSink::Kind::Rgb
                               : type == 'B' && depth == 1 ? PngSink::Kind::Grey1
                                                           : PngSink::Kind::Grey8;
    PngSink sink(out.temp_path(), w, h, kind);
    const std::size_t stride = static_cast<std::size_t>(w) * (type == 'P' ? 3 : 1);
    std::vector<unsigned char> band(stride * R64_TILE);
    for (int y = 0; y < h; y += R64_TILE) {
        const int n = std::min(R64_TILE, h - y);
        errno = 0;
        if (r64_read_block(band.data(), stride, f, 0, y, w, n, level) != 0) {
            fail_lib(src, "cannot read level " + std::to_string(level));
        }
        sink.write_rows(band.data(), stride, n);
    }
    sink.finish();
}

void export_cr(CR_FILE *f, const std::string &src, int level, TargetFile &out) {
    const int levels = cr_levels(f);
    if (cr_check_level(f, level) == 0) {
        fail(src, level_missing(level, levels));
    }
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    const int rect = f->header.rect_size;
    DecoderPtr dec(cr_open_decoder(f, 0));
    if (!dec) {
        fail_lib(src, "cannot decode");
    }
    PngSink sink(out.temp_path(), w, h, PngSink::Kind::Rgb);
    const std::size_t stride = static_cast<std::size_t>(w) * 3;
    std::vector<unsigned char> band(stride * static_cast<std::size_t>(rect));
    for (int y0 = 0; y0 < h; y0 += rect) {
        const int rows = std::min(rect, h - y0);
        for (int x0 = 0; x0 < w; x0 += rect) {
            int tw = 0;
            int th = 0;
            errno = 0;
            MallocPtr tile(cr_decode_tile(&tw, &th, dec.get(), x0, y0, level));
            if (!tile) {
                fail_lib(src, "cannot decode tile (" + std::to_string(x0) + ", " +
                                  std::to_string(y0) + ") of level " + std::to_string(level));
            }
            if (tw != std::min(rect, w - x0) || th != rows) {
                fail(src, "tile (" + std::to_string(x0) + ", " + std::to_string(y0) +
                              ") decodes to the wrong size");
            }
            for (int r = 0; r < th; ++r) {
                const unsigned char *s = tile.get() + static_cast<std::size_t>(r) * tw * 4;
                unsigned char *d = band.data() + static_cast<std::size_t>(r) * stride +
                                   static_cast<std::size_t>(x0) * 3;
                for (int c = 0; c < tw; ++c) {
                    d[3 * c] = s[4 * c];
                    d[3 * c + 1] = s[4 * c + 1];
                    d[3 * c + 2] = s[4 * c + 2];
                }
            }
        }
        sink.write_rows(band.data(), stride, rows);
    }
    sink.finish();
}

} // namespace

int cmd_export(int argc, char **argv) {
    Args args(argc, argv, {"--level", "--depth"}, {});
    if (args.help_asked()) {
        std::fputs(kExportHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 2) {
        fail("", "expects an r64 or cr file and a PNG file name (see --help)");
    }
    const std::string &src = args.positional()[0];
    const std::string &dst = args.positional()[1];
    const int level = args.int_value("--level", 0, 0, R64_LEVELS - 1);
    const int depth = args.int_value("--depth", 1, 1, 8);
    if (depth != 1 && depth != 8) {
        fail("--depth", "expects 1 or 8");
    }
    AnyFile in = open_any(src);
    TargetFile out(dst);
    int w = 0;
    int h = 0;
    if (in.r64) {
        export_r64(in.r64.get(), src, level, depth, out);
        w = in.r64->level_w[level];
        h = in.r64->level_h[level];
    } else {
        export_cr(in.cr.get(), src, level, out);
        w = in.cr->level_w[level];
        h = in.cr->level_h[level];
    }
    out.commit();
    std::printf("%s: level %d of %s, %d x %d\n", dst.c_str(), level, src.c_str(), w, h);
    return 0;
}

} // namespace r64tool
