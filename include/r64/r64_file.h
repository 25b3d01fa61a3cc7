/*
 * r64 files: an uncompressed raster in 64x64 tiles of 'G' (8-bit grey),
 * 'P' (24-bit colour) or 'B' (1-bit) pixels, with its pyramid of reduced levels
 * in the same file. Pixels are read and written through a per-handle cache of
 * whole tiles; r64_init must run before a file whose pixels are used is opened.
 */
#ifndef R64_R64_FILE_H
#define R64_R64_FILE_H

#include <stddef.h>
#include <stdint.h>
#include "r64/defs.h"

R64_BEGIN_DECLS

#define R64_TILE 64           /* tile edge in pixels */
#define R64_LEVELS 32         /* entries of every level table */
#define R64_CACHE_ENTRIES 320 /* cache entries per handle, the ring's sentinel included */

/* The 8-byte header that opens both formats; host byte order in a handle. */
typedef struct r64_header {
    char preamble[3]; /* "R64" (no terminating zero), or "CR" and a zero byte */
    char type;        /* 'G', 'P' or 'B'; 0 in a cr file */
    int16_t width;
    int16_t height;
} R64_HEADER;
R64_STATIC_ASSERT(sizeof(R64_HEADER) == 8, "R64_HEADER is 8 bytes on disk");

typedef struct r64_cache_ent {
    struct r64_cache_ent *next; /* ring: less recently used side; free list: next */
    struct r64_cache_ent *prev; /* ring: more recently used side */
    int flags;                  /* bit 0: dirty */
    char *buf;                  /* the tile's bytes, packed as in the file */
    int w_ofs;                  /* top-left pixel of the tile within its level */
    int h_ofs;
    unsigned char w_len; /* tile size in pixels, 1 to 64 */
    unsigned char h_len;
    unsigned char level;
} R64_CACHE_ENT;

typedef struct r64_file {
    int fd;
    int fctl; /* O_RDWR when opened read-write, else 0 */
    R64_HEADER header;
    R64_CACHE_ENT *free_list;
    R64_CACHE_ENT cache[R64_CACHE_ENTRIES]; /* cache[0] is the ring's sentinel */
    uint32_t level_ofs[R64_LEVELS];         /* 0 for a level that does not belong */
    int level_w[R64_LEVELS];
    int level_h[R64_LEVELS];
    char background[3];
    char rc_type; /* out-of-level reads: 0 background, 1 nearest edge pixel */
    struct r64_file_priv *priv; /* the library's own state, allocated and freed with the
                                   handle; callers leave it alone */
} R64_FILE;

/* Error codes left in r64_error. */
#define R64_OK 0
#define R64_ERR_IO (-1)
#define R64_ERR_NO_LEVEL_SOURCE (-2)
#define R64_ERR_NOMEM (-3)
#define R64_ERR_SHORT (-4)
#define R64_ERR_FORMAT (-5)
#define R64_ERR_READONLY_TILE (-6)
#define R64_ERR_RANGE (-7)
#define R64_ERR_CTL (-8)
#define R64_ERR_LEVEL (-9)

/* r64_ctl commands */
#define R64_CTL_RC_TYPE 0    /* int argument: 0 or 1 */
#define R64_CTL_BACKGROUND 1 /* pointer argument: 1 or 3 pixel bytes */
/* int argument: 1 (the default) lets the pyramid writer start the write-back of each
   finished band, so that a later sync finds little left; 0 for a scratch file that
   is never synced, whose bands then stay in memory until the system writes them. */
#define R64_CTL_WRITE_BACK 2

extern int r64_error;
extern int ent_len;

void r64_init(void);
R64_FILE *r64_open_file(const char *filename, int ctl, int mode, char filetype, int width,
                        int height);
int r64_check_level(R64_FILE *f, int level);
int r64_ctl(R64_FILE *f, int cmd, ...);
/* The meaning of an r64_error code in a few words ("out of memory"); a static string. */
const char *r64_strerror(int code);
int r64_flush(R64_FILE *f);
/* Writes back dirty tiles, closes and frees the handle. -1 when a write-back failed. */
int r64_close_file(R64_FILE *f);

int r64_red(unsigned char *buf, R64_FILE *f, int w, int h, int level);
int r64_set(R64_FILE *f, int w, int h, int level, const unsigned char *buf);
/* Hands out the cache's own buffer of the tile holding (x, y); not marked dirty. */
int r64_plane(char **data, int *w, int *h, int *size, R64_FILE *f, int x, int y, int level);

