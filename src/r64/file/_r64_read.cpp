// Loading a tile into the cache: one seek and one read of the tile's packed bytes, or
// a background-filled dirty buffer when a writable file does not reach the tile yet.
// Relies on _new_ce for the entry, r64_geometry.h for placement and the file-request
// layer for the descriptor.
#include <cerrno>
#include <cstdio>

#include "r64/file/r64_cache.h"

namespace {

// A load that failed after _new_ce put e at the head: its buffer holds no valid tile,
// so it goes back to the free list where no search can mistake it for the tile.
int give_back(R64_FILE *f, R64_CACHE_ENT *e, int code) {
    r64::ring_unlink(e);
    e->flags = 0;
    e->next = f->free_list;
    e->prev = nullptr;
    f->free_list = e;
    r64_error = code;
    return -1;
}

} // namespace

extern "C" {

int _r64_read(R64_FILE *f, int w, int h, int level) {
    if (r64::check_pixel_address(f, level, w, h) != 0) {
        return -1;
    }
    if (_new_ce(f) != 0) {
        return -1;
    }
    R64_CACHE_ENT *e = r64::ring_head(f);
    e->flags = 0;
    e->level = static_cast<unsigned char>(level);
    e->w_ofs = (w / r64::kTile) * r64::kTile;
    e->h_ofs = (h / r64::kTile) * r64::kTile;
    e->w_len = static_cast<unsigned char>(r64::tile_len(f->level_w[level], e->w_ofs));
    e->h_len = static_cast<unsigned char>(r64::tile_len(f->level_h[level], e->h_ofs));

    const uint32_t pos = r64::tile_file_offset(f, level, e->w_ofs, e->h_ofs);
    const auto n = static_cast<int>(r64::entry_byte_len(f, e));
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    if (length < 0) {
        return give_back(f, e, R64_ERR_IO);
    }
    const auto end = static_cast<uint32_t>(length);

    if (pos < end) {
        if (u_lseek64(f->fd, pos, SEEK_SET) < 0) {
            return give_back(f, e, R64_ERR_IO);
        }
        int got;
        do {
            got = u_read(f->fd, e->buf, n);
        } while (got < 0 && errno == EAGAIN);
        if (got != n) {
            return give_back(f, e, R64_ERR_IO);
        }
        return 0;
    }
    if (f->fctl == 0) {
        return give_back(f, e, R64_ERR_READONLY_TILE);
    }
    r64::fill_background_pattern(f, reinterpret_cast<unsigned char *>(e->buf),
                                 static_cast<std::size_t>(r64::pixel_type_of(f).tile_bytes));
    e->flags = r64::kDirty;
    return 0;
}

} // extern "C"
