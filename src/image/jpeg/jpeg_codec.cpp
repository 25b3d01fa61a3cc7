// The reusable tile codec of jpeg_codec.h: the growable stream buffer, the
// destination and source managers over it, and the encode and decode calls. Library
// errors return through longjmp to the setjmp in run_encode and run_decode, whose
// frames own nothing; the codec object is then reset with jpeg_abort for the next
// tile. Warnings print nothing (the codec may run on worker threads).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "image/jpeg/jpeg_codec.h"

namespace r64 {

ByteBuffer::~ByteBuffer() {
    std::free(data_);
}

bool ByteBuffer::reserve(std::size_t n) {
    if (n <= capacity_) {
        return true;
    }
    auto *grown = static_cast<unsigned char *>(std::realloc(data_, n));
    if (grown == nullptr) {
        return false;
    }
    data_ = grown;
    capacity_ = n;
    return true;
}

namespace {

// Rows handed to libjpeg per call.
constexpr int kRowBatch = 16;

// Points rows at the next batch of an image's rows, from row first of height rows of
// stride bytes at pixels; the number of rows in the batch.
JDIMENSION row_batch(unsigned char *pixels, std::size_t stride, JDIMENSION first, JDIMENSION height,
                     JSAMPROW rows[kRowBatch]) {
    const JDIMENSION n = std::min<JDIMENSION>(kRowBatch, height - first);
    for (JDIMENSION r = 0; r < n; ++r) {
        rows[r] = pixels + (first + r) * stride;
    }
    return n;
}

JpegErrorJump *error_jump(j_common_ptr cinfo) {
    return reinterpret_cast<JpegErrorJump *>(cinfo->err);
}

// Sets every fourth byte of n 4-byte pixels to 0.
void clear_fourth_bytes(unsigned char *px, std::size_t n) {
    constexpr std::uint32_t keep =
        std::endian::native == std::endian::little ? 0x00FFFFFFu : 0xFFFFFF00u;
    for (std::size_t i = 0; i < n; ++i, px += 4) {
        std::uint32_t v;
        std::memcpy(&v, px, 4);
        v &= keep;
        std::memcpy(px, &v, 4);
    }
}

} // namespace

extern "C" {

static void codec_error_exit(j_common_ptr cinfo) {
    std::longjmp(error_jump(cinfo)->jump, 1);
}

// A compressor's warnings are dropped; a decompressor's mean damaged data.
static void codec_emit_message(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0 && cinfo->is_decompressor) {
        codec_error_exit(cinfo);
    }
}

static void codec_output_message(j_common_ptr) {}

// ---- destination: the caller's ByteBuffer ----

static ByteBuffer &destination_buffer(j_compress_ptr cinfo) {
    return *reinterpret_cast<JpegBufferDestination *>(cinfo->dest)->out;
}

static void init_destination(j_compress_ptr cinfo) {
    ByteBuffer &out = destination_buffer(cinfo);
    // A tile's stream is mostly well under a byte a pixel; the buffer grows otherwise.
    const std::size_t guess = std::size_t{cinfo->image_width} * cinfo->image_height + 1024;
    if (!out.reserve(std::max<std::size_t>(guess, 4096))) {
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
    out.set_size(0);
    cinfo->dest->next_output_byte = out.data();
    cinfo->dest->free_in_buffer = out.capacity();
}

// The buffer is full: doubles it, keeping what was written.
static boolean empty_output_buffer(j_compress_ptr cinfo) {
    ByteBuffer &out = destination_buffer(cinfo);
    const std::size_t used = out.capacity();
    if (used > SIZE_MAX / 2 || !out.reserve(used * 2)) {
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    }
    cinfo->dest->next_output_byte = out.data() + used;
    cinfo->dest->free_in_buffer = out.capacity() - used;
    return TRUE;
}

static void term_destination(j_compress_ptr cinfo) {
    ByteBuffer &out = destination_buffer(cinfo);
    out.set_size(out.capacity() - cinfo->dest->free_in_buffer);
}

// ---- source: one stream in memory, all of it handed over at once ----

static void init_source(j_decompress_ptr) {}

// Asked for more: the stream ended before the image did.
static boolean fill_input_buffer(j_decompress_ptr cinfo) {
    ERREXIT(cinfo, JERR_INPUT_EOF);
    return FALSE;
}

static void skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    if (num_bytes <= 0) {
        return;
    }
    if (static_cast<unsigned long>(num_bytes) > cinfo->src->bytes_in_buffer) {
        ERREXIT(cinfo, JERR_INPUT_EOF);
    }
    cinfo->src->next_input_byte += num_bytes;
    cinfo->src->bytes_in_buffer -= static_cast<std::size_t>(num_bytes);
}

static void term_source(j_decompress_ptr) {}

} // extern "C"

