// An independent model of r64 images (levels, their sizes, 2x2 averaging, the bytes of a
// whole file) computed without the library's geometry, and probes into a handle's cache.
#ifndef R64_TEST_R64_MODEL_H
#define R64_TEST_R64_MODEL_H

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#include "r64/r64.h"
#include "scratch_dir.h"

namespace r64_test {

// One level: w x h pixels of 3 bytes ('P') or 1 ('G'; 'B' as r64_red gives it, 0 or 0xFF).
struct ModelLevel {
    int w = 0, h = 0, bpp = 1;
    std::vector<unsigned char> px;

    ModelLevel(char type, int width, int height)
        : w(width), h(height), bpp(type == 'P' ? 3 : 1), px(size_t(width) * height * bpp) {}
    unsigned char *at(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * bpp]; }
    const unsigned char *at(int x, int y) const {
        return &px[(static_cast<size_t>(y) * w + x) * bpp];
    }
};

// The sizes of the levels of an image w0 x h0; a level filled with a pattern per seed.
std::vector<std::pair<int, int>> model_level_sizes(int w0, int h0);
ModelLevel patterned_level(char type, int w, int h, unsigned seed);
// The next level: each pixel the rounded-down mean of its 2x2 group; samples beyond the
// level are the nearest edge pixel when clamp holds, else the background bytes.
ModelLevel model_average(const ModelLevel &src, char type, bool clamp, const unsigned char bg[3]);
// The bytes of a file of the given type and level-0 size whose first levels.size()
// levels hold the given pixels, every tile buffer and gap filled with background first.
Bytes model_file(char type, int w0, int h0, const std::vector<ModelLevel> &levels,
                 const unsigned char bg[3]);

// Every pixel of a level written through r64_set (false on the first failure), or read
// through r64_red.
bool store_level(R64_FILE *f, int level, const ModelLevel &px);
ModelLevel load_level(R64_FILE *f, int level);

// The ring entry holding the tile with top-left (x0, y0) of level, or null; the lengths
// of the ring and of the free list.
R64_CACHE_ENT *cached_tile(R64_FILE *f, int level, int x0, int y0);
int ring_length(const R64_FILE *f);
int free_length(const R64_FILE *f);

// While it lives, the handle's descriptor is the same file opened with `flags`
// (O_RDONLY: writes fail; O_WRONLY: reads fail): the cache code sees real EBADF failures.
class SwappedFd {
  public:
    SwappedFd(R64_FILE *f, const std::string &path, int flags);
    ~SwappedFd();
    SwappedFd(const SwappedFd &) = delete;
    SwappedFd &operator=(const SwappedFd &) = delete;

  private:
    int fd_, saved_;
};

// Everything fn printed to standard output while it ran.
template <class Fn> std::string stdout_of(Fn &&fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace r64_test

#endif
