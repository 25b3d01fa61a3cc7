// Handle inspection and descriptor swapping for the cache tests.
#include "handle_probe.h"

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace r64_test {

R64_CACHE_ENT *cached_tile(R64_FILE *f, int level, int x0, int y0) {
    for (R64_CACHE_ENT *e = f->cache[0].next; e != &f->cache[0]; e = e->next) {
        if (e->level == level && e->w_ofs == x0 && e->h_ofs == y0) {
            return e;
        }
    }
    return nullptr;
}

int ring_length(const R64_FILE *f) {
    int n = 0;
    for (const R64_CACHE_ENT *e = f->cache[0].next; e != &f->cache[0]; e = e->next) {
        ++n;
    }
    return n;
}

int free_length(const R64_FILE *f) {
    int n = 0;
    for (const R64_CACHE_ENT *e = f->free_list; e != nullptr; e = e->next) {
        ++n;
    }
    return n;
}

SwappedFd::SwappedFd(R64_FILE *f, const std::string &path, int flags)
    : fd_(f->fd), saved_(dup(f->fd)) {
    const int other = open(path.c_str(), flags);
    if (saved_ < 0 || other < 0 || dup2(other, fd_) < 0) {
        throw std::runtime_error("cannot swap the descriptor of " + path);
    }
    close(other);
}

SwappedFd::~SwappedFd() {
    dup2(saved_, fd_);
    close(saved_);
}

} // namespace r64_test