namespace {

void install_errors(JpegErrorJump &err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = codec_error_exit;
    err.pub.emit_message = codec_emit_message;
    err.pub.output_message = codec_output_message;
}

bool create_compress(jpeg_compress_struct &cinfo, JpegErrorJump &err) {
    if (setjmp(err.jump)) {
        return false;
    }
    jpeg_create_compress(&cinfo);
    return true;
}

bool create_decompress(jpeg_decompress_struct &cinfo, JpegErrorJump &err) {
    if (setjmp(err.jump)) {
        return false;
    }
    jpeg_create_decompress(&cinfo);
    return true;
}

// The tables are set once per quality: libjpeg keeps them from one image to the next.
bool run_encode(jpeg_compress_struct &cinfo, JpegErrorJump &err, int &tables_quality,
                const unsigned char *pixels, int w, int h, int quality, int pixel_bytes) {
    if (setjmp(err.jump)) {
        return false;
    }
    // Pixels are read in place where the library knows their layout (4-byte ones
    // with their fourth byte ignored); both layouts give the same stream.
    bool in_place = pixel_bytes == 3;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
#ifdef JCS_EXTENSIONS
    if (pixel_bytes == 4) {
        in_place = true;
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_EXT_RGBX;
    }
#endif
    if (tables_quality != quality) {
        tables_quality = -1;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
        tables_quality = quality;
    }
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t stride = static_cast<std::size_t>(w) * static_cast<std::size_t>(pixel_bytes);
    if (in_place) {
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW rows[kRowBatch];
            const JDIMENSION n = row_batch(const_cast<unsigned char *>(pixels), stride,
                                           cinfo.next_scanline, cinfo.image_height, rows);
            jpeg_write_scanlines(&cinfo, rows, n);
        }
    } else {
        JSAMPARRAY rgb = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                    JPOOL_IMAGE, cinfo.image_width * 3, 1);
        while (cinfo.next_scanline < cinfo.image_height) {
            const unsigned char *src = pixels + cinfo.next_scanline * stride;
            for (JDIMENSION i = 0; i < cinfo.image_width; ++i) {
                std::memcpy(rgb[0] + 3 * std::size_t{i}, src + 4 * std::size_t{i}, 3);
            }
            jpeg_write_scanlines(&cinfo, rgb, 1);
        }
    }
    jpeg_finish_compress(&cinfo);
    return true;
}

bool run_decode(jpeg_decompress_struct &cinfo, JpegErrorJump &err, int w, int h, unsigned char *out,
                int pixel_bytes) {
    if (setjmp(err.jump)) {
        return false;
    }
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        return false;
    }
    // Refused here, before jpeg_start_decompress sizes anything by the header.
    if (cinfo.image_width != static_cast<JDIMENSION>(w) ||
        cinfo.image_height != static_cast<JDIMENSION>(h) || cinfo.num_components != 3 ||
        cinfo.out_color_space != JCS_RGB) {
        return false;
    }
    const std::size_t stride = static_cast<std::size_t>(w) * static_cast<std::size_t>(pixel_bytes);
    bool in_place = pixel_bytes == 3;
