// Opening a cr file, or making one (header and zeroed tile table) from an empty file
// opened read-write, and the level geometry that locates each level's tile records.
// The handle's cache entries start empty on the free list; cr_read fills them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "r64/file/malloc_buffer.h"
#include "r64/file/open_handle.h"
#include "r64/file/r64_geometry.h"
#include "r64/file/stored_order.h"

namespace {

void header_stored_order(CR_HEADER &hd) {
    r64::stored_order(hd.h.width);
    r64::stored_order(hd.h.height);
    r64::stored_order(hd.rect_size);
    r64::stored_order(hd.cr_tbl_nos);
}

int64_t tiles_across(int side, int rect) {
    return side / rect + (side % rect != 0 ? 1 : 0);
}

// The header and one zero record per tile of the table, in one write when they
// fit in kCreateChunk bytes; false when memory runs out or a write fails or falls short.
constexpr std::size_t kCreateChunk = std::size_t{1} << 20;

bool write_new_file(CR_FILE *f) {
    CR_HEADER stored = f->header;
    header_stored_order(stored);
    std::size_t left = sizeof stored + std::size_t{f->header.cr_tbl_nos} * sizeof(CR_TBL);
    r64::MallocBuffer<unsigned char> chunk(
        static_cast<unsigned char *>(std::calloc(std::min(left, kCreateChunk), 1)));
    if (!chunk) {
        return false;
    }
    std::memcpy(chunk.get(), &stored, sizeof stored);
    while (left > 0) {
        const std::size_t n = std::min(left, kCreateChunk);
        if (u_write(f->fd, chunk.get(), static_cast<int>(n)) != static_cast<int>(n)) {
            return false;
        }
        std::memset(chunk.get(), 0, sizeof stored); // the header goes out once
        left -= n;
    }
    return true;
}

void prepare_cache(CR_FILE *f) {
    const int n = r64::entries_in_use();
    f->free_list = &f->cache[1];
    for (int i = 1; i < n; ++i) {
        f->cache[i].b.buf = nullptr;
        f->cache[i].next = i + 1 < n ? &f->cache[i + 1] : nullptr;
    }
    f->cache[0].next = &f->cache[0];
    f->cache[0].prev = &f->cache[0];
}

} // namespace

extern "C" {

int get_cr_tbl_nos(CR_FILE *f) {
    int w = f->header.h.width;
    int h = f->header.h.height;
    const int rect = f->header.rect_size;
    // A tile edge of 0 would divide by zero below: such a file is not a cr file.
    if (w == 0 || h == 0 || rect == 0) {
        r64_error = R64_ERR_FORMAT;
        return -1;
    }
    int64_t count = 0;
    int level = 0;
    for (; level < R64_LEVELS; ++level) {
        f->level_entry[level] = static_cast<int>(count);
        f->level_w[level] = w;
        f->level_h[level] = h;
        // A negative side holds no tiles; its quotient must not take records away
        // (a negative total would wrap to billions of records to write).
        const int64_t level_tiles = tiles_across(w, rect) * tiles_across(h, rect);
        count += level_tiles > 0 ? level_tiles : 0;
        w = r64::ceil_half(w);
        h = r64::ceil_half(h);
        if (w <= 1 || h <= 1) {
            break;
        }
    }
    f->header.cr_tbl_nos = static_cast<uint32_t>(count);
    // The level where the loop stopped keeps its records in the table but does not exist.
    for (; level < R64_LEVELS; ++level) {
        f->level_entry[level] = -1;
        f->level_w[level] = 0;
        f->level_h[level] = 0;
    }
    return 0;
}

CR_FILE *cr_open_file(const char *filename, int ctl, int mode, int rect_size, int width,
                      int height) {
    const int fd = r64::open_retrying(filename, ctl, mode);
    if (fd < 0) {
        r64_error = R64_ERR_IO;
        return nullptr;
    }
    r64::PendingOpen<CR_FILE> f(fd);
    if (f.get() == nullptr) {
        return f.fail(R64_ERR_NOMEM);
    }
    f->fd = fd;

    CR_HEADER &hd = f->header;
    const int got = u_read(fd, &hd, sizeof hd);
    if (got < 0) {
        return f.fail(R64_ERR_IO);
    }
    if (got == static_cast<int>(sizeof hd)) {
        f->write_ofs = static_cast<uint32_t>(u_lseek64(fd, 0, SEEK_END));
        header_stored_order(hd);
    } else if (got == 0 && (ctl & O_RDWR) != 0) {
        std::memcpy(hd.h.preamble, "CR\0", 3);
        hd.h.type = 0;
        hd.h.width = static_cast<int16_t>(width);
        hd.h.height = static_cast<int16_t>(height);
        hd.rect_size = static_cast<uint16_t>(rect_size);
        if (get_cr_tbl_nos(f.get()) < 0) {
            return f.fail(r64_error);
        }
        if (!write_new_file(f.get())) {
            return f.fail(R64_ERR_IO);
        }
        f->write_ofs = static_cast<uint32_t>(u_lseek64(fd, 0, SEEK_CUR));
    } else {
        return f.fail(R64_ERR_SHORT);
    }

    if (std::memcmp(hd.h.preamble, "CR\0", 3) != 0) {
        return f.fail(R64_ERR_FORMAT);
    }
    hd.h.type = 0;
    prepare_cache(f.get());
    f->fctl = ctl & O_RDWR;
    if (get_cr_tbl_nos(f.get()) < 0) {
        return f.fail(r64_error);
    }
    return f.release();
}

} // extern "C"
