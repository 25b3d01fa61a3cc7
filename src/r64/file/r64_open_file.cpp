// Opening an r64 file, or making one from an empty file opened read-write: reads or
// writes the 8-byte header, allocates the handle with its private state (r64_io.h) in
// one block, the tile buffers of cache entries 1 to ent_len - 1 in another, and
// computes the level table. Relies on the file-request layer and on the pixel-type table of
// r64_geometry.h.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <type_traits>

#include "r64/file/open_handle.h"
#include "r64/file/r64_geometry.h"
#include "r64/file/r64_io.h"
#include "r64/file/stored_order.h"

namespace {

// The handle and its private state in one zero-filled block: the public struct comes
// first, so the block is freed through the handle's address at close.
struct HandleBlock {
    R64_FILE file;
    r64_file_priv priv;
};
static_assert(std::is_standard_layout_v<HandleBlock>);

void free_tile_buffers(R64_FILE *f) {
    free(f->priv->tile_buffers);
    f->priv->tile_buffers = nullptr;
    for (R64_CACHE_ENT &e : f->cache) {
        e.buf = nullptr;
    }
}

// Entry 1 onwards each get a tile buffer and form the free list; the ring is empty. The
// buffers are cut from one block, which the system maps lazily: a handle costs no page
// of memory for tiles it never loads.
bool prepare_cache(R64_FILE *f, int tile_bytes) {
    const int n = r64::entries_in_use();
    f->free_list = &f->cache[1];
    const auto bytes = static_cast<std::size_t>(tile_bytes);
    if (n > 1) {
        f->priv->tile_buffers =
            static_cast<char *>(malloc(bytes * static_cast<std::size_t>(n - 1)));
        if (f->priv->tile_buffers == nullptr) {
            return false;
        }
    }
    for (int i = 1; i < n; ++i) {
        f->cache[i].buf = f->priv->tile_buffers + bytes * static_cast<std::size_t>(i - 1);
        f->cache[i].next = i + 1 < n ? &f->cache[i + 1] : nullptr;
    }
    f->cache[0].next = &f->cache[0];
    f->cache[0].prev = &f->cache[0];
    return true;
}

// Levels are kept while both sides are 3 or more; offsets wrap as unsigned 32-bit.
void compute_levels(R64_FILE *f, int room_factor) {
    int w = f->header.width;
    int h = f->header.height;
    uint32_t ofs = 8;
    int level = 0;
    for (; level < R64_LEVELS; ++level) {
        f->level_ofs[level] = ofs;
        f->level_w[level] = w;
        f->level_h[level] = h;
        ofs += static_cast<uint32_t>(w) * static_cast<uint32_t>(h) *
               static_cast<uint32_t>(room_factor);
        w = r64::ceil_half(w);
        h = r64::ceil_half(h);
        if (w <= 1 || h <= 1) {
            break;
        }
    }
    for (; level < R64_LEVELS; ++level) {
        f->level_ofs[level] = 0;
        f->level_w[level] = 0;
        f->level_h[level] = 0;
    }
}

// Whether the level areas end beyond what a 32-bit offset reaches (their offsets wrap).
bool levels_pass_4gib(const R64_FILE *f, int room_factor) {
    uint64_t end = 8;
    for (int level = 0; level < R64_LEVELS && f->level_ofs[level] != 0; ++level) {
        end += uint64_t{static_cast<uint32_t>(f->level_w[level])} *
               static_cast<uint32_t>(f->level_h[level]) * static_cast<uint32_t>(room_factor);
    }
    return end > UINT32_MAX;
}

} // namespace

extern "C" {

R64_FILE *r64_open_file(const char *filename, int ctl, int mode, char filetype, int width,
                        int height) {
    const int fd = r64::open_retrying(filename, ctl, mode);
    if (fd < 0) {
        r64_error = R64_ERR_IO;
        return nullptr;
    }
    r64::PendingOpen<HandleBlock> block(fd);
    const auto fail = [&block](int code) -> R64_FILE * {
        block.fail(code);
        return nullptr;
    };
    if (block.get() == nullptr) {
        return fail(R64_ERR_NOMEM);
    }
    block->file.priv = &block->priv;
    R64_FILE *const f = &block->file;
    f->rc_type = 1;
    f->fd = fd;

    R64_HEADER &hd = f->header;
    const int got = u_read(fd, &hd, sizeof hd);
    if (got < 0) {
        return fail(R64_ERR_IO);
    }
    if (got == 0 && (ctl & O_RDWR) != 0) {
        std::memcpy(hd.preamble, "R64", 3);
        hd.type = filetype;
        hd.width = static_cast<int16_t>(width);
        hd.height = static_cast<int16_t>(height);
        r64::stored_order(hd.width);
        r64::stored_order(hd.height);
        // The header is written before it is checked, as a refused creation leaves it.
        if (u_write(fd, &hd, sizeof hd) != static_cast<int>(sizeof hd)) {
            return fail(R64_ERR_IO);
        }
        // The file is the header alone: its length is known without asking.
        block->priv.length = sizeof hd;
        block->priv.length_known = true;
    } else if (got != static_cast<int>(sizeof hd)) {
        return fail(R64_ERR_SHORT);
    }
    r64::stored_order(hd.width);
    r64::stored_order(hd.height);

    const r64::PixelType *pt = r64::pixel_type(hd.type);
    if (std::memcmp(hd.preamble, "R64", 3) != 0 || pt == nullptr) {
        return fail(R64_ERR_FORMAT);
    }
    if (!prepare_cache(f, pt->tile_bytes)) {
        return fail(R64_ERR_NOMEM);
    }
    f->fctl = ctl & O_RDWR;
    if (hd.width == 0 || hd.height == 0) {
        free_tile_buffers(f);
        return fail(R64_ERR_FORMAT);
    }
    compute_levels(f, pt->room_factor);
    block->priv.ring_capacity = r64::entries_in_use() - 1;
    block->priv.offsets_wrap = levels_pass_4gib(f, pt->room_factor);
    return &block.release()->file;
}

} // extern "C"
