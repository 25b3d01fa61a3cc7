/* The public header compiles as C11 and a C program links against the library. */
#include <stdio.h>
#include <stddef.h>
#include <string.h>

#include "r64/r64.h"

_Static_assert(sizeof(R64_HEADER) == 8, "R64_HEADER");
_Static_assert(sizeof(CR_HEADER) == 16, "CR_HEADER");
_Static_assert(sizeof(CR_TBL) == 12, "CR_TBL");
_Static_assert(offsetof(CR_TBL, size) == 8, "CR_TBL.size");
_Static_assert(offsetof(CR_HEADER, cr_tbl_nos) == 12, "CR_HEADER.cr_tbl_nos");
_Static_assert(sizeof(COMPLEX) == 16 && offsetof(COMPLEX, re) == 8, "COMPLEX: im then re");

int main(void) {
    check_endian();
    r64_init();
    if (ent_len != R64_CACHE_ENTRIES || r64_error != 0) {
        fprintf(stderr, "r64_init did not set ent_len\n");
        return 1;
    }
    /* A path that does not exist fails with -1 through the C entry points too. */
    if (r64_open_file("/nonexistent/c_header_test.r64", 0, 0666, 'P', 0, 0) != NULL ||
        r64_error != R64_ERR_IO) {
        fprintf(stderr, "r64_open_file on a missing path\n");
        return 1;
    }
    if (cr_open_file("/nonexistent/c_header_test.cr", 0, 0666, 256, 0, 0) != NULL ||
        r64_error != R64_ERR_IO) {
        fprintf(stderr, "cr_open_file on a missing path\n");
        return 1;
    }
    /* The streaming writer and the progress hook link from C; a null handle is refused. */
    r64_set_progress(NULL, NULL);
    if (r64_begin_pyramid(NULL, R64_FILTER_AVERAGE) != NULL || r64_error != R64_ERR_CTL ||
        r64_end_pyramid(NULL) != -1) {
        fprintf(stderr, "r64_begin_pyramid on a null handle\n");
        return 1;
    }
    /* The threaded cr writer is declared for C and links (threads come with the library). */
    int (*threaded)(const char *, int, int, R64_FILE *, int) = cr_write_file_threads;
    if (threaded == NULL) {
        return 1;
    }
    if (strcmp(r64_strerror(R64_ERR_NOMEM), "out of memory") != 0) {
        fprintf(stderr, "r64_strerror\n");
        return 1;
    }
    puts("c header ok");
    return 0;
}
