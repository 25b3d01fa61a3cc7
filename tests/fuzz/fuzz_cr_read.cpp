// Feeds arbitrary bytes to the cr reader as a file and reads every tile of every
// level through the cache: corrupt records must fail cleanly, never allocate what
// the file cannot hold, and never leave the cache inconsistent.
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "r64/r64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CR_FILE *f = r64_fuzz::open_cr_input(data, size, 8); // a small cache: loads that evict
    if (f == nullptr) {
        return 0;
    }
    const int rect = f->header.rect_size;
    int budget = 256; // tile reads per input, so tiny tiles on huge levels stay fast
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
