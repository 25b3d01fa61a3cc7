// libFuzzer target: the input is a file's leading bytes; its last four bytes also
// give a length the file is then extended to (sparse, up to 4 GiB). The file goes
// through the r64 and cr opens and every level test, read-only, then is closed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "r64/r64.h"

namespace {

struct MemFile {
    int fd = memfd_create("fuzz_open_headers", 0);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
};

void probe(const char *path) {
    if (R64_FILE *f = r64_open_file(path, O_RDONLY, 0666, 'P', 0, 0)) {
        for (int l = -1; l <= 32; ++l) {
            r64_check_level(f, l);
        }
        u_close(f->fd);
        for (R64_CACHE_ENT &e : f->cache) {
            free(e.buf);
        }
        free(f);
    }
    if (CR_FILE *c = cr_open_file(path, O_RDONLY, 0666, 256, 0, 0)) {
        for (int l = 0; cr_check_level(c, l) != 0; ++l) {
            get_tbl_ofs(c, c->level_w[l] - 1, c->level_h[l] - 1, l);
        }
        cr_check_level(c, 32);
        cr_close_file(c);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static MemFile file;
    static const bool ready = [] {
        check_endian();
        return file.fd >= 0;
    }();
    if (!ready || ftruncate(file.fd, 0) != 0 ||
        pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size)) {
        return 0;
    }
    probe(file.path.c_str());
    if (size >= 4) {
        const uint32_t extra = static_cast<uint32_t>(data[size - 4]) << 24 |
                               static_cast<uint32_t>(data[size - 3]) << 16 |
                               static_cast<uint32_t>(data[size - 2]) << 8 | data[size - 1];
        if (ftruncate(file.fd, static_cast<off_t>(size) + extra) == 0) {
            probe(file.path.c_str());
        }
    }
    return 0;
}
