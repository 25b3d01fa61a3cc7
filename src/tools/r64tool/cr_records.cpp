// Reads a level's tile records a chunk at a time through the file-request layer and
// judges them; the records' data are not read here.
#include "cr_records.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace r64tool {

LevelRecords::LevelRecords(CR_FILE *f, int level, int64_t file_len)
    : f_(f), rect_(f->header.rect_size), w_(f->level_w[level]), h_(f->level_h[level]),
      across_((w_ + rect_ - 1) / rect_),
      start_(16 + static_cast<int64_t>(sizeof(CR_TBL)) * f->level_entry[level]),
      tiles_(static_cast<int64_t>(across_) * ((h_ + rect_ - 1) / rect_)) {
    // Only the records whose 12 bytes lie wholly in the file are read.
    const int64_t room = file_len > start_ ? (file_len - start_) / sizeof(CR_TBL) : 0;
    in_file_ = std::min(room, tiles_);
}

TileRecord LevelRecords::tile(int64_t i) const {
    TileRecord t{};
    t.x0 = static_cast<int>(i % across_) * rect_;
    t.y0 = static_cast<int>(i / across_) * rect_;
    t.w = std::min(rect_, w_ - t.x0);
    t.h = std::min(rect_, h_ - t.y0);
    return t;
}

int LevelRecords::read_chunk(int64_t first) {
    const auto n = static_cast<int>(std::min<int64_t>(kChunk, in_file_ - first));
    const int64_t at = start_ + first * static_cast<int64_t>(sizeof(CR_TBL));
    if (n <= 0 || u_lseek64(f_->fd, at, SEEK_SET) != at) {
        return 0;
    }
    const int got = u_read(f_->fd, chunk_, n * static_cast<int>(sizeof(CR_TBL)));
    return got > 0 ? got / static_cast<int>(sizeof(CR_TBL)) : 0;
}

RecordCheck check_record(const TileRecord &t, int64_t file_len, int64_t data_start) {
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
