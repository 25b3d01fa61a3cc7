// info: the per-level table of an r64 file (size, tiles, byte range, complete) or of a
// cr file (size, tiles, records by kind, bytes, calibration range), as text or JSON.
#include <algorithm>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "commands.h"
#include "cr_records.h"
#include "handles.h"

namespace r64tool {

const char kInfoHelp[] =
    "usage: r64tool info FILE [--json]\n"
    "\n"
    "Lists the levels of an r64 or cr file. For r64: size, tiles, the byte range of\n"
    "the level's area and whether the file holds all of it. For cr: size, tiles, how\n"
    "many records are stored, JPEG, never written or damaged, the bytes of their data\n"
    "and the range of their calibration offsets.\n"
    "\n"
    "  --json   print the same as one JSON object\n";

namespace {

using Json = nlohmann::ordered_json;

// One line of JSON; a name that is not UTF-8 gets U+FFFD for its stray bytes.
void print_json(const Json &j) {
    std::printf("%s\n", j.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
}

int tiles_of(int w, int h, int edge) {
    return ((w + edge - 1) / edge) * ((h + edge - 1) / edge);
}

void info_r64(R64_FILE *f, const std::string &path, bool json) {
    const int levels = r64_table_levels(f);
    int complete = 0;
    while (complete < levels && r64_check_level(f, complete) != 0) {
        ++complete;
    }
    const int64_t length = file_length(f->fd);
    const char pf = f->header.type == 'P' ? 3 : 1;
    Json out = {{"file", path},
                {"format", "r64"},
                {"type", std::string(1, f->header.type)},
                {"width", f->header.width},
                {"height", f->header.height},
                {"bytes", length},
                {"levels", Json::array()}};
    if (!json) {
        std::printf("%s: r64, type %c, %d x %d, %d levels (%d complete), %lld bytes\n",
                    path.c_str(), f->header.type, f->header.width, f->header.height, levels,
                    complete, static_cast<long long>(length));
        std::printf("level  width  height   tiles       start         end  complete\n");
    }
    for (int l = 0; l < levels; ++l) {
        const int w = f->level_w[l];
        const int h = f->level_h[l];
        const uint32_t start = f->level_ofs[l];
        const uint32_t end =
            start + static_cast<uint32_t>(w) * static_cast<uint32_t>(h) * static_cast<uint32_t>(pf);
        const bool ok = r64_check_level(f, l) != 0;
        if (json) {
            out["levels"].push_back({{"level", l},
                                     {"width", w},
                                     {"height", h},
                                     {"tiles", tiles_of(w, h, R64_TILE)},
                                     {"start", start},
                                     {"end", end},
                                     {"complete", ok}});
        } else {
            std::printf("%5d  %5d  %6d  %6d  %10u  %10u  %s\n", l, w, h, tiles_of(w, h, R64_TILE),
                        start, end, ok ? "yes" : "no");
        }
    }
    if (json) {
        print_json(out);
    }
}

void info_cr(CR_FILE *f, const std::string &path, bool json) {
    const int levels = cr_levels(f);
    const int64_t length = file_length(f->fd);
    const int rect = f->header.rect_size;
    Json out = {{"file", path},
                {"format", "cr"},
                {"tile", rect},
                {"width", f->header.h.width},
                {"height", f->header.h.height},
                {"bytes", length},
                {"levels", Json::array()}};
    if (!json) {
        std::printf("%s: cr, tile %d, %d x %d, %d levels, %lld bytes\n", path.c_str(), rect,
                    f->header.h.width, f->header.h.height, levels, static_cast<long long>(length));
        std::printf("level  width  height   tiles  stored    jpeg  never written  damaged"
                    "        bytes  calibration\n");
    }
    for (int l = 0; l < levels; ++l) {
        long long counts[4] = {0, 0, 0, 0};
        long long bytes = 0;
        int cal_min = 128;
        int cal_max = -129;
        LevelRecords records(f, l, length);
        const int64_t listed = records.for_each([&](const TileRecord &t) {
            const RecordCheck c = check_record(t, length, data_area_start(f));
            ++counts[static_cast<int>(c.state)];
            if (c.state == RecordState::Stored || c.state == RecordState::Jpeg) {
                bytes += t.rec.size;
                for (const unsigned char v : t.rec.cal) {
                    cal_min = std::min(cal_min, static_cast<int>(static_cast<signed char>(v)));
                    cal_max = std::max(cal_max, static_cast<int>(static_cast<signed char>(v)));
                }
            }
        });
        // Records past the end of the file are damaged without being read.
        counts[static_cast<int>(RecordState::Damaged)] += records.tiles() - listed;
        const long long tiles = records.tiles();
        const bool any = cal_max >= cal_min;
        const int w = f->level_w[l];
        const int h = f->level_h[l];
        if (json) {
            out["levels"].push_back({{"level", l},
                                     {"width", w},
                                     {"height", h},
                                     {"tiles", tiles},
                                     {"stored", counts[0]},
                                     {"jpeg", counts[1]},
                                     {"never_written", counts[2]},
                                     {"damaged", counts[3]},
                                     {"bytes", bytes},
                                     {"cal_min", any ? Json(cal_min) : Json()},
                                     {"cal_max", any ? Json(cal_max) : Json()}});
        } else {
            std::string cal = any ? std::to_string(cal_min) + ".." + std::to_string(cal_max) : "-";
            std::printf("%5d  %5d  %6d  %6lld  %6lld  %6lld  %13lld  %7lld  %11lld  %s\n", l, w, h,
                        tiles, counts[0], counts[1], counts[2], counts[3], bytes, cal.c_str());
        }
    }
    if (json) {
        print_json(out);
    }
}

} // namespace

int cmd_info(int argc, char **argv) {
    Args args(argc, argv, {}, {"--json"});
    if (args.help_asked()) {
        std::fputs(kInfoHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 1) {
        fail("", "expects one r64 or cr file (see --help)");
    }
    const std::string &path = args.positional()[0];
    AnyFile in = open_any(path);
    if (in.r64) {
        info_r64(in.r64.get(), path, args.has("--json"));
    } else {
        info_cr(in.cr.get(), path, args.has("--json"));
    }
    return 0;
}

} // namespace r64tool
