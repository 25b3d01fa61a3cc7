// Pictures to import: PNG, JPEG, TIFF and PNM (PBM, PGM, PPM, raw and plain), each read
// row by row in its native layout (one byte a pixel for grey, three for colour) or as
// 8-bit RGB, grey replicated into all three channels; alpha is composited over a
// background colour. Damaged or unreadable data throws a ToolError. Every reader checks
// the picture's size against kMaxSide before it allocates anything for its rows.
#ifndef R64TOOL_IMAGE_SOURCE_H
#define R64TOOL_IMAGE_SOURCE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace r64tool {

// The largest side an r64 file holds.
inline constexpr int kMaxSide = 32767;

struct Rgb {
    unsigned char r, g, b;
    bool grey() const { return r == g && g == b; }
};

class ImageSource {
  public:
    virtual ~ImageSource() = default;
    int width() const { return width_; }
    int height() const { return height_; }
    // Whether the picture has colour (a palette counts as colour); grey otherwise.
    bool colour() const { return colour_; }
    // A short description for the report, such as "PNG 16-bit grey+alpha".
    const std::string &kind() const { return kind_; }
    // Bytes a pixel of read_native: 1 (grey) or 3 (RGB). A grey picture whose alpha is
    // laid over a coloured background arrives as RGB.
    int channels() const { return channels_; }
    // The next n rows in the native layout, rows width() * channels() bytes apart.
    virtual void read_native(unsigned char *rows, int n) = 0;
    // The next n rows as RGB, rows width() * 3 bytes apart.
    void read_rows(unsigned char *rgb, int n);

  protected:
    int width_ = 0;
    int height_ = 0;
    bool colour_ = false;
    int channels_ = 3;
    std::string kind_;
};

// Opens a picture by its contents (not its name) and reads its header.
std::unique_ptr<ImageSource> open_image(const std::string &path, Rgb background);

// Format readers; fp is positioned at the start of the file and owned by the reader.
std::unique_ptr<ImageSource> open_png(const std::string &path, std::FILE *fp, Rgb background);
std::unique_ptr<ImageSource> open_jpeg(const std::string &path, std::FILE *fp);
std::unique_ptr<ImageSource> open_pnm(const std::string &path, std::FILE *fp);
std::unique_ptr<ImageSource> open_tiff(const std::string &path, std::FILE *fp, Rgb background);

// Refuses a picture larger than an r64 file holds, before any row buffer is made.
// The sizes are taken as 64-bit so that no header value can wrap.
void check_side_limits(const std::string &path, std::int64_t width, std::int64_t height);

// Spreads n rows of grey, packed at the start of rows width * 3 bytes apart, into RGB
// in place (from the end back, so nothing is overwritten before it is read).
void grey_to_rgb_in_place(unsigned char *rows, std::size_t width, int n);

// Alpha a over the background byte bg, rounded to nearest.
inline unsigned char composite(unsigned c, unsigned a, unsigned bg) {
    return static_cast<unsigned char>((c * a + bg * (255u - a) + 127u) / 255u);
}

// A 16-bit sample scaled to 8 bits, rounded to nearest (as libpng's scale_16 does).
inline unsigned scale_16(unsigned v) {
    return (v * 255u + 32895u) >> 16;
}

struct FileCloser {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace r64tool

#endif
