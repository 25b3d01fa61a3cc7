// A JPEG codec for tiles kept across many tiles: one libjpeg compressor and one
// decompressor created once, the stream written into a growable buffer that the
// caller keeps and the pixels decoded straight into the caller's tile, so a tile
// costs no codec set-up and no image-sized allocation. The streams and pixels are
// those of jpeg_compress and jpeg_uncompress. Relies on libjpeg's version-62 API.
#ifndef R64_IMAGE_JPEG_JPEG_CODEC_H
#define R64_IMAGE_JPEG_JPEG_CODEC_H

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <span>

#include <jpeglib.h>

namespace r64 {

// Bytes from malloc that grow with realloc and are reused: the stream of one tile,
// then of the next. Growing never throws; it reports failure instead.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    unsigned char *data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::span<const unsigned char> bytes() const { return {data_, size_}; }
    // At least n bytes of room, the first size() kept; false when there is no memory.
    bool reserve(std::size_t n);
    void set_size(std::size_t n) { size_ = n; } // n is at most capacity()

  private:
    unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// libjpeg's error manager with the jump back into the codec's call.
struct JpegErrorJump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

// The destination manager over a ByteBuffer (jpeg_codec.cpp fills its slots).
struct JpegBufferDestination {
    jpeg_destination_mgr pub;
    ByteBuffer *out;
};

// The objects hold pointers into themselves (libjpeg keeps the address of the error
// and data managers): they are neither copied nor moved.
class JpegTileEncoder {
  public:
    JpegTileEncoder();
    ~JpegTileEncoder();
    JpegTileEncoder(const JpegTileEncoder &) = delete;
    JpegTileEncoder &operator=(const JpegTileEncoder &) = delete;

    // Encodes w x h pixels of pixel_bytes bytes (red, green, blue, and for 4 a byte
    // ignored) as a baseline stream at quality into out, replacing what it held: the
    // bytes jpeg_compress gives (the same for either pixel size). False when memory
    // ran out or libjpeg refused; out then holds nothing.
    bool encode(const unsigned char *pixels, int w, int h, int quality, ByteBuffer &out,
                int pixel_bytes = 4);

  private:
    jpeg_compress_struct cinfo_{};
    JpegErrorJump err_{};
    JpegBufferDestination dest_{};
    bool created_ = false;
    int quality_ = -1; // the quality whose tables cinfo_ holds
};

class JpegTileDecoder {
  public:
    JpegTileDecoder();
    ~JpegTileDecoder();
    JpegTileDecoder(const JpegTileDecoder &) = delete;
    JpegTileDecoder &operator=(const JpegTileDecoder &) = delete;

    // Decodes a colour stream of exactly w x h pixels into out (w x h pixels of
    // pixel_bytes bytes: red, green, blue, and for 4 a fourth byte 0): the pixels
    // jpeg_uncompress gives. A header of another
    // size or colour layout is refused before anything image-sized is allocated;
    // damaged or cut data (any libjpeg warning included) is refused too. False on
    // refusal; out may then hold part of the image.
    bool decode(std::span<const unsigned char> stream, int w, int h, unsigned char *out,
                int pixel_bytes = 4);
    // Whether the last refusal came from memory running out rather than the data.
    bool out_of_memory() const;

  private:
    jpeg_decompress_struct cinfo_{};
    JpegErrorJump err_{};
    jpeg_source_mgr src_{};
    bool created_ = false;
};

} // namespace r64

#endif
