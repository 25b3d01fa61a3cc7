// PNM pictures: PBM (P1 plain, P4 raw), PGM (P2, P5) and PPM (P3, P6), with comments
// in the header, any maxval up to 65535 (two bytes a sample, most significant first,
// above 255) scaled to 8 bits. A PBM 1 is black.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "image_source.h"

namespace r64tool {
namespace {

class PnmSource final : public ImageSource {
  public:
    PnmSource(const std::string &path, std::FILE *fp) : path_(path), fp_(fp) {
        std::getc(fp); // 'P', checked by the caller
        format_ = static_cast<char>(std::getc(fp));
        const bool bitmap = format_ == '1' || format_ == '4';
        colour_ = format_ == '3' || format_ == '6';
        raw_ = format_ >= '4';
        width_ = header_number("width", 1, 0x7fffffff);
        height_ = header_number("height", 1, 0x7fffffff);
        maxval_ = bitmap ? 1 : header_number("maxval", 1, 65535);
        if (raw_) {
            // Exactly one whitespace character separates the header from the samples.
            const int c = std::getc(fp_.get());
            if (c == EOF || !is_space(c)) {
                fail(path_, "bad PNM header: no whitespace after it");
            }
        }
        kind_ = std::string(bitmap ? "PBM" : colour_ ? "PPM" : "PGM") + (raw_ ? " raw" : " plain");
        if (!bitmap) {
            kind_ += " maxval " + std::to_string(maxval_);
        }
    }

    void read_rows(unsigned char *rgb, int n) override {
        const std::size_t row_px = static_cast<std::size_t>(width_);
        const int channels = colour_ ? 3 : 1;
        samples_.resize(row_px * channels);
        for (int i = 0; i < n; ++i) {
            if (format_ == '4') {
                read_packed_bits();
            } else if (raw_) {
                read_raw_samples();
            } else {
                read_plain_samples(format_ == '1');
            }
            unsigned char *dst = rgb + row_px * 3 * static_cast<std::size_t>(i);
            for (std::size_t x = 0; x < row_px; ++x, dst += 3) {
                if (channels == 3) {
                    dst[0] = scale(samples_[3 * x]);
                    dst[1] = scale(samples_[3 * x + 1]);
                    dst[2] = scale(samples_[3 * x + 2]);
                } else if (format_ == '1' || format_ == '4') {
                    dst[0] = dst[1] = dst[2] = samples_[x] != 0 ? 0 : 255;
                } else {
                    dst[0] = dst[1] = dst[2] = scale(samples_[x]);
                }
            }
        }
    }

  private:
    static bool is_space(int c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    }

    // Skips whitespace and comments; returns the first other character (or EOF).
    int skip_space_and_comments() {
        int c = std::getc(fp_.get());
        while (c != EOF) {
            if (c == '#') {
                while (c != EOF && c != '\n' && c != '\r') {
                    c = std::getc(fp_.get());
                }
            } else if (!is_space(c)) {
                return c;
            } else {
                c = std::getc(fp_.get());
            }
        }
        return c;
    }

    // A decimal number; -1 when none is there or it exceeds limit.
    long read_number(long limit) {
        int c = skip_space_and_comments();
        if (c < '0' || c > '9') {
            return -1;
        }
        long v = 0;
        while (c >= '0' && c <= '9') {
            v = v * 10 + (c - '0');
            if (v > limit) {
                return -1;
            }
            c = std::getc(fp_.get());
        }
        if (c != EOF) {
            std::ungetc(c, fp_.get());
        }
        return v;
    }

    int header_number(const char *what, long lo, long hi) {
        const long v = read_number(hi);
        if (v < lo) {
            fail(path_, std::string("bad PNM header: no valid ") + what + " (" +
                            std::to_string(lo) + " to " + std::to_string(hi) + ")");
        }
        return static_cast<int>(v);
    }

    [[noreturn]] void cut_short() { fail(path_, "PNM data cut short"); }

    void read_packed_bits() {
        const std::size_t bytes = (static_cast<std::size_t>(width_) + 7) / 8;
        packed_.resize(bytes);
        if (std::fread(packed_.data(), 1, bytes, fp_.get()) != bytes) {
            cut_short();
        }
        for (int x = 0; x < width_; ++x) {
            samples_[static_cast<std::size_t>(x)] = (packed_[x >> 3] >> (7 - (x & 7))) & 1;
        }
    }

    void read_raw_samples() {
        const std::size_t count = samples_.size();
        const std::size_t bytes = count * (maxval_ > 255 ? 2 : 1);
        packed_.resize(bytes);
        if (std::fread(packed_.data(), 1, bytes, fp_.get()) != bytes) {
            cut_short();
        }
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned v =
                maxval_ > 255 ? (packed_[2 * i] << 8u) | packed_[2 * i + 1] : packed_[i];
            check_sample(v);
            samples_[i] = v;
        }
    }

    void read_plain_samples(bool bits) {
        for (auto &s : samples_) {
            if (bits) {
                // Plain PBM digits need no separators.
                const int c = skip_space_and_comments();
                if (c == EOF) {
                    cut_short();
                }
                if (c != '0' && c != '1') {
                    fail(path_, "bad PBM data: expected 0 or 1");
                }
                s = static_cast<unsigned>(c - '0');
                continue;
            }
            const long v = read_number(65535);
            if (v < 0) {
                if (std::feof(fp_.get())) {
                    cut_short();
                }
                fail(path_, "bad PNM data: expected a sample");
            }
            check_sample(static_cast<unsigned>(v));
            s = static_cast<unsigned>(v);
        }
    }

    void check_sample(unsigned v) const {
        if (v > static_cast<unsigned>(maxval_)) {
            fail(path_, "bad PNM data: sample " + std::to_string(v) + " above maxval " +
                            std::to_string(maxval_));
        }
    }

    unsigned char scale(unsigned v) const {
        const auto m = static_cast<unsigned>(maxval_);
        return static_cast<unsigned char>((v * 255u + m / 2u) / m);
    }

    std::string path_;
    FilePtr fp_;
    char format_ = 0;
    bool raw_ = false;
    int maxval_ = 255;
    std::vector<unsigned> samples_;
    std::vector<unsigned char> packed_;
};

} // namespace

std::unique_ptr<ImageSource> open_pnm(const std::string &path, std::FILE *fp) {
    return std::make_unique<PnmSource>(path, fp);
}

} // namespace r64tool
