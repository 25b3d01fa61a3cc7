// Ownership of a handle while an open is in progress: the descriptor and the
// zero-filled handle allocation are released together unless the open succeeds and
// takes them. Shared by the r64 and cr opens, which fail the same way.
#ifndef R64_SRC_OPEN_HANDLE_H
#define R64_SRC_OPEN_HANDLE_H

#include <cerrno>
#include <cstdlib>

#include "r64/r64.h"

namespace r64 {

// u_open64, repeated while it fails with EAGAIN.
inline int open_retrying(const char *filename, int ctl, int mode) {
    int fd;
    do {
        fd = u_open64(filename, ctl, mode);
    } while (fd < 0 && errno == EAGAIN);
    return fd;
}

// The number of cache entries a handle uses, the sentinel included (never above
// the size of the cache array).
inline int entries_in_use() {
    return ent_len < R64_CACHE_ENTRIES ? ent_len : R64_CACHE_ENTRIES;
}

template <typename Handle> class PendingOpen {
  public:
    explicit PendingOpen(int fd)
        : fd_(fd), handle_(static_cast<Handle *>(calloc(1, sizeof(Handle)))) {}
    PendingOpen(const PendingOpen &) = delete;
    PendingOpen &operator=(const PendingOpen &) = delete;
    ~PendingOpen() {
        if (fd_ >= 0) {
            u_close(fd_);
        }
        free(handle_);
    }

    Handle *get() const { return handle_; }
    Handle *operator->() const { return handle_; }

    // Sets r64_error and answers null: the destructor releases the rest.
    Handle *fail(int code) {
        r64_error = code;
        return nullptr;
    }

    Handle *release() {
        fd_ = -1;
        Handle *h = handle_;
        handle_ = nullptr;
        return h;
    }

  private:
    int fd_;
    Handle *handle_;
};

} // namespace r64

#endif
