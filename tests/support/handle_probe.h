// Looking inside an open r64 handle for the cache tests, and swapping the descriptor
// under a handle for one that refuses reads or writes (fault injection without a
// dispatcher: the cache code sees real EBADF failures).
#ifndef R64_TEST_HANDLE_PROBE_H
#define R64_TEST_HANDLE_PROBE_H

#include <string>

#include "r64/r64.h"

namespace r64_test {

// The ring entry holding the tile with top-left (x0, y0) of level, or null.
R64_CACHE_ENT *cached_tile(R64_FILE *f, int level, int x0, int y0);
int ring_length(const R64_FILE *f);
int free_length(const R64_FILE *f);

// While it lives, the handle's descriptor is the same file opened with `flags`
// (O_RDONLY: writes fail; O_WRONLY: reads fail); the original comes back after.
class SwappedFd {
  public:
    SwappedFd(R64_FILE *f, const std::string &path, int flags);
    ~SwappedFd();
    SwappedFd(const SwappedFd &) = delete;
    SwappedFd &operator=(const SwappedFd &) = delete;

  private:
    int fd_;
    int saved_;
};

} // namespace r64_test

#endif
