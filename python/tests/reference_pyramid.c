/*
 * The test's reference for r64.write: a pyramid made through the library's C API
 * alone, level 0 pixel by pixel with r64_set, every further level with r64_new_level
 * or r64_new_level_hifi, each flushed before it serves as a source.
 * Usage: reference_pyramid OUT.r64 TYPE WIDTH HEIGHT average|fourier|none < PIXELS
 * (PIXELS: rows of 3 bytes a pixel for P, 1 for G and B, nonzero a set bit).
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <r64/r64.h>

int main(int argc, char **argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: reference_pyramid OUT TYPE W H average|fourier|none < PIXELS\n");
        return 2;
    }
    const char type = argv[2][0];
    const int w = atoi(argv[3]);
    const int h = atoi(argv[4]);
    const char *filter = argv[5];
    const int bpp = type == 'P' ? 3 : 1;
    check_endian();
    r64_init();
    R64_FILE *f = r64_open_file(argv[1], O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
    if (f == NULL) {
        fprintf(stderr, "open: %d\n", r64_error);
        return 1;
    }
    unsigned char px[3];
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (fread(px, 1, (size_t)bpp, stdin) != (size_t)bpp || r64_set(f, x, y, 0, px) != 0) {
                fprintf(stderr, "pixel (%d, %d): %d\n", x, y, r64_error);
                return 1;
            }
        }
    }
    if (r64_flush(f) != 0) {
        return 1;
    }
    for (int level = 0;
         strcmp(filter, "none") != 0 && level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0;
         ++level) {
        const int rc =
            strcmp(filter, "fourier") == 0 ? r64_new_level_hifi(f, level) : r64_new_level(f, level);
        if (rc != 0 || r64_flush(f) != 0) {
            fprintf(stderr, "level %d: %d\n", level + 1, r64_error);
            return 1;
        }
    }
    return r64_close_file(f) != 0;
}
