// Opening files for the commands; the library's r64_init runs before the first open.
#include "handles.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "cli.h"

namespace r64tool {
void library_init() {
    static bool done = false;
    if (!done) {
        check_endian();
        r64_init();
        done = true;
    }
}

R64Ptr open_r64(const std::string &path) {
    library_init();
    errno = 0;
    R64Ptr f(r64_open_file(path.c_str(), O_RDONLY, 0, 'P', 0, 0));
    if (!f) {
        fail_lib(path, "cannot open as an r64 file");
    }
    return f;
}

AnyFile open_any(const std::string &path) {
    library_init();
    AnyFile a;
    errno = 0;
    a.r64.reset(r64_open_file(path.c_str(), O_RDONLY, 0, 'P', 0, 0));
    if (a.r64) {
        return a;
    }
    if (r64_error != R64_ERR_FORMAT) {
        fail_lib(path, "cannot open");
    }
    errno = 0;
    a.cr.reset(cr_open_file(path.c_str(), O_RDONLY, 0, 256, 0, 0));
    if (!a.cr) {
        if (r64_error == R64_ERR_FORMAT) {
            fail(path, "neither an r64 nor a cr file [r64_error -5]");
        }
        fail_lib(path, "cannot open as a cr file");
    }
    return a;
}

int r64_table_levels(const R64_FILE *f) {
    int n = 0;
    while (n < R64_LEVELS && f->level_ofs[n] != 0) {
        ++n;
    }
    return n;
}

int cr_levels(CR_FILE *f) {
    int n = 0;
    while (n < R64_LEVELS && cr_check_level(f, n) != 0) {
        ++n;
    }
    return n;
}

int64_t file_length(int fd) {
    return u_lseek64(fd, 0, SEEK_END);
}

} // namespace r64tool
