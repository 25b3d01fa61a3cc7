// Closing a cr file: the descriptor, the tile data held by the cache entries and
// the handle are released. Nothing is written; each record reached the file when
// its tile was written.
#include <cstdlib>

#include "r64/file/open_handle.h"

extern "C" {

int cr_close_file(CR_FILE *f) {
    u_close(f->fd);
    const int n = r64::entries_in_use();
    for (int i = 1; i < n; ++i) {
        free(f->cache[i].b.buf);
    }
    free(f);
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
