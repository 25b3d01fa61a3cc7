/* The floor an import is measured against: what reading a picture and writing its
 * whole uncompressed 64-pixel tiled pyramid costs with nothing else in the way. Rows are
 * read (raw PPM with large reads, PNG and JPEG decoded by libpng and libjpeg straight
 * into the band), every level is made by 2x2 means as the rows arrive, each finished
 * band of tiles goes out in one pwrite at its level's place, and the file is fsynced.
 * Also makes the photo-like test pictures of bench/compare.sh.
 *   import_floor IN.{ppm,png,jpg} OUT       the floor
 *   import_floor --make OUT.ppm W H         a photo-like picture: smooth colour
 *                                           gradients, edges and a little noise
 * Built by bench/compare.sh: cc -O2 import_floor.c -lpng -ljpeg */
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <jpeglib.h> /* after stdio.h and stddef.h, which it needs */
#include <png.h>

enum { TILE = 64, MAX_LEVELS = 32 };

struct level {
    int w, h;
    int rows;             /* rows held in band */
    int y;                /* first row of band */
    unsigned char *band;  /* TILE rows, w * 3 bytes each */
    unsigned char *tiles; /* the band as tiles, for the write */
    unsigned char *pending; /* an even row waiting for its partner */
    int has_pending;
    off_t ofs;
};

static struct level levels[MAX_LEVELS];
static int nlevels;
static int out_fd;

static void die(const char *what) {
    perror(what);
    exit(1);
}

static void write_band(struct level *l) {
    const int across = (l->w + TILE - 1) / TILE;
    const size_t tile_bytes = (size_t)TILE * TILE * 3;
    memset(l->tiles, 0, across * tile_bytes);
    for (int t = 0; t < across; ++t) {
        const int x0 = t * TILE, tw = l->w - x0 < TILE ? l->w - x0 : TILE;
        for (int r = 0; r < l->rows; ++r) {
            memcpy(l->tiles + t * tile_bytes + (size_t)r * TILE * 3,
                   l->band + ((size_t)r * l->w + x0) * 3, (size_t)tw * 3);
        }
    }
    const off_t at = l->ofs + (off_t)(l->y / TILE) * across * tile_bytes;
    if (pwrite(out_fd, l->tiles, across * tile_bytes, at) != (ssize_t)(across * tile_bytes)) {
        die("pwrite");
    }
    l->y += l->rows;
    l->rows = 0;
}

static void push_row(int li, const unsigned char *row);

/* Two rows (or one, at an odd bottom) of level li into one row of level li + 1. */
static void reduce(int li, const unsigned char *a, const unsigned char *b) {
    struct level *up = &levels[li + 1];
    unsigned char *dst = up->band + (size_t)up->rows * up->w * 3;
    const int w = levels[li].w;
    for (int x = 0; x < up->w; ++x) {
        const int x1 = 2 * x + 1 < w ? 2 * x + 1 : 2 * x;
        for (int k = 0; k < 3; ++k) {
            const unsigned s = a[6 * x + k] + a[3 * x1 + k] + b[6 * x + k] + b[3 * x1 + k];
            dst[3 * x + k] = (unsigned char)((s + 2) / 4);
        }
    }
    up->rows++;
    if (up->rows == TILE || up->y + up->rows == up->h) {
        /* Its rows pair up into the level above it, then the band goes out. */
        for (int r = 0; r < up->rows && li + 2 < nlevels; ++r) {
            push_row(li + 1, up->band + (size_t)r * up->w * 3);
        }
        write_band(up);
    }
}

/* A row of level li (li >= 1: handed on from the band just finished). */
static void push_row(int li, const unsigned char *row) {
    struct level *l = &levels[li];
    if (!l->has_pending) {
        memcpy(l->pending, row, (size_t)l->w * 3);
        l->has_pending = 1;
        return;
    }
    l->has_pending = 0;
    reduce(li, l->pending, row);
}

static void level0_rows(int n) {
    struct level *l = &levels[0];
    /* The rows are in level 0's band already (read straight into it). */
    for (int r = 0; r < n && nlevels > 1; ++r) {
        const unsigned char *row = l->band + (size_t)(l->rows + r) * l->w * 3;
        if (!l->has_pending) {
            memcpy(l->pending, row, (size_t)l->w * 3);
            l->has_pending = 1;
        } else {
            l->has_pending = 0;
            reduce(0, l->pending, row);
        }
    }
    l->rows += n;
    if (l->rows == TILE || l->y + l->rows == l->h) {
        write_band(l);
    }
}

/* Odd heights: the last row of a level pairs with itself. */
static void finish_levels(void) {
    for (int li = 0; li + 1 < nlevels; ++li) {
        struct level *l = &levels[li];
        if (l->has_pending) {
            l->has_pending = 0;
            reduce(li, l->pending, l->pending);
        }
    }
}

