// PNM pictures: PBM (P1 plain, P4 raw), PGM (P2, P5) and PPM (P3, P6), with comments
// in the header, any maxval up to 65535 (two bytes a sample, most significant first,
// above 255) scaled to 8 bits. A PBM 1 is black. Raw samples with maxval 255 are read
// straight into the caller's rows in one read; other maxvals go through a table.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "image_source.h"

namespace r64tool {
namespace {

// Marks a table entry for a sample above maxval.
constexpr std::uint16_t kAboveMaxval = 0xFFFF;

class PnmSource final : public ImageSource {
  public:
    PnmSource(const std::string &path, std::FILE *fp) : path_(path), fp_(fp) {
        std::getc(fp); // 'P', checked by the caller
        format_ = static_cast<char>(std::getc(fp));
        bitmap_ = format_ == '1' || format_ == '4';
        colour_ = format_ == '3' || format_ == '6';
        channels_ = colour_ ? 3 : 1;
        raw_ = format_ >= '4';
        width_ = header_number("width", 1, 0x7fffffff);
        height_ = header_number("height", 1, 0x7fffffff);
        maxval_ = bitmap_ ? 1 : header_number("maxval", 1, 65535);
        if (raw_) {
            // Exactly one whitespace character separates the header from the samples.
            const int c = std::getc(fp_.get());
            if (c == EOF || !is_space(c)) {
                fail(path_, "bad PNM header: no whitespace after it");
            }
        }
        kind_ = std::string(bitmap_ ? "PBM" : colour_ ? "PPM" : "PGM") + (raw_ ? " raw" : " plain");
        if (!bitmap_) {
            kind_ += " maxval " + std::to_string(maxval_);
        }
        check_side_limits(path_, width_, height_);
        if (!bitmap_ && !(raw_ && maxval_ == 255)) {
            table_.assign(maxval_ > 255 ? 65536 : 256, kAboveMaxval);
            const auto m = static_cast<unsigned>(maxval_);
            for (unsigned v = 0; v <= m; ++v) {
                table_[v] = static_cast<std::uint16_t>((v * 255u + m / 2u) / m);
            }
        }
    }

    void read_native(unsigned char *rows, int n) override {
        const std::size_t row_bytes = static_cast<std::size_t>(width_) * channels_;
        const std::size_t bytes = row_bytes * static_cast<std::size_t>(n);
        if (format_ == '4') {
            for (int i = 0; i < n; ++i) {
                read_packed_bits(rows + row_bytes * static_cast<std::size_t>(i));
            }
        } else if (!raw_) {
            for (std::size_t i = 0; i < bytes; ++i) {
                rows[i] = format_ == '1' ? read_plain_bit() : map(read_plain_sample());
            }
        } else if (maxval_ > 255) {
            packed_.resize(2 * bytes);
            read_exactly(packed_.data(), packed_.size());
            for (std::size_t i = 0; i < bytes; ++i) {
                rows[i] = map((packed_[2 * i] << 8u) | packed_[2 * i + 1]);
            }
        } else {
            read_exactly(rows, bytes);
            if (!table_.empty()) {
                for (std::size_t i = 0; i < bytes; ++i) {
                    rows[i] = map(rows[i]);
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

    void read_exactly(unsigned char *dst, std::size_t bytes) {
        if (std::fread(dst, 1, bytes, fp_.get()) != bytes) {
            cut_short();
        }
    }

    // A sample through the table; one above maxval is refused.
    unsigned char map(unsigned v) const {
        const std::uint16_t s = table_[v];
        if (s == kAboveMaxval) {
            fail(path_, "bad PNM data: sample " + std::to_string(v) + " above maxval " +
                            std::to_string(maxval_));
        }
        return static_cast<unsigned char>(s);
    }

    void read_packed_bits(unsigned char *row) {
        const std::size_t bytes = (static_cast<std::size_t>(width_) + 7) / 8;
        packed_.resize(bytes);
        read_exactly(packed_.data(), bytes);
        for (int x = 0; x < width_; ++x) {
            row[x] = ((packed_[x >> 3] >> (7 - (x & 7))) & 1) != 0 ? 0 : 255;
        }
    }

    // Plain PBM digits need no separators.
    unsigned char read_plain_bit() {
        const int c = skip_space_and_comments();
        if (c == EOF) {
            cut_short();
        }
        if (c != '0' && c != '1') {
            fail(path_, "bad PBM data: expected 0 or 1");
        }
        return c == '1' ? 0 : 255;
    }

    unsigned read_plain_sample() {
        const long v = read_number(65535);
        if (v < 0) {
            if (std::feof(fp_.get())) {
                cut_short();
            }
            fail(path_, "bad PNM data: expected a sample");
        }
        if (static_cast<std::size_t>(v) >= table_.size()) {
            fail(path_, "bad PNM data: sample " + std::to_string(v) + " above maxval " +
                            std::to_string(maxval_));
        }
        return static_cast<unsigned>(v);
    }

    std::string path_;
    FilePtr fp_;
    char format_ = 0;
    bool bitmap_ = false;
    bool raw_ = false;
    int maxval_ = 255;
    std::vector<std::uint16_t> table_;
    std::vector<unsigned char> packed_;
};

} // namespace

std::unique_ptr<ImageSource> open_pnm(const std::string &path, std::FILE *fp) {
    return std::make_unique<PnmSource>(path, fp);
}

} // namespace r64tool
