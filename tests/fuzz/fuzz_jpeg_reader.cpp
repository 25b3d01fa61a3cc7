// libFuzzer target for r64tool's JPEG reader: inputs that open as JPEG (start-of-image marker
// first) are read through open_image; other inputs are left alone so the run stays on this reader.
#include "picture_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (!(size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF)) {
        return 0;
    }
    return r64_fuzz::read_picture(data, size);
}
