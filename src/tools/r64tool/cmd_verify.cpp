// verify: reads every tile of every level and reports each damaged one, going on to
// the next; for a cr file with --against, the mean absolute error and PSNR of every
// level against the r64 file it was made from.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "cr_records.h"
#include "handles.h"

namespace r64tool {

const char kVerifyHelp[] =
    "usage: r64tool verify FILE [--against FILE.r64]\n"
    "\n"
    "Reads every tile of every level of an r64 or cr file and reports each damaged\n"
    "tile: for cr a record outside the file, data cut short, a tile never written or\n"
    "one whose data do not decode to its size. Exits with status 0 only when the file\n"
    "is whole.\n"
    "\n"
    "  --against FILE.r64  for a cr file: also print, per level, the mean absolute\n"
    "                      error and the PSNR of the decoded pixels against the r64\n"
    "                      file it was made from\n";

namespace {

struct Tally {
    long tiles = 0;
    long damaged = 0;
};

void report(Tally &t, int level, int x0, int y0, const std::string &why) {
    ++t.damaged;
    std::printf("damaged: level %d tile (%d, %d): %s\n", level, x0, y0, why.c_str());
}

std::string lib_reason() {
    return r64_error_words(r64_error) + " [r64_error " + std::to_string(r64_error) + "]";
}

// Where a tile's bytes lie in an r64 file: the level's area start, the bands above the
// tile (R bytes a pixel row, with a 'B' level's spare byte when a width is not a multiple
// of 8), then the whole tiles to its left in its band.
std::pair<int64_t, int64_t> r64_tile_range(const R64_FILE *f, int level, int x0, int y0, int tw,
                                           int th) {
    const int w = f->level_w[level];
    const char type = f->header.type;
    int64_t stride = w;
    int64_t tile_row = tw;
    int64_t full_row = R64_TILE;
    if (type == 'P') {
        stride = 3 * static_cast<int64_t>(w);
        tile_row = 3 * static_cast<int64_t>(tw);
        full_row = 3 * R64_TILE;
    } else if (type == 'B') {
        stride = (w % 8 != 0 || f->header.width % 8 != 0) ? (w >> 3) + 1 : w / 8;
        tile_row = (tw + 7) / 8;
        full_row = R64_TILE / 8;
    }
    const int64_t start = f->level_ofs[level] + static_cast<int64_t>(y0) * stride +
                          static_cast<int64_t>(x0 / R64_TILE) * th * full_row;
    return {start, start + th * tile_row};
}

// Why a tile could not be read: its place against the file's length when it lies
// (partly) beyond the end, else the library's reason.
std::string r64_tile_problem(const R64_FILE *f, int level, int x0, int y0, int tw, int th,
                             int64_t length) {
    const auto [start, end] = r64_tile_range(f, level, x0, y0, tw, th);
    if (start >= length) {
        return "the tile lies beyond the end of the file";
    }
    if (end > length) {
        return "data cut short (" + std::to_string(length - start) + " of " +
               std::to_string(end - start) + " bytes in the file)";
    }
    return lib_reason();
}

Tally verify_r64(R64_FILE *f) {
    Tally t;
    const int levels = r64_table_levels(f);
    const int64_t length = file_length(f->fd);
    std::vector<unsigned char> buf(static_cast<std::size_t>(R64_TILE) * R64_TILE * 3);
    for (int l = 0; l < levels; ++l) {
        const int w = f->level_w[l];
        const int h = f->level_h[l];
        for (int y0 = 0; y0 < h; y0 += R64_TILE) {
            for (int x0 = 0; x0 < w; x0 += R64_TILE) {
                ++t.tiles;
                const int tw = std::min(R64_TILE, w - x0);
                const int th = std::min(R64_TILE, h - y0);
                if (r64_read_block(buf.data(), R64_TILE * 3, f, x0, y0, tw, th, l) != 0) {
                    report(t, l, x0, y0, r64_tile_problem(f, l, x0, y0, tw, th, length));
                }
            }
        }
    }
    return t;
}

// Whether a tile's stored data decode, and to its own size.
std::string decode_problem(const CR_MEM_TBL &b, int w, int h) {
    int dw = 0;
    int dh = 0;
    MallocPtr px(b.type == 'n' ? none_uncompress(&dw, &dh, b.buf, static_cast<int>(b.size))
                               : jpeg_uncompress(&dw, &dh, b.buf, static_cast<int>(b.size)));
    if (!px) {
        return b.type == 'n' ? "stored data do not decode" : "JPEG data do not decode";
    }
    if (dw != w || dh != h) {
        return "decodes to " + std::to_string(dw) + " x " + std::to_string(dh) +
               " pixels instead of " + std::to_string(w) + " x " + std::to_string(h);
    }
    return "";
}

Tally verify_cr(CR_FILE *f) {
    Tally t;
    const int levels = cr_levels(f);
    const int64_t length = file_length(f->fd);
    for (int l = 0; l < levels; ++l) {
        LevelRecords records(f, l, length);
        const int64_t listed = records.for_each([&](const TileRecord &rec) {
            ++t.tiles;
            const RecordCheck c = check_record(rec, length, data_area_start(f));
            if (c.state == RecordState::Unwritten) {
                report(t, l, rec.x0, rec.y0, "never written");
                return;
            }
            if (c.state == RecordState::Damaged) {
                report(t, l, rec.x0, rec.y0, c.reason);
                return;
            }
            CR_MEM_TBL b{};
            errno = 0;
            if (cr_read(&b, f, rec.x0, rec.y0, l) != 0) {
                report(t, l, rec.x0, rec.y0, "cannot read: " + lib_reason());
                return;
            }
            const std::string problem = decode_problem(b, rec.w, rec.h);
            free_cr_mem_tbl(&b);
            if (!problem.empty()) {
                report(t, l, rec.x0, rec.y0, problem);
            }
        });
        // The rest of the level's table lies past the end of the file: one line for all.
        if (const int64_t rest = records.tiles() - listed; rest > 0) {
            const TileRecord first = records.tile(listed);
            t.tiles += rest;
            report(t, l, first.x0, first.y0,
                   rest == 1 ? std::string("its record lies beyond the end of the file")
                             : "its record and those of the level's " + std::to_string(rest - 1) +
                                   " tiles after it lie beyond the end of the file");
            t.damaged += rest - 1;
        }
    }
    return t;
}

// Mean absolute error and PSNR of each level of a cr file against its r64 source.
void compare(CR_FILE *cr, const std::string &cr_path, const std::string &r64_path) {
    R64Ptr src = open_r64(r64_path);
    if (src->header.width != cr->header.h.width || src->header.height != cr->header.h.height) {
        fail(r64_path, "is " + std::to_string(src->header.width) + " x " +
                           std::to_string(src->header.height) + ", " + cr_path + " is " +
                           std::to_string(cr->header.h.width) + " x " +
                           std::to_string(cr->header.h.height));
    }
    DecoderPtr dec(cr_open_decoder(cr, 0));
    if (!dec) {
        fail_lib(cr_path, "cannot decode");
    }
    const int bpp = src->header.type == 'P' ? 3 : 1;
    const int rect = cr->header.rect_size;
    std::vector<unsigned char> ref(static_cast<std::size_t>(rect) * rect * 3);
    std::printf("level  width  height        mae       psnr\n");
    const int levels = cr_levels(cr);
    for (int l = 0; l < levels; ++l) {
        if (r64_check_level(src.get(), l) == 0) {
            std::printf("%5d  not in %s\n", l, r64_path.c_str());
            continue;
        }
        const int w = cr->level_w[l];
        const int h = cr->level_h[l];
        unsigned long long abs_sum = 0;
        unsigned long long sq_sum = 0;
        unsigned long long samples = 0;
        long skipped = 0;
        for (int y0 = 0; y0 < h; y0 += rect) {
            for (int x0 = 0; x0 < w; x0 += rect) {
                int tw = 0;
                int th = 0;
                MallocPtr px(cr_decode_tile(&tw, &th, dec.get(), x0, y0, l));
                if (!px || tw != std::min(rect, w - x0) || th != std::min(rect, h - y0)) {
                    ++skipped;
                    continue;
                }
                const auto stride = static_cast<std::size_t>(tw) * bpp;
                if (r64_read_block(ref.data(), stride, src.get(), x0, y0, tw, th, l) != 0) {
                    fail_lib(r64_path, "cannot read level " + std::to_string(l));
                }
                for (std::size_t i = 0; i < static_cast<std::size_t>(tw) * th; ++i) {
                    for (int k = 0; k < 3; ++k) {
                        const int want = ref[i * bpp + (bpp == 3 ? k : 0)];
                        const int d = std::abs(px.get()[i * 4 + k] - want);
                        abs_sum += static_cast<unsigned>(d);
                        sq_sum += static_cast<unsigned>(d * d);
                    }
                }
                samples += static_cast<unsigned long long>(tw) * th * 3;
            }
        }
        if (samples == 0) {
            std::printf("%5d  %5d  %6d  no tile decodes\n", l, w, h);
            continue;
        }
        const double mae = static_cast<double>(abs_sum) / static_cast<double>(samples);
        const double mse = static_cast<double>(sq_sum) / static_cast<double>(samples);
        char psnr[32];
        if (sq_sum == 0) {
            std::snprintf(psnr, sizeof psnr, "inf");
        } else {
            std::snprintf(psnr, sizeof psnr, "%.2f dB", 10.0 * std::log10(255.0 * 255.0 / mse));
        }
        std::printf("%5d  %5d  %6d  %9.3f  %9s", l, w, h, mae, psnr);
        if (skipped != 0) {
            std::printf("  (%ld damaged tiles left out)", skipped);
        }
        std::printf("\n");
    }
}

} // namespace

int cmd_verify(int argc, char **argv) {
    Args args(argc, argv, {"--against"}, {});
    if (args.help_asked()) {
        std::fputs(kVerifyHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 1) {
        fail("", "expects one r64 or cr file (see --help)");
    }
    const std::string &path = args.positional()[0];
    const auto against = args.value("--against");
    AnyFile in = open_any(path);
    if (in.r64 && against) {
        fail(path, "is an r64 file; --against compares a cr file with its r64 source");
    }
    const Tally t = in.r64 ? verify_r64(in.r64.get()) : verify_cr(in.cr.get());
    std::printf("%s: %ld tiles read, %ld damaged\n", path.c_str(), t.tiles, t.damaged);
    if (against) {
        std::fflush(stdout);
        compare(in.cr.get(), path, *against);
    }
    if (t.damaged != 0) {
        fail(path, std::to_string(t.damaged) + " of " + std::to_string(t.tiles) +
                       " tiles damaged; the file is not whole");
    }
    return 0;
}

} // namespace r64tool
