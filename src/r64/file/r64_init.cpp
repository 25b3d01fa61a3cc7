// Library-wide state of the r64 and cr code: the last error code and the number of
// cache entries per open file. r64_init makes tile access possible; without it a
// handle carries only its header and level tables.
#include "r64/r64.h"

extern "C" {

int r64_error = 0;
int ent_len = 0;

void r64_init(void) {
    r64_error = 0;
    ent_len = R64_CACHE_ENTRIES;
}

} // extern "C"
