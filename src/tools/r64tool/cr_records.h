// The tile records of a cr file read straight from its table (without the tile data),
// and what each one says about its tile: stored, JPEG, never written, or damaged.
#ifndef R64TOOL_CR_RECORDS_H
#define R64TOOL_CR_RECORDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "r64/r64.h"

namespace r64tool {

struct TileRecord {
    int x0, y0;   // top-left pixel within the level
    int w, h;     // the tile's size within the level
    bool in_file; // false when the table ends before this record
    CR_TBL rec;   // host byte order
};

enum class RecordState { Stored, Jpeg, Unwritten, Damaged };

struct RecordCheck {
    RecordState state;
    std::string reason; // for Damaged
};

// The records of an existing level, row by row from the top.
std::vector<TileRecord> level_records(CR_FILE *f, int level);

// What a record says, judged against the file's length and the start of the data area.
RecordCheck check_record(const TileRecord &t, int64_t file_len, uint32_t data_start);

inline uint32_t data_area_start(const CR_FILE *f) {
    return 16u + 12u * f->header.cr_tbl_nos;
}

} // namespace r64tool

#endif
