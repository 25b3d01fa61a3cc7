// The JPEG memory codec's entry points (jpeg_compress, jpeg_uncompress and the bounded
// decode of jpeg_bounded.h), the memory source manager and the callback-driven loader. Relies on
// libjpeg's version-62 interface and the memory destination of jmemorydatadst.cpp. Library errors
// return here through setjmp/longjmp; the frames a longjmp can skip own nothing that needs a
// destructor, and the objects read after a longjmp live in the caller's frame.
#include <array>
#include <bit>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <jerror.h>

#include "image/jpeg/jpeg_bounded.h"
#include "image/jpeg/jpeg_memory_dest.h"
#include "r64/jpeg_mem.h"

namespace {

struct mlibjpg_source_mgr {
    jpeg_source_mgr pub;
    void *stream;
    int size;
    int count; // unused
    boolean start_of_file;
    int passes; // times the whole stream has been handed to the library
};
using mlibjpg_src_ptr = mlibjpg_source_mgr *;

// The stream is handed out again when the library reads past its end, so that a
// stream cut inside its end-of-image marker ends on the start-of-image marker that
// follows. One replay covers that case; needing a third pass means the data ran out.
constexpr int max_source_passes = 2;

mlibjpg_src_ptr memory_src(j_decompress_ptr cinfo) {
    return reinterpret_cast<mlibjpg_src_ptr>(cinfo->src);
}

struct my_error_mgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    void (*standard_emit_message)(j_common_ptr, int);
    void (*standard_error_exit)(j_common_ptr);
};

my_error_mgr *error_mgr(j_common_ptr cinfo) {
    return reinterpret_cast<my_error_mgr *>(cinfo->err);
}

} // namespace

extern "C" {

static void init_source(j_decompress_ptr cinfo) {
    memory_src(cinfo)->start_of_file = TRUE;
}

// Hands the library the whole stream from its first byte, at most max_source_passes
// times. An empty stream and a further pass end decoding through the error exit:
// returning TRUE with no bytes would let the library read outside the stream.
static boolean fill_input_buffer(j_decompress_ptr cinfo) {
    mlibjpg_src_ptr src = memory_src(cinfo);
    if (src->size <= 0 || src->stream == nullptr)
        ERREXIT(cinfo, JERR_INPUT_EMPTY);
    if (src->passes >= max_source_passes)
        ERREXIT(cinfo, JERR_INPUT_EOF);
    ++src->passes;
    src->pub.next_input_byte = static_cast<const JOCTET *>(src->stream);
    src->pub.bytes_in_buffer = static_cast<std::size_t>(src->size);
    src->start_of_file = FALSE;
    return TRUE;
}

static void skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    if (num_bytes <= 0)
        return;
    mlibjpg_src_ptr src = memory_src(cinfo);
    // Each refill counts as a pass, so a skip beyond the data ends in the error exit.
    while (static_cast<std::size_t>(num_bytes) > src->pub.bytes_in_buffer) {
        num_bytes -= static_cast<long>(src->pub.bytes_in_buffer);
        fill_input_buffer(cinfo);
    }
    src->pub.next_input_byte += num_bytes;
    src->pub.bytes_in_buffer -= static_cast<std::size_t>(num_bytes);
}

static void term_source(j_decompress_ptr) {}

void jpeg_memory_src(struct jpeg_decompress_struct *cinfo, void *stream, int stream_size) {
    // Reuse a record only if it is ours: another manager's record may be smaller.
    if (cinfo->src == nullptr || cinfo->src->fill_input_buffer != fill_input_buffer) {
        cinfo->src = static_cast<jpeg_source_mgr *>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(mlibjpg_source_mgr)));
    }
    mlibjpg_src_ptr src = memory_src(cinfo);
    src->pub.init_source = init_source;
    src->pub.fill_input_buffer = fill_input_buffer;
    src->pub.skip_input_data = skip_input_data;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = term_source;
    src->stream = stream;
    src->size = stream_size;
    src->count = 0;
    src->start_of_file = FALSE;
    src->passes = 0;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
}