/*
 * Bulk pixel access: the rectangle of w x h pixels of level whose top-left is
 * (x, y), through the tile cache, in the caller's buf with one row every stride
 * bytes and 1 byte a pixel for 'G' and 'B' (read as 0x00 or 0xFF; on write any
 * nonzero byte sets the bit), 3 for 'P'. r64_read_block treats pixels outside
 * the level as r64_red does (rc_type). r64_write_block marks every tile it
 * touches dirty, as r64_set does, and fails with -7 without changing anything
 * unless the whole rectangle lies inside the level. Both return 0, or -1 with
 * r64_error set: -9 for a level that does not belong, -7 for a negative size,
 * or the cache's code when a tile cannot be had (the tiles handled before it
 * keep what was read or written).
 */
int r64_read_block(unsigned char *buf, size_t stride, R64_FILE *f, int x, int y, int w, int h,
                   int level);
int r64_write_block(R64_FILE *f, int x, int y, int w, int h, int level, const unsigned char *buf,
                    size_t stride);

/* Level generation: fill level + 1 from level. */
int r64_new_level(R64_FILE *f, int level);
int r64_new_level_lofi(R64_FILE *f, int level);
void write_out(R64_FILE *f, int level, int x, int y);
int r64_new_level_hifi(R64_FILE *f, int level);

/*
 * Streaming pyramid writer: level 0 handed over in rows, top to bottom, and every
 * reduced level made from bands still in memory as the rows arrive. Each level is
 * written band by band in file order with one large write a band; level 0 is never
 * read back, and memory stays at a few bands a level. The file ends up byte for byte
 * as writing level 0, r64_flush, then r64_new_level (or r64_new_level_hifi) and
 * r64_flush for each level in turn leave it, with the handle's rc_type and
 * background. The writer bypasses the tile cache and never takes ownership of f.
 */
typedef struct r64_pyramid R64_PYRAMID; /* opaque */
#define R64_FILTER_AVERAGE 0            /* as r64_new_level */
#define R64_FILTER_FOURIER 1            /* as r64_new_level_hifi */
/* f: a handle just created empty with O_RDWR (r64_init done), nothing written or read
   through it yet; filter: one of the above. Set rc_type and background before. NULL
   with r64_error set: -8 for an unknown filter, a read-only or already used handle,
   -3 without memory. The writer lives until r64_end_pyramid. */
R64_PYRAMID *r64_begin_pyramid(R64_FILE *f, int filter);
/* n rows of level 0, continuing where the last call stopped; bytes as r64_write_block
   takes them (1 byte a pixel for 'G' and 'B' (any nonzero sets the bit), 3 for 'P'),
   one row every stride bytes. Finished bands of every level are written during the
   call. 0, or -1 with r64_error set: -7 (nothing taken) when n is negative or the rows
   would pass the bottom of the image, -1 when a write failed; after a failure every
   further call answers -1 with the same code. */
int r64_write_rows(R64_PYRAMID *p, const unsigned char *rows, size_t stride, int n);
/* Checks that every row was given and every level written, and releases p (always).
   0, or -1 with r64_error set: -2 when rows are missing, or the code of an earlier
   failure. The handle stays open; the caller closes it (and syncs it if it must). */
int r64_end_pyramid(R64_PYRAMID *p);

/*
 * Progress of long operations: level generation (R64_PROGRESS_LEVEL for each block of
 * r64_new_level, R64_PROGRESS_HIFI for each band of r64_new_level_hifi), cr writing
 * (R64_PROGRESS_CR, done and total in pixel bytes), the streaming writer
 * (R64_PROGRESS_ROWS: level-0 rows received of the height) and R64_PROGRESS_DONE at the
 * end of each such run. R64_PROGRESS_READ_ERROR reports a pixel read that failed during
 * an averaging pass (done: the read's result, total: r64_error). For the other kinds
 * done counts up from 0 to total. fn NULL restores the default, which prints the
 * library's progress lines on standard output; a function that does nothing silences
 * them. Process-wide, like r64_error; fn is called on the thread doing the work.
 */
#define R64_PROGRESS_LEVEL 0
#define R64_PROGRESS_HIFI 1
#define R64_PROGRESS_CR 2
#define R64_PROGRESS_ROWS 3
#define R64_PROGRESS_DONE 4
#define R64_PROGRESS_READ_ERROR 5
typedef void (*R64_PROGRESS_FN)(void *user, int kind, long done, long total);
void r64_set_progress(R64_PROGRESS_FN fn, void *user);

R64_END_DECLS

#endif
