// libFuzzer target for r64tool's PNM reader: inputs that open as PNM (P1 to P6 first)
// are read through open_image; other inputs are left alone so the run stays on this reader.
#include "picture_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (!(size >= 2 && data[0] == 'P' && data[1] >= '1' && data[1] <= '6')) {
        return 0;
    }
    return r64_fuzz::read_picture(data, size);
}
