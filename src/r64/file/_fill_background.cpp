// Appending background bytes at the descriptor's position: through the file-request layer
// in pieces of one 999-byte block (a whole number of 'P' pixels, so the pattern runs on
// unbroken across pieces) when routed, as hosts have always seen it; in large positioned
// pieces on the direct path. Relies on r64_cache.h for the pattern and r64_io.h.
#include <array>
#include <cstdio>

#include "r64/file/r64_cache.h"

extern "C" {

int _fill_background(R64_FILE *f, uint32_t len) {
    if (r64::direct_io(f)) {
        const int64_t here = u_lseek64(f->fd, 0, SEEK_CUR);
        if (here < 0) {
            std::perror("fill_background");
            r64_error = R64_ERR_IO;
            return -1;
        }
        if (r64::fill_background_at(f, static_cast<uint64_t>(here), len) != 0) {
            return -1;
        }
        if (u_lseek64(f->fd, here + len, SEEK_SET) < 0) {
            r64_error = R64_ERR_IO;
            return -1;
        }
        return 0;
    }
    constexpr uint32_t kBlock = 999;
    std::array<unsigned char, kBlock> block;
    r64::fill_background_pattern(f, block.data(), block.size());
    for (uint32_t written = 0; written < len;) {
        const uint32_t piece = len - written < kBlock ? len - written : kBlock;
        if (u_write(f->fd, block.data(), static_cast<int>(piece)) != static_cast<int>(piece)) {
            std::perror("fill_background");
            r64_error = R64_ERR_IO;
            return -1;
        }
        written += piece;
    }
    return 0;
}

} // extern "C"
