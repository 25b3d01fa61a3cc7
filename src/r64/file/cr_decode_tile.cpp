// Decoding cr tiles back into pixels: a tile of the top level is decoded as its
// pixels, any other from its parent's reconstructed pixels plus its calibrated
// differences. The decoder owns a small LRU cache of reconstructed tiles (a use
// of a tile refreshes the tiles above it) so that a level read row by row decodes
// each tile once. Relies on cr_read
// (which checks records against the file's length), the stored and JPEG decoders, and the
// reconstruction shared with the writer (cr_residual.h). Damaged data gives an
// error code, never a crash.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "image/jpeg/jpeg_bounded.h"
#include "r64/file/cr_decoder.h"
#include "r64/file/cr_residual.h"
#include "r64/file/malloc_buffer.h"

namespace {

struct Tile {
    int level;
    int x0;
    int y0;
    int w;
    int h;
    r64::MallocBuffer<unsigned char> px; // w x h pixels of 4 bytes
};

using TilePtr = std::shared_ptr<const Tile>;

// Memory the default cache may take; it always holds at least one tile per level.
constexpr std::size_t kDefaultCacheBytes = 64u << 20;

int ceil_div(int a, int b) {
    return a / b + (a % b != 0 ? 1 : 0);
}

} // namespace

struct cr_decoder {
    struct Entry {
        TilePtr tile;
        uint64_t last_use;
    };

    CR_FILE *f = nullptr;
    int top = -1; // the level whose tiles are roots
    int rect = 0;
    std::size_t capacity = 1;
    std::vector<Entry> cache;
    uint64_t clock = 0;
    long decodes = 0;

    TilePtr lookup(int level, int x0, int y0) {
        for (Entry &e : cache) {
            if (e.tile->level == level && e.tile->x0 == x0 && e.tile->y0 == y0) {
                e.last_use = ++clock;
                return e.tile;
            }
        }
        return nullptr;
    }

    // When full, the least recently used tile is given up. Tiles still in use up
    // the chain stay alive through their shared pointers.
    void remember(TilePtr t) {
        if (cache.size() < capacity) {
            cache.push_back(Entry{std::move(t), ++clock});
            return;
        }
        auto oldest =
            std::min_element(cache.begin(), cache.end(), [](const Entry &a, const Entry &b) {
                return a.last_use < b.last_use;
            });
        *oldest = Entry{std::move(t), ++clock};
    }

    // A use of a tile counts as a use of every tile above it: a level read row by
    // row comes back to a parent row only after the rows beneath, and to the tiles
    // higher up after longer still.
    void touch_ancestors(int level, int x0, int y0) {
        for (int l = level + 1; l <= top; ++l) {
            x0 = (x0 >> 1) / rect * rect;
            y0 = (y0 >> 1) / rect * rect;
            lookup(l, x0, y0);
        }
    }

    TilePtr fail(int code) {
        r64_error = code;
        return nullptr;
    }

    // The reconstructed tile whose top-left pixel is (x0, y0) of level.
    TilePtr get(int level, int x0, int y0) {
        if (TilePtr hit = lookup(level, x0, y0)) {
            touch_ancestors(level, x0, y0);
            return hit;
        }
        TilePtr parent;
        if (level < top) {
            const int px = (x0 >> 1) / rect * rect;
            const int py = (y0 >> 1) / rect * rect;
            parent = get(level + 1, px, py);
            if (!parent) {
                return nullptr; // the code is the ancestor's
            }
        }
        CR_MEM_TBL rec{};
        if (cr_read(&rec, f, x0, y0, level) < 0) {
            return nullptr;
        }
        r64::MallocBuffer<unsigned char> data(rec.buf);
        const int w = std::min(rect, f->level_w[level] - x0);
        const int h = std::min(rect, f->level_h[level] - y0);
        int dw = 0;
        int dh = 0;
        r64::MallocBuffer<unsigned char> decoded;
        const int size = static_cast<int>(rec.size);
        if (rec.type == r64::kCrJpeg) {
            // A header larger than the tile is refused before its image is allocated.
            decoded.reset(r64::jpeg_uncompress_bounded(&dw, &dh, data.get(), size, w, h));
        } else if (rec.type == r64::kCrStored) {
            decoded.reset(none_uncompress(&dw, &dh, data.get(), size));
        } else {
            return fail(R64_ERR_FORMAT);
        }
        data.reset();
        if (!decoded || dw != w || dh != h) {
            return fail(R64_ERR_FORMAT);
        }
        ++decodes;
        if (parent) {
            const CR_BUFFER pb{parent->x0, parent->y0, parent->w, parent->h, parent->px.get()};
            r64::cr_reconstruct(pb, x0, y0, w, h, decoded.get(), rec.cal, decoded.get());
        }
        auto tile = std::make_shared<Tile>(Tile{level, x0, y0, w, h, std::move(decoded)});
        remember(tile);
        return tile;
    }
};

