// Writing cached tiles back. The routed path writes one tile: appends background up to
// it when the file ends before it (so the file never has holes), then one seek and one
// write, as hosts have always seen it. The direct path writes a run of dirty tiles that
// lie back to back in the file with one gathered pwritev, after a large background fill
// of any gap, against the remembered length. Relies on r64_io.h and r64_geometry.h.
#include <array>
#include <cerrno>
#include <cstdio>

#include "r64/file/r64_cache.h"

namespace {

int write_back_routed(R64_FILE *f, R64_CACHE_ENT *ce) {
    r64::forget_file_length(f);
    const uint32_t pos = r64::entry_file_offset(f, ce);
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

// The tile after (or before) (level, x0, y0) in file order: the next in its band, the
// first of the next band, the first of the next level; false at the end.
bool next_in_file(const R64_FILE *f, int *level, int *x0, int *y0) {
    if (*x0 + r64::kTile < f->level_w[*level]) {
        *x0 += r64::kTile;
    } else if (*y0 + r64::kTile < f->level_h[*level]) {
        *x0 = 0;
        *y0 += r64::kTile;
    } else if (r64::level_exists(f, *level + 1)) {
        ++*level;
        *x0 = 0;
        *y0 = 0;
    } else {
        return false;
    }
    return true;
}

bool prev_in_file(const R64_FILE *f, int *level, int *x0, int *y0) {
    const auto last = [](int size) { return (size - 1) / r64::kTile * r64::kTile; };
    if (*x0 > 0) {
        *x0 -= r64::kTile;
    } else if (*y0 > 0) {
        *x0 = last(f->level_w[*level]);
        *y0 -= r64::kTile;
    } else if (*level > 0 && r64::level_exists(f, *level - 1)) {
        --*level;
        *x0 = last(f->level_w[*level]);
        *y0 = last(f->level_h[*level]);
    } else {
        return false;
    }
    return true;
}

// Whether e may join the write-back of ce: dirty, and last used within a quarter of the
// ring's moves of ce, the least recently used entry, so that it is among the next to be
// written anyway. A tile still being filled (a reduced level builds every tile in several
// passes) is used again later than that and is not written early, only to be rewritten.
bool joins_run(const R64_FILE *f, const R64_CACHE_ENT *ce, const R64_CACHE_ENT *e) {
    if (e == nullptr || (e->flags & r64::kDirty) == 0) {
        return false;
    }
    const r64_file_priv &p = *f->priv;
    const uint32_t later = p.last_use[e - f->cache] - p.last_use[ce - f->cache];
    return later <= static_cast<uint32_t>(p.ring_capacity / 4);
}

// ce and the dirty tiles that lie back to back with it in the file and may join it, in
// file order, into run; the count.
std::size_t gather_run(R64_FILE *f, R64_CACHE_ENT *ce, R64_CACHE_ENT **run) {
    const r64::TileIndex &index = f->priv->index;
    R64_CACHE_ENT *first = ce;
    for (;;) {
        int level = first->level, x0 = first->w_ofs, y0 = first->h_ofs;
        if (!prev_in_file(f, &level, &x0, &y0)) {
            break;
        }
        R64_CACHE_ENT *e = index.find(f, level, x0, y0);
        if (!joins_run(f, ce, e) || r64::entry_file_offset(f, e) + r64::entry_byte_len(f, e) !=
                                        r64::entry_file_offset(f, first)) {
            break;
        }
        first = e;
    }
    std::size_t n = 0;
    run[n++] = first;
    for (R64_CACHE_ENT *last = first;;) {
        int level = last->level, x0 = last->w_ofs, y0 = last->h_ofs;
        if (!next_in_file(f, &level, &x0, &y0)) {
            break;
        }
        R64_CACHE_ENT *e = index.find(f, level, x0, y0);
        if (e != ce && (!joins_run(f, ce, e) ||
                        r64::entry_file_offset(f, last) + r64::entry_byte_len(f, last) !=
                            r64::entry_file_offset(f, e))) {
            break;
        }
        run[n++] = e;
        last = e;
    }
    return n;
}

} // namespace

namespace r64 {

int write_run(R64_FILE *f, R64_CACHE_ENT *const *run, std::size_t n) {
    const int64_t length = file_length(f);
    if (length < 0) {
        return -1;
    }
    const auto end = static_cast<uint32_t>(length);
    const uint32_t pos = entry_file_offset(f, run[0]);
    // A failed fill fails the write-back, so no tile is written beyond a hole.
    if (pos > end && fill_background_at(f, end, pos - end) != 0) {
        return -1;
    }
    std::array<iovec, R64_CACHE_ENTRIES> pieces;
    for (std::size_t i = 0; i < n; ++i) {
        pieces[i] = iovec{run[i]->buf, entry_byte_len(f, run[i])};
    }
    if (write_pieces_at(f, pos, {pieces.data(), n}) != 0) {
        return -1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        run[i]->flags &= ~kDirty;
    }
    return 0;
}

} // namespace r64

extern "C" {

int _r64_flush(R64_FILE *f, R64_CACHE_ENT *ce) {
    if (!r64::cache_direct(f)) {
        return write_back_routed(f, ce);
    }
    std::array<R64_CACHE_ENT *, R64_CACHE_ENTRIES> run;
    const std::size_t n = gather_run(f, ce, run.data());
    return r64::write_run(f, run.data(), n);
}

} // extern "C"
