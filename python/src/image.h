// r64.Image: an open r64 or cr file seen from Python. It owns the library handle (and,
// for cr, a decoder), keeps a copy of the level table so that its properties need no
// library call, and reads and writes regions with the GIL released under the library
// lock. Every library call fetches the handle inside the lock, so a handle closed by
// another thread is refused, never used.
#ifndef R64_PYTHON_IMAGE_H
#define R64_PYTHON_IMAGE_H

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <utility>

#include <pybind11/numpy.h>

#include "r64/r64.h"

namespace r64py {

class Image {
  public:
    Image(const std::string &path, const std::string &mode);
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    void close();
    bool closed() const;

    const std::string &path() const { return path_; }
    const std::string &mode() const { return mode_; }
    std::string format() const { return cr_ != nullptr || is_cr_ ? "cr" : "r64"; }
    std::string type() const { return std::string(1, type_); }
    int width() const { return level_w_[0]; }
    int height() const { return level_h_[0]; }
    int levels() const { return levels_; }
    int tile() const { return tile_; }
    std::pair<int, int> level_size(int level) const;

    pybind11::array read(int level, long long x, long long y, std::optional<long long> width,
                         std::optional<long long> height, const pybind11::object &out);
    void write(const pybind11::array &pixels, int level, long long x, long long y);
    void build_levels(const std::string &filter);
    void flush();

  private:
    // Levels held by the file, counted as r64info counts them; lock held.
    int count_levels() const;
    void read_r64(unsigned char *dst, std::size_t stride, int level, int x, int y, int w, int h);
    void read_cr(unsigned char *dst, std::size_t stride, int level, int x, int y, int w, int h);
    void require_open() const;

    std::string path_;
    std::string mode_;
    R64_FILE *r64_ = nullptr;
    CR_FILE *cr_ = nullptr;
    CR_DECODER *decoder_ = nullptr;
    bool is_cr_ = false;
    char type_ = 'P';
    int tile_ = R64_TILE;
    int table_levels_ = 0;       // levels that belong to the image
    std::atomic<int> levels_{0}; // levels the file holds (properties read it without the lock)
    std::atomic<bool> closed_{false};
    std::array<int, R64_LEVELS> level_w_{};
    std::array<int, R64_LEVELS> level_h_{};
};

void register_image(pybind11::module_ &m);

} // namespace r64py

#endif
