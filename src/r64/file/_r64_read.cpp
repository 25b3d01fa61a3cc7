// Loading a tile into the cache: the tile's packed bytes read from the file, or a
// background-filled dirty buffer when a writable file does not reach the tile yet. The
// direct path reads with one pread against the remembered file length (a read-only
// handle asks again for a tile past it, so that it sees a file that grows); the routed
// path seeks to the end, seeks to the tile and reads, as hosts have always seen it.
// Relies on _new_ce for the entry, r64_geometry.h for placement and r64_io.h for I/O.
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

// The file's length as the cache compares it: its low 32 bits, as tile offsets are.
bool file_end(R64_FILE *f, bool ask, uint32_t *end) {
    const int64_t length = ask ? r64::refresh_file_length(f) : r64::file_length(f);
    *end = static_cast<uint32_t>(length);
    return length >= 0;
}

// 1 when the tile's bytes were read, 0 when the file ends at or before pos, -1 (with the
// code in *code) on failure.
int read_direct(R64_FILE *f, R64_CACHE_ENT *e, uint32_t pos, uint32_t n, int *code) {
    *code = R64_ERR_IO;
    uint32_t end = 0;
    if (!file_end(f, false, &end)) {
        return -1;
    }
    if (pos >= end && f->fctl == 0 && !file_end(f, true, &end)) {
        return -1; // a read-only handle asks: another writer may have grown the file
    }
    if (pos >= end) {
        return 0;
    }
    if (r64::read_at(f, pos, e->buf, n) == 0) {
        return 1;
    }
    // A short or failed read: decide on the file's length now, as if asked before the
    // read (a file cut behind the handle no longer reaches the tile).
    const int err = errno;
    if (!file_end(f, true, &end)) {
        return -1;
    }
    errno = err;
    return pos < end ? -1 : 0;
}

int read_routed(R64_FILE *f, R64_CACHE_ENT *e, uint32_t pos, uint32_t n) {
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    if (length < 0) {
        return -1;
    }
    if (pos >= static_cast<uint32_t>(length)) {
        return 0;
    }
    if (u_lseek64(f->fd, pos, SEEK_SET) < 0) {
        return -1;
    }
    int got;
    do {
        got = u_read(f->fd, e->buf, static_cast<int>(n));
    } while (got < 0 && errno == EAGAIN);
    return got == static_cast<int>(n) ? 1 : -1;
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

    const uint32_t pos = r64::entry_file_offset(f, e);
    const uint32_t n = r64::entry_byte_len(f, e);
    int code = R64_ERR_IO;
    int got;
    if (r64::cache_direct(f)) {
        got = read_direct(f, e, pos, n, &code);
    } else {
        r64::forget_file_length(f);
        got = read_routed(f, e, pos, n);
    }
    if (got < 0) {
        return give_back(f, e, code);
    }
    if (got == 0) {
        if (f->fctl == 0) {
            return give_back(f, e, R64_ERR_READONLY_TILE);
        }
        r64::fill_background_pattern(f, reinterpret_cast<unsigned char *>(e->buf),
                                     static_cast<std::size_t>(r64::pixel_type_of(f).tile_bytes));
        e->flags = r64::kDirty;
    }
    if (f->priv != nullptr) {
        f->priv->index.insert(f, e);
    }
    return 0;
}

} // extern "C"