#ifdef JCS_EXTENSIONS
    if (pixel_bytes == 4) {
        in_place = true;
        cinfo.out_color_space = JCS_EXT_RGBX;
    }
#endif
    jpeg_start_decompress(&cinfo);
    if (in_place) {
        while (cinfo.output_scanline < cinfo.output_height) {
            JSAMPROW rows[kRowBatch];
            const JDIMENSION n =
                row_batch(out, stride, cinfo.output_scanline, cinfo.output_height, rows);
            jpeg_read_scanlines(&cinfo, rows, n);
        }
        if (pixel_bytes == 4) { // the library sets the fourth byte to 0xFF
            clear_fourth_bytes(out, static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        }
    } else {
        JSAMPARRAY rgb = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                    JPOOL_IMAGE, cinfo.output_width * 3, 1);
        while (cinfo.output_scanline < cinfo.output_height) {
            unsigned char *dst = out + cinfo.output_scanline * stride;
            jpeg_read_scanlines(&cinfo, rgb, 1);
            for (JDIMENSION i = 0; i < cinfo.output_width; ++i) {
                std::memcpy(dst + 4 * std::size_t{i}, rgb[0] + 3 * std::size_t{i}, 3);
                dst[4 * std::size_t{i} + 3] = 0;
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

} // namespace

JpegTileEncoder::JpegTileEncoder() {
    install_errors(err_);
    cinfo_.err = &err_.pub;
    created_ = create_compress(cinfo_, err_);
    if (created_) {
        dest_.pub.init_destination = init_destination;
        dest_.pub.empty_output_buffer = empty_output_buffer;
        dest_.pub.term_destination = term_destination;
        cinfo_.dest = &dest_.pub;
    }
}

JpegTileEncoder::~JpegTileEncoder() {
    if (created_) {
        jpeg_destroy_compress(&cinfo_);
    }
}

bool JpegTileEncoder::encode(const unsigned char *pixels, int w, int h, int quality,
                             ByteBuffer &out, int pixel_bytes) {
    out.set_size(0);
    if (!created_ || w < 1 || h < 1 || (pixel_bytes != 3 && pixel_bytes != 4)) {
        return false;
    }
    dest_.out = &out;
    if (!run_encode(cinfo_, err_, quality_, pixels, w, h, quality, pixel_bytes)) {
        jpeg_abort_compress(&cinfo_); // ready for the next tile
        out.set_size(0);
        return false;
    }
    return true;
}

JpegTileDecoder::JpegTileDecoder() {
    install_errors(err_);
    cinfo_.err = &err_.pub;
    created_ = create_decompress(cinfo_, err_);
    if (created_) {
        src_.init_source = init_source;
        src_.fill_input_buffer = fill_input_buffer;
        src_.skip_input_data = skip_input_data;
        src_.resync_to_restart = jpeg_resync_to_restart;
        src_.term_source = term_source;
        cinfo_.src = &src_;
    }
}

JpegTileDecoder::~JpegTileDecoder() {
    if (created_) {
        jpeg_destroy_decompress(&cinfo_);
    }
}

bool JpegTileDecoder::decode(std::span<const unsigned char> stream, int w, int h,
                             unsigned char *out, int pixel_bytes) {
    if (!created_ || w < 1 || h < 1 || stream.empty() || (pixel_bytes != 3 && pixel_bytes != 4)) {
        return false;
    }
    err_.pub.msg_code = 0;
    src_.next_input_byte = stream.data();
    src_.bytes_in_buffer = stream.size();
    const bool ok = run_decode(cinfo_, err_, w, h, out, pixel_bytes);
    if (!ok) {
        jpeg_abort_decompress(&cinfo_); // ready for the next tile
    }
    return ok;
}

bool JpegTileDecoder::out_of_memory() const {
    return !created_ || err_.pub.msg_code == JERR_OUT_OF_MEMORY;
}

} // namespace r64
