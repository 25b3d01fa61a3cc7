// Writing one cached tile back: appends background up to the tile when the file ends
// before it (so the file never has holes), then one seek and one write of the tile's
// packed bytes. Relies on _fill_background and r64_geometry.h.
#include <cerrno>
#include <cstdio>

#include "r64/file/r64_cache.h"

extern "C" {

int _r64_flush(R64_FILE *f, R64_CACHE_ENT *ce) {
    const int level = ce->level;
    const uint32_t pos = r64::tile_file_offset(f, level, ce->w_ofs, ce->h_ofs);
    const auto n = static_cast<int>(r64::entry_byte_len(f, ce));

    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    if (length < 0) {
        r64_error = R64_ERR_IO;
        return -1;
    }
    const auto end = static_cast<uint32_t>(length);
    // The descriptor stands at the end of the file: the gap is appended there. A failed
    // append fails the write-back, so the tile is never written beyond a hole.
    if (pos > end && _fill_background(f, pos - end) != 0) {
        return -1;
    }
    if (u_lseek64(f->fd, pos, SEEK_SET) < 0) {
        r64_error = R64_ERR_IO;
        return -1;
    }
    int put;
    do {
        put = u_write(f->fd, ce->buf, n);
    } while (put < 0 && errno == EAGAIN);
    if (put != n) {
        r64_error = R64_ERR_IO;
        return -1;
    }
    ce->flags &= ~r64::kDirty;
    return 0;
}

} // extern "C"
