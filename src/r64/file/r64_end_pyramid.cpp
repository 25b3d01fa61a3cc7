// Ending a streaming pyramid: success only when every level-0 row was given and every
// band of every level was written; the writer is released in every case and the
// handle stays with the caller. Ends the run's progress (the default prints "\n").
#include <cstdio>
#include <memory>

#include "r64/file/pyramid_writer.h"
#include "r64/file/r64_progress.h"

extern "C" {

int r64_end_pyramid(R64_PYRAMID *p) {
    if (p == nullptr) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    const std::unique_ptr<r64_pyramid> own(p);
    const long done = p->level[0].rows_done;
    const long total = p->level[0].h;
    r64::report(R64_PROGRESS_DONE, done, total, [] { std::printf("\n"); });
    if (p->error != 0) {
        r64_error = p->error;
        return -1;
    }
    if (done != total) {
        r64_error = R64_ERR_NO_LEVEL_SOURCE;
        return -1;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
