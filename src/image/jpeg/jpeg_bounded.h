// The decode path for callers that know the picture size a stream must hold (the cr
// tile readers): a header larger than that is refused before any pixel memory is taken.
// Implemented in jpeg.cpp beside the public jpeg_uncompress.
#ifndef R64_SRC_JPEG_BOUNDED_H
#define R64_SRC_JPEG_BOUNDED_H

namespace r64 {

// As jpeg_uncompress (a calloc'ed image of width x height x 4 bytes, or null), but a
// stream whose header is wider than max_w or taller than max_h is refused: null, with
// *ret_width and *ret_height set to the header's size so that callers can say why.
unsigned char *jpeg_uncompress_bounded(int *ret_width, int *ret_height, unsigned char *jpeg_data,
                                       int jpeg_length, int max_w, int max_h);

} // namespace r64

#endif
