// libFuzzer target for r64tool's cr record listing (info, verify): any bytes as a cr
// file; every level's records streamed and judged. Memory must stay at one chunk of
// records whatever the header claims.
#include <cstdint>

#include "cr_records.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    CR_FILE *f = r64_fuzz::open_cr_input(data, size);
    if (f == nullptr) {
        return 0;
    }
    const auto length = static_cast<int64_t>(size);
    long long damaged = 0;
    for (int level = 0; level < R64_LEVELS && cr_check_level(f, level); ++level) {
        r64tool::LevelRecords records(f, level, length);
        records.for_each([&](const r64tool::TileRecord &t) {
            const auto c = r64tool::check_record(t, length, r64tool::data_area_start(f));
            damaged += c.state == r64tool::RecordState::Damaged ? 1 : 0;
        });
        damaged += records.tiles() - records.in_file();
        if (records.in_file() < records.tiles()) {
            records.tile(records.tiles() - 1); // the last tile's geometry, never read
        }
    }
    cr_close_file(f);
    return damaged < 0 ? -1 : 0; // a negative count would be a fault; -1 drops the input
}
