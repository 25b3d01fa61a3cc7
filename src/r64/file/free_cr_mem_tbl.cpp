// Release of the data of a tile record handed to a caller.
#include <cstdlib>

#include "r64/r64.h"

extern "C" {

void free_cr_mem_tbl(CR_MEM_TBL *t) {
    free(t->buf);
    t->buf = nullptr;
}

} // extern "C"
