// The tile records of a cr file read straight from its table (without the tile data),
// a level at a time in fixed-size chunks, and what each one says about its tile: stored,
// JPEG, never written, or damaged. Relies on the level table of the open CR_FILE.
#ifndef R64TOOL_CR_RECORDS_H
#define R64TOOL_CR_RECORDS_H

#include <cstdint>
#include <string>

#include "r64/r64.h"

namespace r64tool {

struct TileRecord {
    int x0, y0;   // top-left pixel within the level
    int w, h;     // the tile's size within the level
    bool in_file; // false when the table ends before this record
    CR_TBL rec;   // host byte order
};

// The records of an existing level, row by row from the top. Memory stays at one chunk
// of records whatever the header claims; the part of the table past the end of the file
// is never read: those tiles are counted (tiles() - in_file()), not listed.
class LevelRecords {
  public:
    LevelRecords(CR_FILE *f, int level, int64_t file_len);

    int64_t tiles() const { return tiles_; }
    int64_t in_file() const { return in_file_; }
    // Tile i's place and size (its record not read).
    TileRecord tile(int64_t i) const;

    // Calls fn(const TileRecord &) for each record in the file, in order; answers how
    // many it gave (fewer than in_file() when a read fails or the file shrank).
    template <class Fn> int64_t for_each(Fn &&fn) {
        int64_t given = 0;
        while (given < in_file_) {
            const int n = read_chunk(given);
            for (int k = 0; k < n; ++k, ++given) {
                TileRecord t = tile(given);
                t.in_file = true;
                t.rec = chunk_[k];
                change_endian_cr_tbl(&t.rec);
                fn(static_cast<const TileRecord &>(t));
            }
            if (n == 0) {
                break;
            }
        }
        return given;
    }

  private:
    static constexpr int kChunk = 4096; // records read in one request

    // Reads the records from first on, at most kChunk; answers how many whole ones came.
    int read_chunk(int64_t first);

    CR_FILE *f_;
    int rect_, w_, h_, across_;
    int64_t start_; // the level's first record in the file
    int64_t tiles_;
    int64_t in_file_;
    CR_TBL chunk_[kChunk];
};

enum class RecordState { Stored, Jpeg, Unwritten, Damaged };

struct RecordCheck {
    RecordState state;
    std::string reason; // for Damaged
};

// What a record says, judged against the file's length and the start of the data area.
RecordCheck check_record(const TileRecord &t, int64_t file_len, int64_t data_start);

// The end of the header and tile table, in 64 bits: a header may claim a table of
// more than 4 GiB.
inline int64_t data_area_start(const CR_FILE *f) {
    return 16 + 12 * static_cast<int64_t>(f->header.cr_tbl_nos);
}

} // namespace r64tool

#endif