// Decoding errors return to the loader; nothing is printed and the process goes on.
static void my_error_exit(j_common_ptr cinfo) {
    std::longjmp(error_mgr(cinfo)->jump, 1);
}

// Warnings keep the library's own handling, except once the stream has been handed
// out again: a complaint then (a marker where coded data should be, a resync)
// means the data was cut short, which is an error.
static void my_emit_message(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0 && cinfo->is_decompressor) {
        auto *dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
        if (dinfo->src != nullptr && dinfo->src->fill_input_buffer == fill_input_buffer &&
            memory_src(dinfo)->passes >= max_source_passes)
            my_error_exit(cinfo);
    }
    error_mgr(cinfo)->standard_emit_message(cinfo, msg_level);
}

// Compression keeps the library's fatal-error behaviour (message, process ends),
// except for memory exhaustion, which makes jpeg_compress return null.
static void compress_error_exit(j_common_ptr cinfo) {
    if (cinfo->err->msg_code == JERR_OUT_OF_MEMORY)
        std::longjmp(error_mgr(cinfo)->jump, 1);
    error_mgr(cinfo)->standard_error_exit(cinfo);
}

} // extern "C"

namespace {

void install_error_mgr(my_error_mgr &err, void (*error_exit)(j_common_ptr)) {
    jpeg_std_error(&err.pub);
    err.standard_emit_message = err.pub.emit_message;
    err.standard_error_exit = err.pub.error_exit;
    err.pub.error_exit = error_exit;
}

// ---- loader ----

// How rows of an RGB stream reach the callback's destination.
enum class RgbRows {
    copy,        // through a library row, red, green and blue copied, fourth byte untouched
    direct_zero, // straight into the destination as 4-byte pixels, fourth byte then 0
};

// What a decode may announce before its image is allocated: at most max_w x max_h,
// and no more than the stream's bytes can describe.
struct DecodeLimits {
    JDIMENSION max_w;
    JDIMENSION max_h;
};

// Arithmetic coding can describe a flat picture of any size in a few bytes, so its
// headers cannot be checked against the stream's length; they are held to 16 M pixels
// (64 MiB of 4-byte pixels), far above any tile. The codec itself writes Huffman only.
constexpr std::uint64_t kArithMaxPixels = std::uint64_t{1} << 24;

// Every Huffman-coded 8x8 block of the full-resolution component costs the stream at
// least one bit (its DC code), so a header announcing more such blocks than the stream
// has bits describes data that is not there: decoding it would fill the image with grey
// after allocating all of it. Sizes in 64 bits: 65535 x 65535 x 4 overflows 32.
bool header_fits(const jpeg_decompress_struct &cinfo, const DecodeLimits &limits,
                 int stream_bytes) {
    if (cinfo.image_width > limits.max_w || cinfo.image_height > limits.max_h)
        return false;
    const std::uint64_t w = cinfo.image_width;
    const std::uint64_t h = cinfo.image_height;
    if (cinfo.arith_code)
        return w * h <= kArithMaxPixels;
    const std::uint64_t blocks = ((w + 7) / 8) * ((h + 7) / 8);
    return blocks <= 8 * static_cast<std::uint64_t>(stream_bytes > 0 ? stream_bytes : 0);
}

// State of one loader run, kept in the caller's frame so that it is intact after a
// longjmp out of the library.
struct LoadJob {
    jpeg_decompress_struct cinfo;
    my_error_mgr err;
    bool decoding;                 // header accepted, decompression started
    bool stopped;                  // the read callback ended the loop
    JDIMENSION delivered;          // rows converted into their destination
    const DecodeLimits *limits;    // checked before the header callback when set
    JDIMENSION header_w, header_h; // the header's size, once read
};

// The colour-space table: bpp for the header callback, 0 when the stream is refused.
int header_bpp(const jpeg_decompress_struct &cinfo) {
    switch (cinfo.out_color_space) {
    case JCS_RGB:
        return cinfo.num_components == 3 ? 24 : 0;
    case JCS_CMYK:
        return cinfo.num_components == 4 ? 24 : 0;
    case JCS_GRAYSCALE:
        return cinfo.num_components == 1 ? 8 : 0;
    default:
        return 0;
    }
}

bool ask_header(const jpeg_decompress_struct &cinfo, LoadJPGHeaderCallback header_callback,
                void *data) {
    LoadJPGInfo info{static_cast<int>(cinfo.image_width), static_cast<int>(cinfo.image_height),
                     header_bpp(cinfo), 0, nullptr};
    // The grey palette lives only during the callback, so it lives on the stack.
    std::array<RGB4, 256> grey{};
    if (info.bpp == 8) {
        for (int i = 0; i < 256; ++i) {
            auto v = static_cast<unsigned char>(i);
            grey[i] = RGB4{v, v, v, 0};
        }
        info.palette = grey.data();
        info.num_palette = 256;
    }
    if (info.bpp != 0 && header_callback(&info, data) == 0)
        info.bpp = 0;
    return info.bpp != 0;
}

// The 4-byte pixels' fourth byte, as a mask over a pixel loaded into a uint32_t.
constexpr std::uint32_t fourth_byte_mask =
    std::endian::native == std::endian::little ? 0xFF000000u : 0x000000FFu;

// Sets every fourth byte of a row of 4-byte pixels to 0, sixteen bytes at a time
// (GCC and Clang vector extensions), which keeps this pass cheap next to decoding.
void clear_fourth_bytes(unsigned char *row, JDIMENSION width) {
    using Pixels4 = std::uint32_t __attribute__((vector_size(16)));
    constexpr Pixels4 keep = {~fourth_byte_mask, ~fourth_byte_mask, ~fourth_byte_mask,
                              ~fourth_byte_mask};
    const std::size_t bytes = std::size_t{width} * 4;
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        Pixels4 v;
        std::memcpy(&v, row + i, 16);
        v &= keep;
        std::memcpy(row + i, &v, 16);
    }
    for (; i < bytes; i += 4)
        row[i + 3] = 0;
}

