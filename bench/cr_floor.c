/*
 * The floor of an r64 -> cr conversion on one thread: reading the whole r64 file,
 * then libjpeg-turbo alone encoding every JPEG tile of the cr file made from it
 * (quality 80, 4-byte pixels as the writer hands them) and decoding the tiles above
 * level 0 again, as the writer does. The tiles' pixels are the cr file's own
 * streams decoded beforehand, so the encoder sees what the writer encoded.
 * Usage: cr_floor FILE.r64 FILE.cr [OUT.cr [ROUNDS]]   prints the seconds of the timed
 * part; with OUT.cr it then times cr_write_file converting FILE.r64 into OUT.cr in the
 * same process (the library's own figure, without a tool's start-up and sync) and
 * prints both on one line: floor, then cr_write_file. With ROUNDS the two alternate
 * that many times and the fastest of each is printed, which a busy machine disturbs
 * least.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <fcntl.h>
#include <jpeglib.h>

#include "r64/r64.h"

#define MAX_LEVELS 32

typedef struct {
    int level, w, h;
    unsigned char *px;
} Tile;

static unsigned be(const unsigned char *p, int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

static unsigned char *read_all(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    size_t cap = 1 << 20, n = 0, got;
    unsigned char *buf = malloc(cap);
    while (buf != NULL && (got = fread(buf + n, 1, cap - n, f)) > 0) {
        n += got;
        if (n == cap)
            buf = realloc(buf, cap *= 2);
    }
    fclose(f);
    *size = n;
    return buf;
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static void decode(const unsigned char *data, size_t size, unsigned char *out) {
    struct jpeg_decompress_struct d;
    struct jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data, (unsigned long)size);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_RGBX;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = out + (size_t)d.output_scanline * d.output_width * 4;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

static void quiet(void *user, int kind, long done, long total) {
    (void)user;
    (void)kind;
    (void)done;
    (void)total;
}

/* Seconds that cr_write_file takes to convert r64_path into out, or -1 on failure. */
static double time_cr_write_file(const char *r64_path, const char *out, int rect) {
    R64_FILE *f = r64_open_file(r64_path, O_RDONLY, 0, 0, 0, 0);
    if (f == NULL) {
        return -1;
    }
    const double start = now();
    const int rc = cr_write_file(out, 0644, rect, f);
    const double took = now() - start;
    r64_close_file(f);
    return rc == 0 ? took : -1;
}

static size_t encode(const Tile *t, unsigned char **buf, unsigned long *cap) {
    struct jpeg_compress_struct c;
    struct jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned long size = *cap;
    jpeg_mem_dest(&c, buf, &size);
    c.image_width = (JDIMENSION)t->w;
    c.image_height = (JDIMENSION)t->h;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 80, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = t->px + (size_t)c.next_scanline * t->w * 4;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    if (size > *cap)
        *cap = size;
    return size;
}

/* Seconds of the floor's work: reading the r64 file, encoding every tile and decoding
   those above level 0; -1 when the file cannot be read. */
static double time_floor(const char *r64_path, const Tile *tiles, int n, int rect) {
    const double start = now();
    FILE *f = fopen(r64_path, "rb");
    if (f == NULL) {
        return -1;
    }
    static unsigned char chunk[1 << 20];
    while (fread(chunk, 1, sizeof chunk, f) > 0) {
    }
    fclose(f);
    unsigned long cap = (unsigned long)rect * rect * 4 + 4096;
    unsigned char *stream = malloc(cap);
    unsigned char *back = malloc((size_t)rect * rect * 4);
    for (int i = 0; i < n; ++i) {
        const size_t size = encode(&tiles[i], &stream, &cap);
        if (tiles[i].level > 0)
            decode(stream, size, back);
    }
    const double took = now() - start;
    free(stream);
    free(back);
    return took;
}

int main(int argc, char **argv) {
    if (argc < 3 || argc > 5) {
        fprintf(stderr, "usage: cr_floor FILE.r64 FILE.cr [OUT.cr [ROUNDS]]\n");
        return 1;
    }
    size_t cr_size = 0;
    unsigned char *cr = read_all(argv[2], &cr_size);
    if (cr == NULL || cr_size < 16 || memcmp(cr, "CR", 3) != 0) {
        fprintf(stderr, "cr_floor: %s is not a cr file\n", argv[2]);
        return 1;
    }
    int w = (int)be(cr + 4, 2), h = (int)be(cr + 6, 2), rect = (int)be(cr + 8, 2);
    unsigned records = be(cr + 12, 4);
    Tile *tiles = calloc(records, sizeof *tiles);
    int n = 0;
    unsigned record = 0;
    for (int level = 0; level < MAX_LEVELS && record < records; ++level) {
        for (int y = 0; y < h; y += rect)
            for (int x = 0; x < w; x += rect, ++record) {
                const unsigned char *r = cr + 16 + 12 * (size_t)record;
                if (r[4] != 'j')
                    continue;
                Tile *t = &tiles[n++];
                t->level = level;
                t->w = w - x < rect ? w - x : rect;
                t->h = h - y < rect ? h - y : rect;
                t->px = malloc((size_t)t->w * t->h * 4);
                decode(cr + be(r, 4), be(r + 8, 4), t->px);
            }
        w = (w + 1) / 2;
        h = (h + 1) / 2;
        if (w <= 1 || h <= 1)
            break;
    }

    check_endian();
    r64_init();
    r64_set_progress(quiet, NULL);
    const int rounds = argc == 5 ? atoi(argv[4]) : 1;
    double floor = -1;
    double lib = -1;
    for (int round = 0; round < (rounds > 0 ? rounds : 1); ++round) {
        const double took = time_floor(argv[1], tiles, n, rect);
        if (took < 0) {
            fprintf(stderr, "cr_floor: cannot read %s\n", argv[1]);
            return 1;
        }
        floor = floor < 0 || took < floor ? took : floor;
        if (argc == 3) {
            continue;
        }
        const double lib_took = time_cr_write_file(argv[1], argv[3], rect);
        if (lib_took < 0) {
            fprintf(stderr, "cr_floor: cr_write_file failed: %s\n", r64_strerror(r64_error));
            return 1;
        }
        lib = lib < 0 || lib_took < lib ? lib_took : lib;
    }
    if (argc == 3) {
        printf("%.3f\n", floor);
    } else {
        printf("%.3f %.3f\n", floor, lib);
    }
    return 0;
}
