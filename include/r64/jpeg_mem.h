/*
 * JPEG memory codec: a tile of 4-byte pixels (red, green, blue, fourth byte;
 * rows top to bottom, no gap) to a baseline JPEG stream in memory and back.
 */
#ifndef R64_JPEG_MEM_H
#define R64_JPEG_MEM_H

#include "r64/defs.h"

R64_BEGIN_DECLS

struct jpeg_compress_struct;
struct jpeg_decompress_struct;

typedef struct rgb4 {
    unsigned char r, g, b, x;
} RGB4;

typedef struct load_jpg_info {
    int width;
    int height;
    int bpp; /* 24 colour, 8 grey */
    int num_palette;
    RGB4 *palette;
} LoadJPGInfo;

typedef int (*LoadJPGHeaderCallback)(LoadJPGInfo *info, void *data);
typedef unsigned char *(*LoadJPGReadCallback)(int line_number, void *data);

typedef struct callback_info {
    unsigned char *dib;
    int width;
    int height;
    int (*callback)(void);
    void *callback_data;
} CallbackInfo;

/* Returns a malloc'ed stream and stores its length; the caller frees it. */
unsigned char *jpeg_compress(int *ret_jpeg_length, unsigned char *rgb_32bit_data,
                             int image_width, int image_height, int quality);
/* Returns a calloc'ed image of width x height x 4 bytes (fourth byte 0), or null: also
 * for a header announcing more pixels than its stream's bytes can code (no image is
 * allocated for it) and when the memory cannot be had. */
unsigned char *jpeg_uncompress(int *ret_width, int *ret_height, unsigned char *jpeg_data,
                               int jpeg_length);
int LoadJPGFromMemory(void *memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void *data);
int HeaderCallback(LoadJPGInfo *info, void *data);
unsigned char *ReadCallback(int line_number, void *data);

void jpeg_memory_dest(struct jpeg_compress_struct *cinfo, unsigned char **ppBuffer,
                      int *pWritten);
int get_jpeg_compressed_size(struct jpeg_compress_struct *cinfo);
void jpeg_memory_src(struct jpeg_decompress_struct *cinfo, void *stream, int stream_size);

R64_END_DECLS

#endif