void convert_row(const jpeg_decompress_struct &cinfo, const JSAMPLE *src, unsigned char *dst) {
    const int step = cinfo.output_components;
    switch (cinfo.out_color_space) {
    case JCS_RGB:
        for (JDIMENSION i = 0; i < cinfo.output_width; ++i, src += step, dst += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
        break;
    case JCS_CMYK:
        for (JDIMENSION i = 0; i < cinfo.output_width; ++i, src += step, dst += 4) {
            const unsigned k = src[3];
            dst[0] = static_cast<unsigned char>(src[0] * k / 255);
            dst[1] = static_cast<unsigned char>(src[1] * k / 255);
            dst[2] = static_cast<unsigned char>(src[2] * k / 255);
        }
        break;
    default: // JCS_GRAYSCALE
        std::memcpy(dst, src, cinfo.output_width);
        break;
    }
}

// The loader proper. Everything it changes after setjmp lives in job; it returns 1
// when every row was delivered or the read callback stopped, 0 otherwise.
int run_loader(LoadJob &job, void *memory, int memory_size, LoadJPGHeaderCallback header_callback,
               LoadJPGReadCallback read_callback, void *data, RgbRows rgb_rows) {
    j_decompress_ptr cinfo = &job.cinfo;
    if (setjmp(job.err.jump)) {
        // A library error: rows already delivered stay delivered. An error after the
        // last row (a stream cut inside its end-of-image marker) is still a success.
        return job.decoding && (job.stopped || job.delivered == cinfo->output_height) ? 1 : 0;
    }
    jpeg_create_decompress(cinfo);
    jpeg_memory_src(cinfo, memory, memory_size);
    jpeg_read_header(cinfo, TRUE);
    job.header_w = cinfo->image_width;
    job.header_h = cinfo->image_height;
    if (job.limits != nullptr && !header_fits(*cinfo, *job.limits, memory_size))
        return 0;
    if (!ask_header(*cinfo, header_callback, data))
        return 0;

#ifdef JCS_EXTENSIONS
    // RGB rows straight from the library as 4-byte pixels when the caller allows it.
    const bool direct = rgb_rows == RgbRows::direct_zero && cinfo->out_color_space == JCS_RGB;
    if (direct)
        cinfo->out_color_space = JCS_EXT_RGBX;
#else
    const bool direct = false; // without 4-byte pixel formats every row is copied
    (void)rgb_rows;
#endif
    jpeg_start_decompress(cinfo);
    job.decoding = true;
    JSAMPARRAY library_row =
        direct ? nullptr
               : (*cinfo->mem->alloc_sarray)(
                     reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                     cinfo->output_width * static_cast<JDIMENSION>(cinfo->output_components), 1);
    while (cinfo->output_scanline < cinfo->output_height) {
        unsigned char *dst = read_callback(static_cast<int>(cinfo->output_scanline), data);
        if (dst == nullptr) {
            job.stopped = true;
            break;
        }
        if (direct) {
            JSAMPROW row = dst;
            jpeg_read_scanlines(cinfo, &row, 1);
            // The library sets the fourth byte to 0xFF; the destination held 0 there.
            clear_fourth_bytes(dst, cinfo->output_width);
        } else {
            jpeg_read_scanlines(cinfo, library_row, 1);
            convert_row(*cinfo, library_row[0], dst);
        }
        ++job.delivered;
    }
    // With rows left unread the library refuses to finish; destroying aborts instead.
    if (!job.stopped)
        jpeg_finish_decompress(cinfo);
    return 1;
}

int load_jpg(LoadJob &job, void *memory, int memory_size, LoadJPGHeaderCallback header_callback,
             LoadJPGReadCallback read_callback, void *data, RgbRows rgb_rows) {
    if (header_callback == nullptr || read_callback == nullptr)
        return 0;
    install_error_mgr(job.err, my_error_exit);
    job.err.pub.emit_message = my_emit_message;
    job.cinfo.err = &job.err.pub;
    int result =
        run_loader(job, memory, memory_size, header_callback, read_callback, data, rgb_rows);
    jpeg_destroy_decompress(&job.cinfo);
    return result;
}

// jpeg_uncompress within limits. HeaderCallback's image is calloc'ed, so its rows may
// take the library's 4-byte pixels directly as long as the fourth byte is put back to 0.
// The sizes reported are those of the image made (0 when none was); a refused
// header's size is left in job.
unsigned char *uncompress_within(LoadJob &job, int *ret_width, int *ret_height,
                                 unsigned char *jpeg_data, int jpeg_length,
                                 const DecodeLimits &limits) {
    CallbackInfo info{};
    job.limits = &limits;
    const int loaded = load_jpg(job, jpeg_data, jpeg_length, HeaderCallback, ReadCallback, &info,
                                RgbRows::direct_zero);
    *ret_width = info.width;
    *ret_height = info.height;
    if (loaded == 0) {
        std::free(info.dib);
        return nullptr;
    }
    return info.dib;
}

// ---- compressor ----

struct CompressJob {
    jpeg_compress_struct cinfo;
    my_error_mgr err;
    unsigned char *out; // published by the destination manager
};

// Returns the stream's length, or 0 when memory ran out (job.out then still owned).
std::size_t run_compress(CompressJob &job, const unsigned char *pixels, int width, int height,
                         int quality) {
    j_compress_ptr cinfo = &job.cinfo;
    if (setjmp(job.err.jump))
        return 0;
    jpeg_create_compress(cinfo);
    jpeg_memory_dest(cinfo, &job.out, nullptr);
    cinfo->image_width = static_cast<JDIMENSION>(width);
    cinfo->image_height = static_cast<JDIMENSION>(height);
#ifdef JCS_EXTENSIONS
    // The library reads the 4-byte pixels in place and ignores the fourth byte.
    cinfo->input_components = 4;
    cinfo->in_color_space = JCS_EXT_RGBX;
#else
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
#endif
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    const std::size_t stride = std::size_t{cinfo->image_width} * 4;
#ifndef JCS_EXTENSIONS
    JSAMPARRAY rgb_row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                     JPOOL_IMAGE, cinfo->image_width * 3, 1);
#endif
    while (cinfo->next_scanline < cinfo->image_height) {
        const unsigned char *pixel_row = pixels + cinfo->next_scanline * stride;
#ifdef JCS_EXTENSIONS
        JSAMPROW row = const_cast<JSAMPROW>(pixel_row);
        jpeg_write_scanlines(cinfo, &row, 1);
#else
        for (JDIMENSION i = 0; i < cinfo->image_width; ++i)
            std::memcpy(rgb_row[0] + 3 * std::size_t{i}, pixel_row + 4 * std::size_t{i}, 3);
        jpeg_write_scanlines(cinfo, rgb_row, 1);
#endif
    }
    jpeg_finish_compress(cinfo);
    return r64::jpeg_memory_dest_written(cinfo);
}

} // namespace

