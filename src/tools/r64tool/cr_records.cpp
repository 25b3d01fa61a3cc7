// Reads a level's tile records in one request through the file-request layer and
// judges them; the records' data are not read here.
#include "cr_records.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace r64tool {

std::vector<TileRecord> level_records(CR_FILE *f, int level) {
    const int rect = f->header.rect_size;
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    const int across = (w + rect - 1) / rect;
    const int down = (h + rect - 1) / rect;
    const auto count = static_cast<std::size_t>(across) * static_cast<std::size_t>(down);
    std::vector<CR_TBL> raw(count);
    int got = 0;
    const int64_t start = 16 + 12 * static_cast<int64_t>(f->level_entry[level]);
    if (u_lseek64(f->fd, start, SEEK_SET) == start) {
        got = u_read(f->fd, raw.data(), static_cast<int>(count * sizeof(CR_TBL)));
    }
    const std::size_t whole = got > 0 ? static_cast<std::size_t>(got) / sizeof(CR_TBL) : 0;
    std::vector<TileRecord> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        TileRecord t{};
        t.x0 = static_cast<int>(i % across) * rect;
        t.y0 = static_cast<int>(i / across) * rect;
        t.w = std::min(rect, w - t.x0);
        t.h = std::min(rect, h - t.y0);
        t.in_file = i < whole;
        if (t.in_file) {
            t.rec = raw[i];
            change_endian_cr_tbl(&t.rec);
        }
        out.push_back(t);
    }
    return out;
}

RecordCheck check_record(const TileRecord &t, int64_t file_len, uint32_t data_start) {
    if (!t.in_file) {
        return {RecordState::Damaged, "its record lies beyond the end of the file"};
    }
    const CR_TBL &r = t.rec;
    if (r.ofs == 0 || r.size == 0) {
        return {RecordState::Unwritten, ""};
    }
    if (r.type != 'n' && r.type != 'j') {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned char>(r.type));
        return {RecordState::Damaged, std::string("unknown compression type ") + hex};
    }
    if (r.size < 0 || r.ofs < data_start || static_cast<int64_t>(r.ofs) >= file_len) {
        return {RecordState::Damaged, "record outside the file (offset " + std::to_string(r.ofs) +
                                          ", " + std::to_string(r.size) + " bytes)"};
    }
    if (static_cast<int64_t>(r.ofs) + r.size > file_len) {
        return {RecordState::Damaged, "data cut short (" + std::to_string(file_len - r.ofs) +
                                          " of " + std::to_string(r.size) + " bytes in the file)"};
    }
    return {r.type == 'n' ? RecordState::Stored : RecordState::Jpeg, ""};
}

} // namespace r64tool
