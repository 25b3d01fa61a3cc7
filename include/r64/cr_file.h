/*
 * cr files: the pyramid of an r64 image as independently compressed square
 * tiles, located through a table of fixed-size records. The root tile stores
 * pixels; every other tile stores calibrated differences from the
 * reconstructed level above, stored as-is ('n') or as JPEG ('j').
 */
#ifndef R64_CR_FILE_H
#define R64_CR_FILE_H

#include <stdint.h>
#include "r64/defs.h"
#include "r64/r64_file.h"

R64_BEGIN_DECLS

typedef struct cr_header {
    R64_HEADER h; /* preamble "CR\0", type 0 */
    uint16_t rect_size;
    unsigned char dummy[2];
    uint32_t cr_tbl_nos;
} CR_HEADER;
R64_STATIC_ASSERT(sizeof(CR_HEADER) == 16, "CR_HEADER is 16 bytes on disk");

/* One tile record as it travels to and from the file. */
typedef struct cr_tbl {
    uint32_t ofs; /* 0: the tile has not been written */
    char type;    /* 'n' stored, 'j' JPEG */
    unsigned char cal[3];
    int32_t size;
} CR_TBL;
R64_STATIC_ASSERT(sizeof(CR_TBL) == 12, "CR_TBL is 12 bytes on disk");

/* A tile record whose data is in memory; its holder frees buf with free_cr_mem_tbl. */
typedef struct cr_mem_tbl {
    unsigned char *buf;
    char type;
    unsigned char cal[3];
    uint32_t size;
} CR_MEM_TBL;

typedef struct cr_ent {
    struct cr_ent *next;
    struct cr_ent *prev;
    CR_MEM_TBL b;
    int32_t w_ofs;
    int32_t h_ofs;
    unsigned char w_len;
    unsigned char h_len;
    unsigned char level;
} CR_ENT;

typedef struct cr_file {
    int fd;
    int fctl;
    CR_HEADER header;
    CR_ENT *free_list;
    CR_ENT cache[R64_CACHE_ENTRIES];
    int level_entry[R64_LEVELS]; /* first record of each level; -1 when absent */
    int level_w[R64_LEVELS];
    int level_h[R64_LEVELS];
    uint32_t write_ofs;
} CR_FILE;

/* One reconstructed tile, handed by a tile to its children while writing. */
typedef struct cr_buffer {
    int w_ofs;
    int h_ofs;
    int w_len;
    int h_len;
    unsigned char *buf; /* w_len x h_len pixels of 4 bytes */
} CR_BUFFER;

CR_FILE *cr_open_file(const char *filename, int ctl, int mode, int rect_size, int width,
                      int height);
int cr_close_file(CR_FILE *f);
int cr_check_level(CR_FILE *f, int level);
int get_cr_tbl_nos(CR_FILE *f);
int get_tbl_ofs(CR_FILE *f, int w, int h, int level);
void free_cr_mem_tbl(CR_MEM_TBL *t);

/* Tile reading: b->buf receives a malloc'ed copy; release it with free_cr_mem_tbl. */
int cr_read(CR_MEM_TBL *b, CR_FILE *f, int width, int height, int level);
void delete_cr_ring(CR_ENT *e);
void insert_cr_ring(CR_FILE *f, CR_ENT *e);
void touch_cr_ent(CR_FILE *f, CR_ENT *e);
CR_ENT *new_cr_ent(CR_FILE *f);
void free_cr_ent(CR_FILE *f, CR_ENT *e);
void change_endian_cr_tbl(CR_TBL *tbl);

/* Writing */
extern uint32_t loading_file_size;
extern uint32_t indicate_file_size;
int cr_write_file(const char *filename, int mode, int rect_size, R64_FILE *r64);
/*
 * cr_write_file with the tiles' encoding and decoding spread over threads (1 to
 * 64; below 1 counts as 1, above 64 as 64). With 1 it is cr_write_file: all work
 * on the calling thread. With more, worker threads only compute (differences,
 * JPEG, reconstruction) on a bounded window of tiles; the calling thread reads the
 * r64 file, prints the progress and writes, so r64_error and the file handles stay
 * on the calling thread. The file's bytes are the same whatever the count.
 * Returns 0, or -1 with r64_error as for cr_write_file.
 */
int cr_write_file_threads(const char *filename, int mode, int rect_size, R64_FILE *r64,
                          int threads);
int _cr_write(CR_BUFFER *parent, CR_FILE *f, R64_FILE *r64, int w_ofs, int h_ofs, int level);
unsigned char *none_compress(int *size, unsigned char *src, int w, int h);
unsigned char *none_uncompress(int *w, int *h, unsigned char *src, int size);
unsigned char cr_cal(int cc, char cal);
int cr_inv_cal(int cc, char cal);

/*
 * Decoding: the pixels of any tile of any level, reconstructed from the root
 * down (each tile's parent pixel plus its calibrated difference, limited to
 * 0..255). A decoder keeps up to cache_tiles reconstructed tiles (0 or less: a
 * default sized so that reading a whole level row by row decodes each tile once).
 * cr_open_decoder returns a decoder that the caller releases with
 * cr_close_decoder before closing f; null with r64_error -3 (no memory) or -5
 * (a tile edge above 256).
 */
typedef struct cr_decoder CR_DECODER;
CR_DECODER *cr_open_decoder(CR_FILE *f, int cache_tiles);
void cr_close_decoder(CR_DECODER *d);
/*
 * Returns the tile that holds pixel (x, y) of level as *w x *h pixels of 4 bytes
 * (red, green, blue, 0; rows top to bottom) in a buffer from malloc that the
 * caller frees. Null on failure with r64_error: -9 the level does not exist, -7
 * (x, y) lies outside it, -4 the tile or one above it was never written or its
 * data is cut short, -1 a read failed, -5 a tile's data does not decode to its
 * size, -3 no memory. On success r64_error is 0.
 */
unsigned char *cr_decode_tile(int *w, int *h, CR_DECODER *d, int x, int y, int level);

R64_END_DECLS

#endif
