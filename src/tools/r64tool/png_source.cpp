// PNG pictures through libpng: every colour type and bit depth, palettes and
// transparency expanded, 16-bit samples scaled to 8, alpha composited over the
// background; grey and RGB rows are decoded straight into the caller's rows. libpng
// reports errors by longjmp; the setjmp frames below are leaves that own nothing, and
// the reader's destructor releases libpng's structures.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <png.h>
#include <sys/stat.h>

#include "cli.h"
#include "png_errors.h"
#include "image_source.h"

namespace r64tool {
namespace {

// Reads the header up to the first image data.
bool read_info_guarded(png_structp png, png_infop info, PngErrors *err, std::FILE *fp) {
    if (setjmp(err->jump) != 0) {
        return false;
    }
    png_init_io(png, fp);
    png_read_info(png, info);
    return true;
}

// Sets the transformations to 8-bit grey, grey+alpha, RGB or RGBA; libpng makes its
// row buffers here. Returns the number of interlace passes, or 0 after an error.
int start_rows_guarded(png_structp png, png_infop info, PngErrors *err) {
    if (setjmp(err->jump) != 0) {
        return 0;
    }
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
        // The size is checked here, before libpng makes any row buffer; let libpng
        // report any the format allows.
        png_set_user_limits(png_, 0x7fffffff, 0x7fffffff);
        if (!read_info_guarded(png_, info_, &err_, fp_.get())) {
            fail(path_, std::string("damaged PNG: ") + err_.message);
        }
        const png_uint_32 w = png_get_image_width(png_, info_);
        const png_uint_32 h = png_get_image_height(png_, info_);
        check_side_limits(path_, w, h);
        width_ = static_cast<int>(w);
        height_ = static_cast<int>(h);
        const int stored_depth = png_get_bit_depth(png_, info_);
        const int stored_type = png_get_color_type(png_, info_);
        const int passes = start_rows_guarded(png_, info_, &err_);
        if (passes == 0) {
            fail(path_, std::string("damaged PNG: ") + err_.message);
        }
        interlaced_ = passes > 1;
        decoded_channels_ = png_get_channels(png_, info_);
        const int type = png_get_color_type(png_, info_);
        colour_ = (type & PNG_COLOR_MASK_COLOR) != 0;
        // Grey with alpha stays grey only over a grey background.
        channels_ = decoded_channels_ == 1 || (decoded_channels_ == 2 && bg_.grey()) ? 1 : 3;
        kind_ = "PNG " + describe(stored_depth, stored_type);
    }

    void read_native(unsigned char *out, int n) override {
        const std::size_t row_bytes = static_cast<std::size_t>(width_) * decoded_channels_;
        const std::size_t out_bytes = static_cast<std::size_t>(width_) * channels_;
        if (interlaced_) {
            // Interlaced pictures arrive in passes over the whole image: hold it all.
            if (whole_.empty()) {
                check_interlaced_fits();
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
                to_native(whole_.data() + row_bytes * static_cast<std::size_t>(next_row_ + i),
                          out + out_bytes * static_cast<std::size_t>(i));
            }
            next_row_ += n;
            return;
        }
        if (decoded_channels_ == channels_) {
            // Decoded straight into the caller's rows.
            rows_.resize(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                rows_[static_cast<std::size_t>(i)] = out + out_bytes * static_cast<std::size_t>(i);
            }
            if (!read_rows_guarded(png_, &err_, rows_.data(), n)) {
                fail(path_, std::string("damaged or truncated PNG: ") + err_.message);
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
            to_native(row, out + out_bytes * static_cast<std::size_t>(i));
        }
        next_row_ += n;
    }

  private:
    // Every pixel takes at least one bit of image data and deflate expands at most
    // 1032 times, so a header that claims more pixels than that is refused before the
    // whole picture is held in memory.
    void check_interlaced_fits() const {
        struct stat st {};
        const auto pixels =
            static_cast<std::uint64_t>(width_) * static_cast<std::uint64_t>(height_);
        if (fstat(fileno(fp_.get()), &st) == 0 &&
            pixels > static_cast<std::uint64_t>(st.st_size) * 8u * 1032u + 65536u) {
            fail(path_, "damaged PNG: the header claims more pixels than the file can hold");
        }
    }

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

    // One decoded row into the native layout.
    void to_native(const unsigned char *src, unsigned char *dst) const {
        if (channels_ == 1) {
            for (int x = 0; x < width_; ++x) {
                dst[x] =
                    decoded_channels_ == 1 ? src[x] : composite(src[2 * x], src[2 * x + 1], bg_.r);
            }
            return;
        }
        for (int x = 0; x < width_; ++x, dst += 3) {
            const unsigned char *p = src + static_cast<std::size_t>(x) * decoded_channels_;
            switch (decoded_channels_) {
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
    int decoded_channels_ = 3;
    bool interlaced_ = false;
    int next_row_ = 0;
    std::vector<unsigned char> row_;
    std::vector<png_bytep> rows_;
    std::vector<unsigned char> whole_;
};

} // namespace

std::unique_ptr<ImageSource> open_png(const std::string &path, std::FILE *fp, Rgb background) {
    // The signature, then IHDR's length, name, width and height (big-endian): the size
    // is refused before libpng reads any further.
    FilePtr guard(fp);
    unsigned char head[24] = {};
    if (std::fread(head, 1, sizeof head, fp) == sizeof head &&
        std::memcmp(head + 12, "IHDR", 4) == 0) {
        const auto be32 = [](const unsigned char *p) {
            return std::int64_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
        };
        check_side_limits(path, be32(head + 16), be32(head + 20));
    }
    std::rewind(fp);
    return std::make_unique<PngSource>(path, guard.release(), background);
}

} // namespace r64tool
