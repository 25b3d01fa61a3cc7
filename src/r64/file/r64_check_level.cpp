// The level test of an r64 file: a level is present when it belongs to the image
// and the file holds all of its tile bytes (for 'B' up to the end of its last band,
// see level_data_end). Asks the file's length through the file-request layer.
#include <unistd.h>

#include "r64/file/r64_geometry.h"

extern "C" {

int r64_check_level(R64_FILE *f, int level) {
    if (!r64::level_exists(f, level)) {
        return 0;
    }
    const uint32_t end = r64::level_data_end(f, level);
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    return length >= static_cast<int64_t>(end) ? 1 : 0;
}

} // extern "C"
