// libFuzzer target for the cr decoder: any bytes as a cr file, every tile of every level
// decoded through cr_decode_tile (parents first, through its tile cache). Damaged records
// and streams must fail with a code, never allocate what the file cannot hold.
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "r64/r64.h"

namespace {

// Tiles decoded per input, so that tiny tiles on huge levels stay fast.
constexpr int kTileBudget = 256;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    CR_FILE *f = r64_fuzz::open_cr_input(data, size);
    if (f == nullptr) {
        return 0;
    }
    // Byte 15 (the table length's last byte, which the reader ignores) picks a cache size:
    // 0 for the default, else a small one that forces evictions.
    const int cache_tiles = size > 15 ? data[15] % 4 : 0;
    if (CR_DECODER *d = cr_open_decoder(f, cache_tiles)) {
        const int rect = f->header.rect_size;
        int budget = kTileBudget;
        for (int level = R64_LEVELS - 1; level >= 0; --level) {
            if (!cr_check_level(f, level)) {
                continue;
            }
            for (int y = 0; y < f->level_h[level] && budget > 0; y += rect) {
                for (int x = 0; x < f->level_w[level] && budget-- > 0; x += rect) {
                    int w = 0;
                    int h = 0;
                    std::free(cr_decode_tile(&w, &h, d, x, y, level));
                }
            }
        }
        cr_close_decoder(d);
    }
    cr_close_file(f);
    return 0;
}
