// Pictures to import: PNG, JPEG and PNM (PBM, PGM, PPM, raw and plain), each read row
// by row as 8-bit RGB, grey replicated into all three channels and alpha composited
// over a background colour. Damaged or unreadable data throws a ToolError.
#ifndef R64TOOL_IMAGE_SOURCE_H
#define R64TOOL_IMAGE_SOURCE_H

#include <cstdio>
#include <memory>
#include <string>

namespace r64tool {

struct Rgb {
    unsigned char r, g, b;
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
    // The next n rows, 3 bytes a pixel, rows width() * 3 bytes apart.
    virtual void read_rows(unsigned char *rgb, int n) = 0;

  protected:
    int width_ = 0;
    int height_ = 0;
    bool colour_ = false;
    std::string kind_;
};

// Opens a picture by its contents (not its name) and reads its header.
std::unique_ptr<ImageSource> open_image(const std::string &path, Rgb background);

// Format readers; fp is positioned at the start of the file and owned by the reader.
std::unique_ptr<ImageSource> open_png(const std::string &path, std::FILE *fp, Rgb background);
std::unique_ptr<ImageSource> open_jpeg(const std::string &path, std::FILE *fp);
std::unique_ptr<ImageSource> open_pnm(const std::string &path, std::FILE *fp);

// Alpha a over the background byte bg, rounded to nearest.
inline unsigned char composite(unsigned c, unsigned a, unsigned bg) {
    return static_cast<unsigned char>((c * a + bg * (255u - a) + 127u) / 255u);
}

struct FileCloser {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

} // namespace r64tool

#endif
