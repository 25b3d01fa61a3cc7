// libFuzzer target for r64tool's TIFF reader: inputs that open as TIFF (either byte
// order) are read through open_image; other inputs are left alone so the run stays on
// this reader.
#include "picture_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (!(size >= 4 &&
          ((data[0] == 'I' && data[1] == 'I') || (data[0] == 'M' && data[1] == 'M')))) {
        return 0;
    }
    return r64_fuzz::read_picture(data, size);
}
