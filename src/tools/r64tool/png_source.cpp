// PNG pictures through libpng: every colour type and bit depth, palettes and
// transparency expanded, 16-bit samples scaled to 8, alpha composited over the
// background. libpng reports errors by longjmp; the setjmp frames below are leaves
// that own nothing, and the reader's destructor releases libpng's structures.
#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

#include <png.h>

#include "cli.h"
#include "png_errors.h"
#include "image_source.h"

namespace r64tool {
namespace {

// Reads the header and sets the transformations to 8-bit grey, grey+alpha, RGB or
// RGBA. Returns the number of interlace passes, or 0 after an error.
int read_header_guarded(png_structp png, png_infop info, PngErrors *err, std::FILE *fp,
                        int *stored_depth, int *stored_type) {
    if (setjmp(err->jump) != 0) {
        return 0;
    }
    png_init_io(png, fp);
    png_read_info(png, info);
    *stored_depth = png_get_bit_depth(png, info);
    *stored_type = png_get_color_type(png, info);
    png_set_expand(png); // palette to RGB, grey below 8 bits to 8, tRNS to alpha
    png_set_scale_16(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return passes;
}

bool read_rows_guarded(png_structp png, PngErrors *err, png_bytep *rows, int n) {
    if (setjmp(err->jump) != 0) {
        return false;
    }
    for (int i = 0; i < n; ++i) {
        png_read_row(png, rows[i], nullptr);
    }
    return true;
}

// libpng's two structures, released together whatever happens after they are made.
struct PngReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    explicit PngReadStructs(PngErrors *err) {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, err, png_error_to_jump,
                                     png_warning_ignored);
        info = png == nullptr ? nullptr : png_create_info_struct(png);
    }
    ~PngReadStructs() { png_destroy_read_struct(&png, &info, nullptr); }
    PngReadStructs(const PngReadStructs &) = delete;
    PngReadStructs &operator=(const PngReadStructs &) = delete;
};

class PngSource final : public ImageSource {
  public:
    PngSource(const std::string &path, std::FILE *fp, Rgb background)
        : path_(path), fp_(fp), bg_(background), structs_(&err_), png_(structs_.png),
          info_(structs_.info) {
        if (info_ == nullptr) {
            fail(path_, "out of memory");
        }
        // Sizes are checked by the caller; let libpng report any the format allows.
        png_set_user_limits(png_, 0x7fffffff, 0x7fffffff);
        int stored_depth = 0;
        int stored_type = 0;
        const int passes =
            read_header_guarded(png_, info_, &err_, fp_.get(), &stored_depth, &stored_type);
        if (passes == 0) {
            fail(path_, std::string("damaged PNG: ") + err_.message);
        }
        const png_uint_32 w = png_get_image_width(png_, info_);
        const png_uint_32 h = png_get_image_height(png_, info_);
        width_ = w > 0x7fffffffu ? 0x7fffffff : static_cast<int>(w);
        height_ = h > 0x7fffffffu ? 0x7fffffff : static_cast<int>(h);
        interlaced_ = passes > 1;
        channels_ = png_get_channels(png_, info_);
        const int type = png_get_color_type(png_, info_);
        colour_ = (type & PNG_COLOR_MASK_COLOR) != 0;
        kind_ = "PNG " + describe(stored_depth, stored_type);
    }

    void read_rows(unsigned char *rgb, int n) override {
        const std::size_t row_bytes = static_cast<std::size_t>(width_) * channels_;
        if (interlaced_) {
            // Interlaced pictures arrive in passes over the whole image: hold it all.
            if (whole_.empty()) {
                whole_.resize(row_bytes * static_cast<std::size_t>(height_));
                std::vector<png_bytep> rows(static_cast<std::size_t>(height_));
                for (int i = 0; i < height_; ++i) {
                    rows[static_cast<std::size_t>(i)] = whole_.data() + row_bytes * i;
                }
                const int passes = png_set_interlace_handling(png_);
                for (int p = 0; p < passes; ++p) {
                    if (!read_rows_guarded(png_, &err_, rows.data(), height_)) {
                        fail(path_, std::string("damaged or truncated PNG: ") + err_.message);
                    }
                }
            }
            for (int i = 0; i < n; ++i) {
                to_rgb(whole_.data() + row_bytes * static_cast<std::size_t>(next_row_ + i),
                       rgb + static_cast<std::size_t>(i) * width_ * 3);
            }
            next_row_ += n;
            return;
        }
        row_.resize(row_bytes);
        png_bytep row = row_.data();
        for (int i = 0; i < n; ++i) {
            if (!read_rows_guarded(png_, &err_, &row, 1)) {
                fail(path_, std::string("damaged or truncated PNG: ") + err_.message);
            }
            to_rgb(row, rgb + static_cast<std::size_t>(i) * width_ * 3);
        }
        next_row_ += n;
    }

  private:
    static std::string describe(int depth, int type) {
        const std::string bits = std::to_string(depth) + "-bit ";
        switch (type) {
        case PNG_COLOR_TYPE_GRAY:
            return bits + "grey";
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return bits + "grey+alpha";
        case PNG_COLOR_TYPE_PALETTE:
            return bits + "palette";
        case PNG_COLOR_TYPE_RGB:
            return bits + "RGB";
        default:
            return bits + "RGBA";
        }
    }

    void to_rgb(const unsigned char *src, unsigned char *dst) const {
        for (int x = 0; x < width_; ++x, dst += 3) {
            const unsigned char *p = src + static_cast<std::size_t>(x) * channels_;
            switch (channels_) {
            case 1:
                dst[0] = dst[1] = dst[2] = p[0];
                break;
            case 2:
                dst[0] = composite(p[0], p[1], bg_.r);
                dst[1] = composite(p[0], p[1], bg_.g);
                dst[2] = composite(p[0], p[1], bg_.b);
                break;
            case 3:
                dst[0] = p[0];
                dst[1] = p[1];
                dst[2] = p[2];
                break;
            default:
                dst[0] = composite(p[0], p[3], bg_.r);
                dst[1] = composite(p[1], p[3], bg_.g);
                dst[2] = composite(p[2], p[3], bg_.b);
                break;
            }
        }
    }

    std::string path_;
    FilePtr fp_;
    Rgb bg_;
    PngErrors err_{};
    PngReadStructs structs_;
    png_structp png_;
    png_infop info_;
    int channels_ = 3;
    bool interlaced_ = false;
    int next_row_ = 0;
    std::vector<unsigned char> row_;
    std::vector<unsigned char> whole_;
};

} // namespace

std::unique_ptr<ImageSource> open_png(const std::string &path, std::FILE *fp, Rgb background) {
    return std::make_unique<PngSource>(path, fp, background);
}

} // namespace r64tool