extern "C" {

int LoadJPGFromMemory(void *memory, int memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void *data) {
    LoadJob job{};
    return load_jpg(job, memory, memory_size, header_callback, read_callback, data, RgbRows::copy);
}

int HeaderCallback(LoadJPGInfo *info, void *data) {
    if (info->bpp != 24)
        return 0;
    auto *cb = static_cast<CallbackInfo *>(data);
    cb->dib = static_cast<unsigned char *>(
        std::calloc(std::size_t(info->width) * std::size_t(info->height), 4));
    cb->width = info->width;
    cb->height = info->height;
    return cb->dib != nullptr ? 1 : 0;
}

unsigned char *ReadCallback(int line_number, void *data) {
    auto *cb = static_cast<CallbackInfo *>(data);
    return cb->dib + std::size_t(cb->width) * std::size_t(line_number) * 4;
}

unsigned char *jpeg_compress(int *ret_jpeg_length, unsigned char *rgb_32bit_data, int image_width,
                             int image_height, int quality) {
    CompressJob job{};
    install_error_mgr(job.err, compress_error_exit);
    job.cinfo.err = &job.err.pub;
    std::size_t length = run_compress(job, rgb_32bit_data, image_width, image_height, quality);
    jpeg_destroy_compress(&job.cinfo);
    // The reported length is the whole stream, taken after finishing.
    if (length == 0 || length > INT_MAX) {
        std::free(job.out);
        *ret_jpeg_length = 0;
        return nullptr;
    }
    *ret_jpeg_length = static_cast<int>(length);
    return job.out;
}

// Any size the format allows, as long as the stream can describe it (header_fits).
unsigned char *jpeg_uncompress(int *ret_width, int *ret_height, unsigned char *jpeg_data,
                               int jpeg_length) {
    constexpr DecodeLimits any_size{JPEG_MAX_DIMENSION, JPEG_MAX_DIMENSION};
    LoadJob job{};
    return uncompress_within(job, ret_width, ret_height, jpeg_data, jpeg_length, any_size);
}

} // extern "C"

unsigned char *r64::jpeg_uncompress_bounded(int *ret_width, int *ret_height,
                                            unsigned char *jpeg_data, int jpeg_length, int max_w,
                                            int max_h) {
    const DecodeLimits limits{static_cast<JDIMENSION>(max_w > 0 ? max_w : 0),
                              static_cast<JDIMENSION>(max_h > 0 ? max_h : 0)};
    LoadJob job{};
    unsigned char *image =
        uncompress_within(job, ret_width, ret_height, jpeg_data, jpeg_length, limits);
    if (image == nullptr && job.header_w != 0) {
        *ret_width = static_cast<int>(job.header_w);
        *ret_height = static_cast<int>(job.header_h);
    }
    return image;
}
