// Feeds arbitrary bytes to the cr reader as a file and reads every tile of every
// level through the cache: corrupt records must fail cleanly, never allocate what
// the file cannot hold, and never leave the cache inconsistent.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "r64/r64.h"

namespace {

std::string scratch_dir;
std::string scratch_file;

void remove_scratch() {
    unlink(scratch_file.c_str());
    rmdir(scratch_dir.c_str());
}

const std::string &scratch_path() {
    if (scratch_file.empty()) {
        char tmpl[] = "/tmp/fuzz_cr_read_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            std::abort();
        }
        scratch_dir = tmpl;
        scratch_file = scratch_dir + "/f.cr";
        std::atexit(remove_scratch);
    }
    return scratch_file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_endian();
    r64_init();
    const std::string &path = scratch_path();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    close(fd);
    CR_FILE *f = cr_open_file(path.c_str(), O_RDONLY, 0666, 0, 0, 0);
    if (f == nullptr) {
        return 0;
    }
    const int rect = f->header.rect_size;
    int budget = 4096; // tile reads per input, so tiny tiles on huge levels stay fast
    for (int level = 0; level < R64_LEVELS && cr_check_level(f, level); ++level) {
        for (int y = 0; y < f->level_h[level] && budget > 0; y += rect) {
            for (int x = 0; x < f->level_w[level] && budget-- > 0; x += rect) {
                for (int pass = 0; pass < 2; ++pass) { // a miss, then a hit
                    CR_MEM_TBL b{};
                    if (cr_read(&b, f, x, y, level) == 0) {
                        free_cr_mem_tbl(&b);
                    }
                }
            }
        }
    }
    cr_close_file(f);
    return 0;
}
