// JPEG and PNG encoding into memory. Both libraries report errors by longjmp: each
// setjmp sits in a leaf function that owns nothing, and the structures and buffers are
// released by the RAII holders of the callers.
#include "encode.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "../png_errors.h"

namespace r64serve {
namespace {

struct JpegErrors {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void serve_jpeg_error_to_jump(j_common_ptr c) {
    auto *e = reinterpret_cast<JpegErrors *>(c->err);
    c->err->format_message(c, e->message);
    std::longjmp(e->jump, 1);
}

struct JpegCompressor {
    jpeg_compress_struct c{};
    JpegErrors err{};
    unsigned char *out = nullptr; // malloc'ed by jpeg_mem_dest
    unsigned long size = 0;
    ~JpegCompressor() {
        jpeg_destroy_compress(&c);
        std::free(out);
    }
};

bool jpeg_guarded(JpegCompressor *j, const Pixels *p, int quality) {
    if (setjmp(j->err.jump) != 0) {
        return false;
    }
    jpeg_create_compress(&j->c);
    jpeg_mem_dest(&j->c, &j->out, &j->size);
    j->c.image_width = static_cast<JDIMENSION>(p->w);
    j->c.image_height = static_cast<JDIMENSION>(p->h);
    j->c.input_components = p->channels;
    j->c.in_color_space = p->channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&j->c);
    jpeg_set_quality(&j->c, quality, TRUE);
    jpeg_start_compress(&j->c, TRUE);
    const std::size_t stride = static_cast<std::size_t>(p->w) * p->channels;
    while (j->c.next_scanline < j->c.image_height) {
        auto row = const_cast<JSAMPROW>(p->data.data() + stride * j->c.next_scanline);
        jpeg_write_scanlines(&j->c, &row, 1);
    }
    jpeg_finish_compress(&j->c);
    return true;
}

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    r64tool::PngErrors err{};
    std::string out;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

extern "C" void serve_png_append(png_structp png, png_bytep data, png_size_t n) {
    auto *w = static_cast<PngWriter *>(png_get_io_ptr(png));
    bool grown = true;
    try {
        w->out.append(reinterpret_cast<const char *>(data), n);
    } catch (const std::bad_alloc &) {
        grown = false; // no exception may cross libpng's frames
    }
    if (!grown) {
        png_error(png, "out of memory");
    }
}

extern "C" void serve_png_no_flush(png_structp) {}

bool png_guarded(PngWriter *w, const Pixels *p, png_bytep *rows, bool one_bit) {
    if (setjmp(w->err.jump) != 0) {
        return false;
    }
    png_set_write_fn(w->png, w, serve_png_append, serve_png_no_flush);
    png_set_IHDR(w->png, w->info, static_cast<png_uint_32>(p->w), static_cast<png_uint_32>(p->h),
                 one_bit ? 1 : 8, p->channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // zlib level 3: tiles are small and latency matters more than the last bytes.
    png_set_compression_level(w->png, 3);
    png_write_info(w->png, w->info);
    if (one_bit) {
        png_set_packing(w->png);
    }
    png_write_image(w->png, rows);
    png_write_end(w->png, w->info);
    return true;
}

} // namespace

std::optional<std::string> encode_jpeg(const Pixels &p, int quality, std::string *why) {
    JpegCompressor j;
    j.c.err = jpeg_std_error(&j.err.mgr);
    j.err.mgr.error_exit = serve_jpeg_error_to_jump;
    if (!jpeg_guarded(&j, &p, quality)) {
        *why = std::string("JPEG encoding failed: ") + j.err.message;
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char *>(j.out), j.size);
}

std::optional<std::string> encode_png(const Pixels &p, bool one_bit, std::string *why) {
    PngWriter w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &w.err, r64tool::png_error_to_jump,
                                    r64tool::png_warning_ignored);
    w.info = w.png == nullptr ? nullptr : png_create_info_struct(w.png);
    if (w.info == nullptr) {
        *why = "out of memory";
        return std::nullopt;
    }
    // 1-bit: one byte a pixel, 0 or 1, packed by libpng.
    std::vector<std::uint8_t> bits;
    const std::uint8_t *base = p.data.data();
    if (one_bit) {
        bits.resize(p.data.size());
        for (std::size_t i = 0; i < bits.size(); ++i) {
            bits[i] = p.data[i] != 0 ? 1 : 0;
        }
        base = bits.data();
    }
    std::vector<png_bytep> rows(static_cast<std::size_t>(p.h));
    const std::size_t stride = static_cast<std::size_t>(p.w) * p.channels;
    for (int y = 0; y < p.h; ++y) {
        rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(base + stride * y);
    }
    w.out.reserve(stride * p.h / 2 + 1024);
    if (!png_guarded(&w, &p, rows.data(), one_bit)) {
        *why = std::string("PNG encoding failed: ") + w.err.message;
        return std::nullopt;
    }
    return std::move(w.out);
}

} // namespace r64serve
