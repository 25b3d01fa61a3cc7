// Handing level-0 rows to a streaming pyramid: checks the request against the rows
// still due, then the writer packs, writes and reduces (pyramid_writer.cpp). A failure
// sticks: the pyramid is incomplete and every later call reports the first code.
#include "r64/file/pyramid_writer.h"

extern "C" {

int r64_write_rows(R64_PYRAMID *p, const unsigned char *rows, size_t stride, int n) {
    if (p == nullptr) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    if (p->error != 0) {
        r64_error = p->error;
        return -1;
    }
    if (n < 0 || (n > 0 && rows == nullptr) || n > p->level[0].h - p->level[0].rows_done) {
        r64_error = R64_ERR_RANGE;
        return -1;
    }
    if (p->put_rows(rows, stride, n) != 0) {
        p->error = r64_error != 0 ? r64_error : R64_ERR_IO;
        r64_error = p->error;
        return -1;
    }
    r64_error = R64_OK;
    return 0;
}

} // extern "C"
