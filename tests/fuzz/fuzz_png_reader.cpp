// libFuzzer target for r64tool's PNG reader: inputs that open as PNG (signature first)
// are read through open_image; other inputs are left alone so the run stays on this reader.
#include "picture_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (!(size >= 8 && data[0] == 0x89 && data[1] == 'P' && data[2] == 'N' && data[3] == 'G')) {
        return 0;
    }
    return r64_fuzz::read_picture(data, size);
}