namespace r64 {

long cr_decoder_tiles_decoded(const CR_DECODER *d) {
    return d->decodes;
}

std::size_t cr_decoder_capacity(const CR_DECODER *d) {
    return d->capacity;
}

} // namespace r64

extern "C" {

CR_DECODER *cr_open_decoder(CR_FILE *f, int cache_tiles) {
    const int rect = f->header.rect_size;
    if (rect < 1 || rect > r64::kCrMaxRect) {
        r64_error = R64_ERR_FORMAT;
        return nullptr;
    }
    try {
        auto d = std::make_unique<cr_decoder>();
        d->f = f;
        d->rect = rect;
        int levels = 0;
        while (levels < R64_LEVELS && cr_check_level(f, levels)) {
            ++levels;
        }
        d->top = levels - 1;
        if (cache_tiles > 0) {
            d->capacity = static_cast<std::size_t>(cache_tiles);
        } else {
            // Reading a level row by row needs the current row of tiles of every level
            // above it: together at most about one row of level 0 and one tile a level.
            const int across = levels > 0 ? ceil_div(f->level_w[0], rect) : 1;
            const std::size_t wanted = 2 * static_cast<std::size_t>(across) + 2 * levels + 2;
            const std::size_t tile_bytes = static_cast<std::size_t>(rect) * rect * 4;
            const std::size_t budget = kDefaultCacheBytes / tile_bytes;
            d->capacity = std::max<std::size_t>(std::min(wanted, budget), levels + 1);
        }
        d->cache.reserve(std::min<std::size_t>(d->capacity, 1024));
        return d.release();
    } catch (const std::bad_alloc &) {
        r64_error = R64_ERR_NOMEM;
        return nullptr;
    }
}

void cr_close_decoder(CR_DECODER *d) {
    std::unique_ptr<cr_decoder> owned(d);
}

unsigned char *cr_decode_tile(int *w, int *h, CR_DECODER *d, int x, int y, int level) {
    CR_FILE *const f = d->f;
    if (level < 0 || level > d->top) {
        r64_error = R64_ERR_LEVEL;
        return nullptr;
    }
    if (x < 0 || x >= f->level_w[level] || y < 0 || y >= f->level_h[level]) {
        r64_error = R64_ERR_RANGE;
        return nullptr;
    }
    try {
        TilePtr t = d->get(level, x / d->rect * d->rect, y / d->rect * d->rect);
        if (!t) {
            return nullptr;
        }
        const std::size_t bytes = static_cast<std::size_t>(t->w) * t->h * 4;
        auto *out = static_cast<unsigned char *>(std::malloc(bytes));
        if (out == nullptr) {
            r64_error = R64_ERR_NOMEM;
            return nullptr;
        }
        std::memcpy(out, t->px.get(), bytes);
        *w = t->w;
        *h = t->h;
        r64_error = R64_OK;
        return out;
    } catch (const std::bad_alloc &) {
        r64_error = R64_ERR_NOMEM;
        return nullptr;
    }
}

} // extern "C"
