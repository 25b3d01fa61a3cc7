// Closing a handle: writes back the dirty tiles, closes the descriptor and frees the
// tile buffers and the handle (malloc'ed at open, its private state in the same block)
// in every case. Reports a failed write-back as -1 with its code, since the changes it
// held are lost.
#include <cstdlib>

#include "r64/file/r64_cache.h"

extern "C" {

int r64_close_file(R64_FILE *f) {
    const int flushed = r64_flush(f);
    const int code = r64_error;
    u_close(f->fd);
    // Every entry's tile buffer lies in one block, whatever ent_len has become since.
    std::free(f->priv->tile_buffers);
    std::free(f);
    if (flushed != 0) {
        r64_error = code;
        return -1;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
