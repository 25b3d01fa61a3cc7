// Flushing a handle: writes back every dirty tile, stopping at the first write-back that
// fails. The direct path writes in file order, each run of tiles that lie back to back in
// the file in one write, so that no tile is written past a gap that a later one fills;
// the routed path writes one tile at a time from the most recently used, as hosts have
// always seen it. Relies on _r64_flush and write_run.
#include <algorithm>
#include <array>

#include "r64/file/r64_cache.h"

namespace {

int flush_routed(R64_FILE *f) {
    R64_CACHE_ENT *sentinel = &f->cache[0];
    for (R64_CACHE_ENT *e = sentinel->next; e != sentinel; e = e->next) {
        if ((e->flags & r64::kDirty) != 0 && _r64_flush(f, e) != 0) {
            return -1;
        }
    }
    return 0;
}

int flush_in_file_order(R64_FILE *f) {
    struct Dirty {
        uint32_t pos;
        R64_CACHE_ENT *e;
    };
    std::array<Dirty, R64_CACHE_ENTRIES> dirty;
    std::size_t count = 0;
    R64_CACHE_ENT *sentinel = &f->cache[0];
    for (R64_CACHE_ENT *e = sentinel->next; e != sentinel && count < dirty.size(); e = e->next) {
        if ((e->flags & r64::kDirty) != 0) {
            dirty[count++] = {r64::entry_file_offset(f, e), e};
        }
    }
    std::sort(dirty.begin(), dirty.begin() + static_cast<std::ptrdiff_t>(count),
              [](const Dirty &a, const Dirty &b) { return a.pos < b.pos; });
    std::array<R64_CACHE_ENT *, R64_CACHE_ENTRIES> run;
    for (std::size_t i = 0; i < count;) {
        std::size_t n = 0;
        uint32_t next = dirty[i].pos;
        for (; i < count && dirty[i].pos == next; ++i) {
            run[n++] = dirty[i].e;
            next = dirty[i].pos + r64::entry_byte_len(f, dirty[i].e);
        }
        if (r64::write_run(f, run.data(), n) != 0) {
            return -1;
        }
    }
    return 0;
}

} // namespace

extern "C" {

int r64_flush(R64_FILE *f) {
    if ((r64::cache_direct(f) ? flush_in_file_order(f) : flush_routed(f)) != 0) {
        return -1;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
