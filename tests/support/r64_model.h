// An independent model of r64 images for the tests: levels held in memory, the level
// sizes, the 2x2 averaging of a level and the bytes a whole file must have, all
// computed from first principles rather than with the library's own geometry; and
// probes into an open handle's tile cache, with descriptor swapping for fault injection.
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

// One level: w x h pixels, 3 bytes a pixel for 'P' and 1 for 'G' and 'B' ('B' pixels
// hold 0x00 or 0xFF, as r64_red delivers them).
struct ModelLevel {
    int w = 0, h = 0, bpp = 1;
    std::vector<unsigned char> px;

    ModelLevel(char type, int width, int height);
    unsigned char *at(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * bpp]; }
    const unsigned char *at(int x, int y) const {
        return &px[(static_cast<size_t>(y) * w + x) * bpp];
    }
};

// Widths and heights of the levels that belong to an image w0 x h0.
std::vector<std::pair<int, int>> model_level_sizes(int w0, int h0);
// A level filled with a deterministic pattern that differs per seed.
ModelLevel patterned_level(char type, int w, int h, unsigned seed);
// The next level: each pixel the rounded-down mean of its 2x2 group; samples beyond the
// level are the nearest edge pixel when clamp holds, else the background bytes.
ModelLevel model_average(const ModelLevel &src, char type, bool clamp, const unsigned char bg[3]);
// The complete bytes of a file of the given type and level-0 size whose first
// levels.size() levels hold the given pixels, every tile written from a buffer that
// started as background, and every gap filled with background.
Bytes model_file(char type, int w0, int h0, const std::vector<ModelLevel> &levels,
                 const unsigned char bg[3]);

// Writes every pixel of a level through r64_set; false on the first failure.
bool store_level(R64_FILE *f, int level, const ModelLevel &px);
// Reads every pixel of a level through r64_red.
ModelLevel load_level(R64_FILE *f, int level);

// The ring entry holding the tile with top-left (x0, y0) of level, or null.
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

// Everything fn printed to standard output or standard error while it ran.
template <class Fn> std::string stdout_of(Fn &&fn) {
    testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
template <class Fn> std::string stderr_of(Fn &&fn) {
    testing::internal::CaptureStderr();
    fn();
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

} // namespace r64_test

#endif
