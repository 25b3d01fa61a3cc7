// File offset of the tile record that holds a pixel of an existing level: the table
// follows the 16-byte header, a level's records run band by band from its first.
#include "r64/r64.h"

extern "C" {

int get_tbl_ofs(CR_FILE *f, int w, int h, int level) {
    const int rect = f->header.rect_size;
    const int col = w / rect;
    const int row = h / rect;
    const int across = f->level_w[level] / rect + (f->level_w[level] % rect != 0 ? 1 : 0);
    const int64_t record =
        static_cast<int64_t>(f->level_entry[level]) + static_cast<int64_t>(row) * across + col;
    return static_cast<int>(16 + 12 * record);
}

} // extern "C"
