// TIFF pictures through libtiff (the first image of the file, TIFF or BigTIFF). Striped
// and tiled, 1 to 16 bits a sample, grey, RGB and palette with or without alpha are
// read here: 8-bit grey and RGB straight into the caller's rows, tiled pictures one row
// of tiles at a time so that memory stays flat. Everything else libtiff can turn into
// RGBA (YCbCr, CMYK, separate planes...) goes through its RGBA reader; the rest is
// refused. libtiff's messages are collected here, never printed.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <tiffio.h>

#include "cli.h"
#include "image_source.h"

namespace r64tool {
namespace {

// The most a row of tiles may take in memory.
constexpr std::uint64_t kMaxTileRowBytes = std::uint64_t{512} << 20;

struct TiffMessages {
    std::string first_error;
};

extern "C" int tiff_error_kept(TIFF *, void *user, const char *module, const char *fmt,
                               va_list ap) {
    auto *m = static_cast<TiffMessages *>(user);
    if (m->first_error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        m->first_error = module != nullptr && *module != '\0' ? std::string(module) + ": " + text
                                                              : std::string(text);
    }
    return 1;
}

extern "C" int tiff_warning_ignored(TIFF *, void *, const char *, const char *, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF *t) const { TIFFClose(t); }
};
struct OptionsFree {
    void operator()(TIFFOpenOptions *o) const { TIFFOpenOptionsFree(o); }
};
struct RgbaImageEnd {
    void operator()(TIFFRGBAImage *img) const { TIFFRGBAImageEnd(img); }
};

// Premultiplied colour c with alpha a over the background byte bg.
inline unsigned char over_premultiplied(unsigned c, unsigned a, unsigned bg) {
    return static_cast<unsigned char>(std::min(255u, c + (bg * (255u - a) + 127u) / 255u));
}

class TiffSource final : public ImageSource {
  public:
    TiffSource(const std::string &path, Rgb background) : path_(path), bg_(background) {
        std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
        TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), tiff_error_kept, &messages_);
        TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), tiff_warning_ignored, nullptr);
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), static_cast<tmsize_t>(kMaxTileRowBytes));
        tif_.reset(TIFFOpenExt(path.c_str(), "r", opts.get()));
        if (!tif_) {
            damaged();
        }
        TIFF *t = tif_.get();
        std::uint32_t w = 0, h = 0;
        if (TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w) != 1 ||
            TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h) != 1) {
            fail(path_, "damaged TIFF: no image width or height");
        }
        check_side_limits(path_, w, h);
        width_ = static_cast<int>(w);
        height_ = static_cast<int>(h);
        std::uint16_t planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
        std::uint16_t compression = COMPRESSION_NONE, extra_count = 0;
        std::uint16_t *extra_types = nullptr;
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits_);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp_);
        TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra_count, &extra_types);
        if (TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric_) != 1) {
            photometric_ = spp_ >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
        }
        if (photometric_ == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG) {
            // libtiff's JPEG codec converts to RGB itself.
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            photometric_ = PHOTOMETRIC_RGB;
        }
        const bool grey =
            photometric_ == PHOTOMETRIC_MINISBLACK || photometric_ == PHOTOMETRIC_MINISWHITE;
        const int base = grey || photometric_ == PHOTOMETRIC_PALETTE ? 1 : 3;
        const bool depth_ok =
            bits_ == 8 || bits_ == 16 || (base == 1 && (bits_ == 1 || bits_ == 2 || bits_ == 4));
        const bool alpha =
            extra_count > 0 && extra_types != nullptr &&
            (extra_types[0] == EXTRASAMPLE_ASSOCALPHA || extra_types[0] == EXTRASAMPLE_UNASSALPHA);
        native_ = (grey || photometric_ == PHOTOMETRIC_RGB ||
                   (photometric_ == PHOTOMETRIC_PALETTE && bits_ <= 8 && spp_ == 1)) &&
                  depth_ok && (planar == PLANARCONFIG_CONTIG || spp_ == 1) &&
                  (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) && spp_ >= base &&
                  spp_ == base + extra_count;
        colour_ = !grey;
        kind_ = std::string(TIFFIsBigTIFF(t) ? "BigTIFF " : "TIFF ") + std::to_string(bits_) +
                "-bit " +
                (photometric_ == PHOTOMETRIC_PALETTE ? "palette"
                 : grey                              ? "grey"
                                                     : "RGB") +
                (alpha ? "+alpha" : "") + (TIFFIsTiled(t) ? " tiled" : " striped");
        if (native_) {
            alpha_ = alpha ? base : -1;
            premultiplied_ = alpha && extra_types[0] == EXTRASAMPLE_ASSOCALPHA;
            channels_ = grey && (alpha_ < 0 || bg_.grey()) ? 1 : 3;
            direct_ = bits_ == 8 && spp_ == channels_ && photometric_ != PHOTOMETRIC_MINISWHITE &&
                      photometric_ != PHOTOMETRIC_PALETTE;
            if (photometric_ == PHOTOMETRIC_PALETTE) {
                read_palette();
            }
            if (TIFFIsTiled(t)) {
                start_tiles();
            }
            scanline_.resize(static_cast<std::size_t>(TIFFScanlineSize64(t)) + 8);
            if (scanline_.size() == 8) {
                damaged();
            }
        } else {
            start_rgba();
        }
    }

    void read_native(unsigned char *out, int n) override {
        if (!native_) {
            rgba_rows(out, n);
            return;
        }
        const std::size_t out_bytes = static_cast<std::size_t>(width_) * channels_;
        for (int i = 0; i < n; ++i, ++next_row_) {
            unsigned char *dst = out + out_bytes * static_cast<std::size_t>(i);
            if (tile_w_ > 0) {
                convert(tile_row(next_row_), dst);
            } else if (direct_) {
                read_scanline(dst);
            } else {
                read_scanline(scanline_.data());
                convert(scanline_.data(), dst);
            }
        }
    }

  private:
    [[noreturn]] void damaged() {
        fail(path_, "damaged or unreadable TIFF: " + (messages_.first_error.empty()
                                                          ? std::string("libtiff refused it")
                                                          : messages_.first_error));
    }

    void read_scanline(unsigned char *dst) {
        if (TIFFReadScanline(tif_.get(), dst, static_cast<std::uint32_t>(next_row_), 0) != 1) {
            damaged();
        }
    }

    void read_palette() {
        std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif_.get(), TIFFTAG_COLORMAP, &r, &g, &b) != 1) {
            fail(path_, "damaged TIFF: a palette picture without its colour map");
        }
        const std::size_t entries = std::size_t{1} << bits_;
        // Some writers store 8-bit values in the 16-bit map: then no entry exceeds 255.
        bool eight_bit = true;
        for (std::size_t i = 0; i < entries; ++i) {
            eight_bit = eight_bit && r[i] < 256 && g[i] < 256 && b[i] < 256;
        }
        for (std::size_t i = 0; i < entries; ++i) {
            const auto to8 = [&](unsigned v) {
                return static_cast<unsigned char>(eight_bit ? v : scale_16(v));
            };
            palette_[i] = {to8(r[i]), to8(g[i]), to8(b[i])};
        }
    }

    void start_tiles() {
        TIFF *t = tif_.get();
        std::uint32_t tw = 0, th = 0;
        TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
        const std::uint64_t tile_bytes = TIFFTileSize64(t);
        if (tw == 0 || th == 0 || tile_bytes == 0) {
            damaged();
        }
        const std::uint64_t across = (static_cast<std::uint64_t>(width_) + tw - 1) / tw;
        if (tw > kMaxSide + 1u || th > kMaxSide + 1u || across * tile_bytes > kMaxTileRowBytes) {
            fail(path_, "TIFF tiles too large to read a row of them at a time (" +
                            std::to_string(tw) + " x " + std::to_string(th) + ")");
        }
        tile_w_ = static_cast<int>(tw);
        tile_h_ = static_cast<int>(th);
        tile_bytes_ = static_cast<std::size_t>(tile_bytes);
        tiles_.resize(static_cast<std::size_t>(across) * tile_bytes_);
    }

    // Row y of the picture, gathered from the row of tiles that holds it (read when y
    // enters it) in the file's packed sample layout.
    const unsigned char *tile_row(int y) {
        TIFF *t = tif_.get();
        const std::size_t across = tiles_.size() / tile_bytes_;
        if (y % tile_h_ == 0) {
            for (std::size_t i = 0; i < across; ++i) {
                const std::uint32_t tile =
                    TIFFComputeTile(t, static_cast<std::uint32_t>(i * tile_w_),
                                    static_cast<std::uint32_t>(y), 0, 0);
                if (TIFFReadEncodedTile(t, tile, tiles_.data() + i * tile_bytes_,
                                        static_cast<tmsize_t>(tile_bytes_)) < 0) {
                    damaged();
                }
            }
        }
        // Tile widths are multiples of 16, so a tile's row is whole bytes at any depth.
        const std::size_t tile_row_bytes = tile_bytes_ / static_cast<std::size_t>(tile_h_);
        const std::size_t row_in_tile = static_cast<std::size_t>(y % tile_h_);
        const std::size_t line = static_cast<std::size_t>(TIFFScanlineSize64(t));
        for (std::size_t i = 0, at = 0; i < across && at < line; ++i, at += tile_row_bytes) {
            std::copy_n(tiles_.data() + i * tile_bytes_ + row_in_tile * tile_row_bytes,
                        std::min(tile_row_bytes, line - at), scanline_.data() + at);
        }
        return scanline_.data();
    }

    // Sample k of pixel x of a packed row, in 8 bits (palette: the index).
    unsigned sample(const unsigned char *row, std::size_t x, int k) const {
        const std::size_t i = x * spp_ + static_cast<std::size_t>(k);
        unsigned v = 0;
        unsigned max = 255;
        if (bits_ == 8) {
            v = row[i];
        } else if (bits_ == 16) {
            std::uint16_t s = 0;
            std::copy_n(row + 2 * i, 2, reinterpret_cast<unsigned char *>(&s));
            v = s;
            max = 65535;
        } else {
            const std::size_t bit = i * bits_;
            max = (1u << bits_) - 1;
            v = (row[bit >> 3] >> (8 - bits_ - (bit & 7))) & max;
        }
        if (photometric_ == PHOTOMETRIC_PALETTE && k == 0) {
            return v;
        }
        if (photometric_ == PHOTOMETRIC_MINISWHITE && k == 0) {
            v = max - v;
        }
        return max == 255 ? v : max == 65535 ? scale_16(v) : (v * 255u + max / 2u) / max;
    }

    // One packed row into the native layout, alpha laid over the background.
    void convert(const unsigned char *row, unsigned char *dst) const {
        if (direct_) {
            std::copy_n(row, static_cast<std::size_t>(width_) * channels_, dst);
            return;
        }
        const std::array<unsigned, 3> bg = {bg_.r, bg_.g, bg_.b};
        for (std::size_t x = 0; x < static_cast<std::size_t>(width_); ++x) {
            std::array<unsigned, 3> c{};
            if (photometric_ == PHOTOMETRIC_PALETTE) {
                const Rgb &p = palette_[sample(row, x, 0)];
                c = {p.r, p.g, p.b};
            } else if (photometric_ == PHOTOMETRIC_RGB) {
                c = {sample(row, x, 0), sample(row, x, 1), sample(row, x, 2)};
            } else {
                c[0] = c[1] = c[2] = sample(row, x, 0);
            }
            const unsigned a = alpha_ < 0 ? 255 : sample(row, x, alpha_);
            for (int k = 0; k < channels_; ++k) {
                const unsigned v = alpha_ < 0       ? c[k]
                                   : premultiplied_ ? over_premultiplied(c[k], a, bg[k])
                                                    : composite(c[k], a, bg[k]);
                dst[x * channels_ + static_cast<std::size_t>(k)] = static_cast<unsigned char>(v);
            }
        }
    }

    void start_rgba() {
        char message[1024] = {};
        if (TIFFRGBAImageOK(tif_.get(), message) != 1) {
            fail(path_, std::string("TIFF layout not supported: ") + message);
        }
        rgba_.emplace_back();
        if (TIFFRGBAImageBegin(&rgba_.back(), tif_.get(), 0, message) != 1) {
            rgba_.clear();
            fail(path_, std::string("TIFF layout not supported: ") + message);
        }
        rgba_end_.reset(&rgba_.back());
        rgba_.back().req_orientation = ORIENTATION_TOPLEFT;
        channels_ = 3;
    }

    // The next n rows through libtiff's RGBA reader (premultiplied alpha).
    void rgba_rows(unsigned char *dst, int n) {
        TIFFRGBAImage &img = rgba_.back();
        img.row_offset = next_row_;
        img.col_offset = 0;
        raster_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(n));
        if (TIFFRGBAImageGet(&img, raster_.data(), static_cast<std::uint32_t>(width_),
                             static_cast<std::uint32_t>(n)) != 1) {
            damaged();
        }
        next_row_ += n;
        for (std::size_t x = 0; x < raster_.size(); ++x, dst += 3) {
            const std::uint32_t p = raster_[x];
            const unsigned a = TIFFGetA(p);
            dst[0] = over_premultiplied(TIFFGetR(p), a, bg_.r);
            dst[1] = over_premultiplied(TIFFGetG(p), a, bg_.g);
            dst[2] = over_premultiplied(TIFFGetB(p), a, bg_.b);
        }
    }

    std::string path_;
    Rgb bg_;
    TiffMessages messages_;
    std::unique_ptr<TIFF, TiffCloser> tif_;
    std::uint16_t bits_ = 1;
    std::uint16_t spp_ = 1;
    std::uint16_t photometric_ = PHOTOMETRIC_MINISBLACK;
    bool native_ = false;
    bool direct_ = false;
    bool premultiplied_ = false;
    int alpha_ = -1;
    int next_row_ = 0;
    std::array<Rgb, 256> palette_{};
    std::vector<unsigned char> scanline_;
    int tile_w_ = 0;
    int tile_h_ = 0;
    std::size_t tile_bytes_ = 0;
    std::vector<unsigned char> tiles_;
    // The RGBA reader's state (at most one), ended before the TIFF is closed.
    std::vector<TIFFRGBAImage> rgba_;
    std::unique_ptr<TIFFRGBAImage, RgbaImageEnd> rgba_end_;
    std::vector<std::uint32_t> raster_;
};

} // namespace

std::unique_ptr<ImageSource> open_tiff(const std::string &path, std::FILE *fp, Rgb background) {
    std::fclose(fp); // libtiff opens the file by its name
    return std::make_unique<TiffSource>(path, background);
}

} // namespace r64tool