static void setup(int w, int h) {
    off_t ofs = 8;
    for (nlevels = 0; nlevels < MAX_LEVELS; ++nlevels) {
        struct level *l = &levels[nlevels];
        l->w = w;
        l->h = h;
        l->ofs = ofs;
        l->band = malloc((size_t)w * 3 * TILE);
        l->tiles = malloc((size_t)((w + TILE - 1) / TILE) * TILE * TILE * 3);
        l->pending = malloc((size_t)w * 3);
        if (!l->band || !l->tiles || !l->pending) {
            die("malloc");
        }
        ofs += (off_t)((w + TILE - 1) / TILE) * ((h + TILE - 1) / TILE) * TILE * TILE * 3;
        if (w <= 2 || h <= 2) {
            ++nlevels;
            break;
        }
        w = (w + 1) / 2;
        h = (h + 1) / 2;
    }
}

static int ppm_header(FILE *f, int *w, int *h) {
    int maxval = 0;
    return fscanf(f, "P6 %d %d %d", w, h, &maxval) == 3 && maxval == 255 && fgetc(f) != EOF;
}

static void floor_ppm(FILE *f) {
    int w, h;
    if (!ppm_header(f, &w, &h)) {
        fprintf(stderr, "not a raw PPM with maxval 255\n");
        exit(1);
    }
    setup(w, h);
    for (int y = 0; y < h; y += TILE) {
        const int n = h - y < TILE ? h - y : TILE;
        const size_t bytes = (size_t)w * 3 * n;
        if (fread(levels[0].band, 1, bytes, f) != bytes) {
            die("read");
        }
        level0_rows(n);
    }
}

static void floor_png(FILE *f) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        fprintf(stderr, "PNG error\n");
        exit(1);
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    const int w = (int)png_get_image_width(png, info), h = (int)png_get_image_height(png, info);
    setup(w, h);
    for (int y = 0; y < h; y += TILE) {
        const int n = h - y < TILE ? h - y : TILE;
        for (int r = 0; r < n; ++r) {
            png_read_row(png, levels[0].band + (size_t)r * w * 3, NULL);
        }
        level0_rows(n);
    }
    png_destroy_read_struct(&png, &info, NULL);
}

static void floor_jpeg(FILE *f) {
    struct jpeg_decompress_struct c;
    struct jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_stdio_src(&c, f);
    jpeg_read_header(&c, TRUE);
    c.out_color_space = JCS_RGB;
    jpeg_start_decompress(&c);
    const int w = (int)c.output_width, h = (int)c.output_height;
    setup(w, h);
    JSAMPROW rows[TILE];
    for (int y = 0; y < h; y += TILE) {
        const int n = h - y < TILE ? h - y : TILE;
        for (int r = 0; r < n; ++r) {
            rows[r] = levels[0].band + (size_t)r * w * 3;
        }
        for (int done = 0; done < n;) {
            done += (int)jpeg_read_scanlines(&c, rows + done, (JDIMENSION)(n - done));
        }
        level0_rows(n);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
}

/* Photo-like: two smooth colour fields, a few hard edges and small noise, so that PNG
 * and JPEG compress it about as they compress a photograph. */
static int make_picture(const char *path, int w, int h) {
    FILE *f = fopen(path, "wb");
    if (!f) {
        die(path);
    }
    fprintf(f, "P6\n%d %d\n255\n", w, h);
    unsigned char *row = malloc((size_t)w * 3);
    uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double u = (double)x / w, v = (double)y / h;
            seed = seed * 1664525u + 1013904223u;
            const int noise = (int)(seed >> 29) - 4;
            const int edge = ((x / (w / 7 + 1)) + (y / (h / 5 + 1))) % 3 * 30;
            const int c[3] = {(int)(200 * u * (1 - v) + 40 * v) + edge,
                              (int)(120 + 100 * (u - 0.5) * (v - 0.5) * 4) - edge / 2,
                              (int)(60 + 150 * v * v) + edge / 3};
            for (int k = 0; k < 3; ++k) {
                const int s = c[k] + noise;
                row[3 * x + k] = (unsigned char)(s < 0 ? 0 : s > 255 ? 255 : s);
            }
        }
        fwrite(row, 1, (size_t)w * 3, f);
    }
    free(row);
    return fclose(f) == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc == 5 && strcmp(argv[1], "--make") == 0) {
        return make_picture(argv[2], atoi(argv[3]), atoi(argv[4]));
    }
    if (argc != 3) {
        fprintf(stderr, "usage: import_floor IN.{ppm,png,jpg} OUT | --make OUT.ppm W H\n");
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    if (!in) {
        die(argv[1]);
    }
    out_fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0) {
        die(argv[2]);
    }
    const int c = fgetc(in);
    ungetc(c, in);
    if (c == 'P') {
        floor_ppm(in);
    } else if (c == 0x89) {
        floor_png(in);
    } else {
        floor_jpeg(in);
    }
    finish_levels();
    if (fsync(out_fd) != 0 || close(out_fd) != 0) {
        die("fsync");
    }
    fclose(in);
    return 0;
}
