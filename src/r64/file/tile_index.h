// The hash index beside a handle's LRU ring: which ring entry holds the tile with a given
// level and top-left corner, so that a cache miss costs one bucket walk instead of a walk
// of the whole ring. Entries are named by their index in R64_FILE.cache (0, the sentinel,
// never holds a tile and marks "none"). Trivial and valid when zero-filled.
#ifndef R64_SRC_TILE_INDEX_H
#define R64_SRC_TILE_INDEX_H

#include <cstdint>

#include "r64/r64.h"

namespace r64 {

class TileIndex {
  public:
    // The entry holding the tile (level, x0, y0) of f, or null.
    R64_CACHE_ENT *find(R64_FILE *f, int level, int x0, int y0) const {
        for (uint16_t i = heads_[bucket(level, x0, y0)]; i != 0; i = chain_[i]) {
            const R64_CACHE_ENT &e = f->cache[i];
            if (e.w_ofs == x0 && e.h_ofs == y0 && e.level == level) {
                return &f->cache[i];
            }
        }
        return nullptr;
    }
    // Adds e under the tile it now describes; e must not be in the index.
    void insert(R64_FILE *f, const R64_CACHE_ENT *e) {
        const auto i = static_cast<uint16_t>(e - f->cache);
        uint16_t &head = heads_[bucket(e->level, e->w_ofs, e->h_ofs)];
        chain_[i] = head;
        head = i;
    }
    // Removes e, which must still describe the tile it was added under; no-op when absent.
    void erase(const R64_FILE *f, const R64_CACHE_ENT *e) {
        const auto i = static_cast<uint16_t>(e - f->cache);
        for (uint16_t *link = &heads_[bucket(e->level, e->w_ofs, e->h_ofs)]; *link != 0;
             link = &chain_[*link]) {
            if (*link == i) {
                *link = chain_[i];
                chain_[i] = 0;
                return;
            }
        }
    }

  private:
    static constexpr unsigned kBuckets = 1024; // over three times the entries: short chains

    static unsigned bucket(int level, int x0, int y0) {
        const auto key = (static_cast<uint32_t>(level) << 24) ^
                         (static_cast<uint32_t>(y0 >> 6) << 10) ^ static_cast<uint32_t>(x0 >> 6);
        return (key * 0x9E3779B1u) >> 22;
    }

    uint16_t heads_[kBuckets];
    uint16_t chain_[R64_CACHE_ENTRIES];
};

} // namespace r64

#endif
