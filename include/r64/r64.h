/*
 * r64: tiled, multi-level raster image files.
 *
 * The one public header of the library. Every name it declares has C linkage,
 * and it compiles as C11 and as C++. Buffers the library hands to a caller come
 * from malloc/calloc and are released by the caller with free (a cr tile record
 * with free_cr_mem_tbl).
 */
#ifndef R64_R64_H
#define R64_R64_H

#include "r64/defs.h"
#include "r64/u_file.h"
#include "r64/endian.h"
#include "r64/panic.h"
#include "r64/r64_file.h"
#include "r64/cr_file.h"
#include "r64/jpeg_mem.h"
#include "r64/fft.h"

#endif
