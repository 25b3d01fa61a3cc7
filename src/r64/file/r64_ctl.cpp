// Per-handle settings of an r64 file: what an out-of-level read yields (rc_type),
// the background pixel used for such reads and for filling tiles and gaps, and
// whether the pyramid writer starts write-back of what it writes.
#include <cstdarg>
#include <cstring>

#include "r64/file/r64_io.h"
#include "r64/r64.h"

extern "C" {

int r64_ctl(R64_FILE *f, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    int result = 0;
    if (cmd == R64_CTL_RC_TYPE) {
        const int rc = va_arg(ap, int);
        if (rc == 0 || rc == 1) {
            f->rc_type = static_cast<char>(rc);
        } else {
            result = -1;
        }
    } else if (cmd == R64_CTL_BACKGROUND) {
        const char *pixel = va_arg(ap, const char *);
        std::memcpy(f->background, pixel, f->header.type == 'P' ? 3 : 1);
    } else if (cmd == R64_CTL_WRITE_BACK) {
        const int on = va_arg(ap, int);
        if ((on == 0 || on == 1) && f->priv != nullptr) {
            f->priv->no_write_back = on == 0;
        } else {
            result = -1;
        }
    } else {
        result = -1;
    }
    va_end(ap);
    r64_error = result == 0 ? R64_OK : R64_ERR_CTL;
    return result;
}

} // extern "C"
