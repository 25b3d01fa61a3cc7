// What jpeg_compress needs from the memory destination manager beyond its public
// calls: the exact number of bytes written so far.
#ifndef R64_IMAGE_JPEG_JPEG_MEMORY_DEST_H
#define R64_IMAGE_JPEG_JPEG_MEMORY_DEST_H

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

namespace r64 {

// Bytes the memory destination installed on cinfo has written; after
// jpeg_finish_compress this is the whole stream, end-of-image marker included.
std::size_t jpeg_memory_dest_written(j_compress_ptr cinfo);

} // namespace r64

#endif
