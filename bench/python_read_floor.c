/*
 * The C floor for bench/python_read.py: a whole level of an r64 file read with one
 * r64_read_block call into a C buffer, REPS times, each time into a fresh malloc'ed
 * buffer (as a numpy result is fresh) or, with "reuse", into one buffer. A fresh
 * buffer is advised for huge pages as numpy advises its large arrays, so that both
 * sides pay the same page faults. Prints one line of seconds per read.
 * Usage: python_read_floor FILE.r64 LEVEL REPS [reuse]
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#include <r64/r64.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* A buffer from malloc, its whole pages advised for huge pages (numpy's large arrays). */
static unsigned char *fresh_buffer(size_t n) {
    unsigned char *p = malloc(n);
    if (p != NULL && n >= ((size_t)4 << 20)) {
        const uintptr_t start = ((uintptr_t)p + 4095) & ~(uintptr_t)4095;
        madvise((void *)start, n - (start - (uintptr_t)p), MADV_HUGEPAGE);
    }
    return p;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: python_read_floor FILE.r64 LEVEL REPS [reuse]\n");
        return 2;
    }
    const int level = atoi(argv[2]);
    const int reps = atoi(argv[3]);
    const int reuse = argc > 4 && strcmp(argv[4], "reuse") == 0;
    check_endian();
    r64_init();
    R64_FILE *f = r64_open_file(argv[1], O_RDONLY, 0, 0, 0, 0);
    if (f == NULL || f->level_ofs[level] == 0) {
        fprintf(stderr, "cannot open %s level %d (%d)\n", argv[1], level, r64_error);
        return 1;
    }
    const int w = f->level_w[level];
    const int h = f->level_h[level];
    const size_t stride = (size_t)w * (f->header.type == 'P' ? 3 : 1);
    unsigned char *kept = reuse ? fresh_buffer(stride * (size_t)h) : NULL;
    for (int i = 0; i < reps; ++i) {
        const double t0 = now();
        unsigned char *buf = reuse ? kept : fresh_buffer(stride * (size_t)h);
        if (buf == NULL || r64_read_block(buf, stride, f, 0, 0, w, h, level) != 0) {
            fprintf(stderr, "read failed (%d)\n", r64_error);
            return 1;
        }
        const double seconds = now() - t0;
        if (!reuse) {
            free(buf);
        }
        printf("%.6f\n", seconds);
    }
    free(kept);
    return r64_close_file(f) != 0;
}
