// Reading cr tiles in their stored form through the handle's cache: a ring of
// CR_ENT entries (sentinel cache[0], most recently used first) and a free list.
// Cached entries own their compressed bytes; callers get a malloc'ed copy.
// Relies on cr_open_file for the level tables and the initial free list, and on
// the file-request layer for every seek and read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "r64/r64.h"
#include "r64/file/stored_order.h"

namespace {

// Tile extent within its level, held in 8 bits as the entry stores it.
unsigned char tile_extent(int ofs, int rect_size, int level_size) {
    const int len = ofs + rect_size <= level_size ? rect_size : level_size - ofs;
    return static_cast<unsigned char>(len);
}

CR_ENT *find_cached(CR_FILE *f, int level, int w_ofs, int h_ofs) {
    CR_ENT *const sentinel = &f->cache[0];
    for (CR_ENT *e = sentinel->next; e != sentinel; e = e->next) {
        if (e->level == level && e->w_ofs == w_ofs && e->h_ofs == h_ofs) {
            return e;
        }
    }
    return nullptr;
}

// File offset of the tile's record, in 64 bits: a header may claim a table larger than
// the 32-bit offset get_tbl_ofs answers, which would wrap onto another record.
int64_t record_offset(const CR_FILE *f, int w_ofs, int h_ofs, int level) {
    const int rect = f->header.rect_size;
    const int64_t across = f->level_w[level] / rect + (f->level_w[level] % rect != 0 ? 1 : 0);
    const int64_t record =
        int64_t{f->level_entry[level]} + int64_t{h_ofs / rect} * across + w_ofs / rect;
    return 16 + static_cast<int64_t>(sizeof(CR_TBL)) * record;
}

// Fails a load: the entry taken for it goes back to the free list without data.
CR_ENT *fail(CR_FILE *f, CR_ENT *e, int code) {
    if (e != nullptr) {
        free_cr_ent(f, e);
    }
    r64_error = code;
    return nullptr;
}

// Loads the tile whose corner is (w_ofs, h_ofs) into a cache entry. The record
// is checked against the file's length before its size is allocated, so a
// corrupt record cannot make the reader allocate more than the file holds.
CR_ENT *load_tile(CR_FILE *f, int w_ofs, int h_ofs, int level) {
    CR_TBL rec;
    if (u_lseek64(f->fd, record_offset(f, w_ofs, h_ofs, level), SEEK_SET) < 0) {
        return fail(f, nullptr, R64_ERR_IO);
    }
    const int got = u_read(f->fd, &rec, sizeof rec);
    if (got < 0) {
        return fail(f, nullptr, R64_ERR_IO);
    }
    if (got < static_cast<int>(sizeof rec)) {
        return fail(f, nullptr, R64_ERR_SHORT);
    }
    change_endian_cr_tbl(&rec);

    CR_ENT *const e = new_cr_ent(f);
    if (e == nullptr) {
        return fail(f, nullptr, R64_ERR_NOMEM);
    }
    e->b.type = rec.type;
    std::memcpy(e->b.cal, rec.cal, sizeof e->b.cal);
    e->b.size = static_cast<uint32_t>(rec.size);

    // Never written (ofs or size 0), or a size no file can hold.
    if (rec.ofs == 0 || rec.size <= 0) {
        return fail(f, e, R64_ERR_SHORT);
    }
    const int64_t file_end = u_lseek64(f->fd, 0, SEEK_END);
    if (file_end < 0) {
        return fail(f, e, R64_ERR_IO);
    }
    if (static_cast<int64_t>(rec.ofs) + rec.size > file_end) {
        return fail(f, e, R64_ERR_SHORT);
    }
    e->b.buf = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(rec.size)));
    if (e->b.buf == nullptr) {
        return fail(f, e, R64_ERR_NOMEM);
    }
    if (u_lseek64(f->fd, rec.ofs, SEEK_SET) < 0) {
        return fail(f, e, R64_ERR_IO);
    }
    const int data = u_read(f->fd, e->b.buf, rec.size);
    if (data < 0) {
        return fail(f, e, R64_ERR_IO);
    }
    if (data < rec.size) {
        return fail(f, e, R64_ERR_SHORT);
    }

    const int rect_size = f->header.rect_size;
    e->level = static_cast<unsigned char>(level);
    e->w_ofs = w_ofs;
    e->h_ofs = h_ofs;
    e->w_len = tile_extent(w_ofs, rect_size, f->level_w[level]);
    e->h_len = tile_extent(h_ofs, rect_size, f->level_h[level]);
    return e;
}

} // namespace

extern "C" {

void delete_cr_ring(CR_ENT *e) {
    e->prev->next = e->next;
    e->next->prev = e->prev;
}

void insert_cr_ring(CR_FILE *f, CR_ENT *e) {
    CR_ENT *const sentinel = &f->cache[0];
    e->next = sentinel->next;
    e->prev = sentinel;
    sentinel->next->prev = e;
    sentinel->next = e;
}

void touch_cr_ent(CR_FILE *f, CR_ENT *e) {
    delete_cr_ring(e);
    insert_cr_ring(f, e);
}

// A free entry moves to the front of the ring; without one the least recently
// used entry is emptied and reused in place. Null only when the handle has no
// entry at all (a ring and a free list both empty).
CR_ENT *new_cr_ent(CR_FILE *f) {
    CR_ENT *const sentinel = &f->cache[0];
    CR_ENT *e = f->free_list;
    if (e != nullptr) {
        f->free_list = e->next;
        insert_cr_ring(f, e);
        return e;
    }
    e = sentinel->prev;
    if (e == sentinel) {
        return nullptr;
    }
    std::free(e->b.buf);
    e->b.buf = nullptr;
    return e;
}

void free_cr_ent(CR_FILE *f, CR_ENT *e) {
    delete_cr_ring(e);
    std::free(e->b.buf);
    e->b.buf = nullptr;
    e->next = f->free_list;
    f->free_list = e;
}

void change_endian_cr_tbl(CR_TBL *tbl) {
    r64::stored_order(tbl->ofs);
    r64::stored_order(tbl->size);
}

int cr_read(CR_MEM_TBL *b, CR_FILE *f, int width, int height, int level) {
    if (level < 0 || level >= R64_LEVELS || f->level_entry[level] < 0) {
        r64_error = R64_ERR_LEVEL;
        return -1;
    }
    if (width < 0 || width >= f->level_w[level] || height < 0 || height >= f->level_h[level]) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    const int rect_size = f->header.rect_size;
    width -= width % rect_size;
    height -= height % rect_size;

    CR_ENT *e = find_cached(f, level, width, height);
    if (e == nullptr) {
        e = load_tile(f, width, height, level);
        if (e == nullptr) {
            return -1;
        }
    }
    touch_cr_ent(f, e);

    // The cached tile stays valid whether or not the caller's copy can be made.
    auto *copy = static_cast<unsigned char *>(std::malloc(e->b.size));
    if (copy == nullptr) {
        r64_error = R64_ERR_NOMEM;
        return -1;
    }
    std::memcpy(copy, e->b.buf, e->b.size);
    *b = e->b;
    b->buf = copy;
    return 0;
}

} // extern "C"
