// libFuzzer target for jpeg_uncompress and the cr tiles' bounded decode: any bytes decode
// or are refused without reading outside the input, hanging, leaking or allocating an
// image the stream cannot describe. libjpeg itself has no coverage instrumentation, so
// most inputs are edits (bytes patched, a cut) of valid streams made here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_support.h"
#include "image/jpeg/jpeg_bounded.h"
#include "r64/jpeg_mem.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes seed_stream(int w, int h, int quality, unsigned salt) {
    Bytes px(std::size_t(w) * h * 4);
    for (std::size_t i = 0; i < px.size(); ++i)
        px[i] = static_cast<unsigned char>((i / 4 % unsigned(w)) * 3 + i / 4 / unsigned(w) +
                                           ((i * salt) >> 7));
    int len = 0;
    unsigned char *out = jpeg_compress(&len, px.data(), w, h, quality);
    Bytes stream(out, out + len);
    std::free(out);
    return stream;
}

// Byte 0 picks raw input (0 mod 4) or a seed; for a seed, two bytes of cut length (0 keeps
// all), then groups of three (position high, low, value) patching the stream.
Bytes make_stream(const std::uint8_t *data, std::size_t size) {
    static const Bytes seeds[3] = {seed_stream(16, 16, 80, 0), seed_stream(33, 17, 95, 77),
                                   seed_stream(64, 64, 50, 13)};
    if (size < 3 || data[0] % 4 == 0)
        return Bytes(data + (size ? 1 : 0), data + size);
    Bytes stream = seeds[data[0] % 3];
    for (std::size_t i = 3; i + 3 <= size; i += 3)
        stream[((std::size_t(data[i]) << 8) | data[i + 1]) % stream.size()] = data[i + 2];
    const std::size_t cut = (std::size_t(data[1]) << 8) | data[2];
    if (cut != 0 && cut < stream.size())
        stream.resize(cut);
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Bytes stream = make_stream(data, size);
    stream.shrink_to_fit(); // an exact-size heap block (none when empty): reads past it show
    long pixels = 0;        // a header-only probe: the header callback notes the size, refuses
    auto probe = [](LoadJPGInfo *i, void *p) {
        *static_cast<long *>(p) = long(i->width) * i->height;
        return 0;
    };
    auto no_rows = [](int, void *) -> unsigned char * { return nullptr; };
    LoadJPGFromMemory(stream.data(), int(stream.size()), probe, no_rows, &pixels);
    int w = 0, h = 0;
    std::free(jpeg_uncompress(&w, &h, stream.data(), int(stream.size())));
    std::free(r64::jpeg_uncompress_bounded(&w, &h, stream.data(), int(stream.size()), 256, 256));
    return 0;
}
