// JPEG pictures through libjpeg: grey and colour (YCbCr or RGB) baseline and
// progressive streams, decoded straight into the caller's rows; CMYK is refused. Warnings that mean
// damaged data (a stream cut short, a corrupt segment) are errors, so that a damaged picture is
// never imported half grey. libjpeg reports errors by longjmp; the setjmp frames below are leaves
// that own nothing, and the decoder's destructor releases libjpeg's structures.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "cli.h"
#include "image_source.h"

namespace r64tool {
namespace {

struct JpegErrors {
    jpeg_error_mgr pub; // first, so that the library's err pointer is ours too
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

extern "C" void jpeg_error_to_jump(j_common_ptr cinfo) {
    auto *e = reinterpret_cast<JpegErrors *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->message);
    std::longjmp(e->jump, 1);
}

// Level -1 is a warning; those about the stream's data end the decoding.
extern "C" void jpeg_emit_strict(j_common_ptr cinfo, int level) {
    if (level >= 0) {
        return;
    }
    const int code = cinfo->err->msg_code;
    if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM) {
        return;
    }
    jpeg_error_to_jump(cinfo);
}

struct JpegDecoder {
    jpeg_decompress_struct cinfo{};
    JpegErrors err{};
    ~JpegDecoder() { jpeg_destroy_decompress(&cinfo); }
};

bool open_guarded(JpegDecoder *d, std::FILE *fp) {
    d->cinfo.err = jpeg_std_error(&d->err.pub);
    d->err.pub.error_exit = jpeg_error_to_jump;
    d->err.pub.emit_message = jpeg_emit_strict;
    if (setjmp(d->err.jump) != 0) {
        return false;
    }
    jpeg_create_decompress(&d->cinfo);
    jpeg_stdio_src(&d->cinfo, fp);
    jpeg_read_header(&d->cinfo, TRUE);
    return true;
}

bool start_guarded(JpegDecoder *d, J_COLOR_SPACE out) {
    if (setjmp(d->err.jump) != 0) {
        return false;
    }
    d->cinfo.out_color_space = out;
    jpeg_start_decompress(&d->cinfo);
    return true;
}

bool read_guarded(JpegDecoder *d, JSAMPROW *rows, int n) {
    if (setjmp(d->err.jump) != 0) {
        return false;
    }
    int done = 0;
    while (done < n) {
        done += static_cast<int>(
            jpeg_read_scanlines(&d->cinfo, rows + done, static_cast<JDIMENSION>(n - done)));
    }
    return true;
}

class JpegSource final : public ImageSource {
  public:
    JpegSource(const std::string &path, std::FILE *fp) : path_(path), fp_(fp) {
        if (!open_guarded(&dec_, fp_.get())) {
            fail(path_, std::string("damaged JPEG: ") + dec_.err.message);
        }
        const J_COLOR_SPACE space = dec_.cinfo.jpeg_color_space;
        if (space == JCS_CMYK || space == JCS_YCCK) {
            fail(path_, "CMYK JPEG pictures are not supported");
        }
        colour_ = space != JCS_GRAYSCALE;
        channels_ = colour_ ? 3 : 1;
        // Before the decoder makes its buffers.
        check_side_limits(path_, dec_.cinfo.image_width, dec_.cinfo.image_height);
        if (!start_guarded(&dec_, colour_ ? JCS_RGB : JCS_GRAYSCALE)) {
            fail(path_, std::string("damaged JPEG: ") + dec_.err.message);
        }
        width_ = static_cast<int>(dec_.cinfo.output_width);
        height_ = static_cast<int>(dec_.cinfo.output_height);
        kind_ = std::string("JPEG ") + (colour_ ? "colour" : "grey") +
                (dec_.cinfo.progressive_mode ? " progressive" : "");
    }

    void read_native(unsigned char *out, int n) override {
        const std::size_t row_bytes = static_cast<std::size_t>(width_) * channels_;
        rows_.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            rows_[static_cast<std::size_t>(i)] = out + row_bytes * static_cast<std::size_t>(i);
        }
        if (!read_guarded(&dec_, rows_.data(), n)) {
            fail(path_, std::string("damaged or truncated JPEG: ") + dec_.err.message);
        }
    }

  private:
    std::string path_;
    FilePtr fp_;
    JpegDecoder dec_;
    std::vector<JSAMPROW> rows_;
};

} // namespace

std::unique_ptr<ImageSource> open_jpeg(const std::string &path, std::FILE *fp) {
    return std::make_unique<JpegSource>(path, fp);
}

} // namespace r64tool
