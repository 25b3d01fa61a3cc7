// libFuzzer target for jpeg_uncompress: any bytes must decode or be refused without
// reading outside the input, hanging or leaking. The decoder itself carries no coverage
// instrumentation, so most inputs are edits of valid streams made here (bytes patched,
// stream cut) rather than raw bytes. Images above 4 megapixels are skipped after a
// header-only probe through the loader, to keep allocations small.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "r64/jpeg_mem.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr long max_pixels = 4L << 20;

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

const std::vector<Bytes> &seeds() {
    static const std::vector<Bytes> all = {seed_stream(16, 16, 80, 0), seed_stream(33, 17, 95, 77),
                                           seed_stream(64, 64, 50, 13)};
    return all;
}

int probe_size(LoadJPGInfo *info, void *data) {
    *static_cast<long *>(data) = long(info->width) * long(info->height);
    return 0; // refuse: only the header is read
}

unsigned char *no_rows(int, void *) {
    return nullptr;
}

// Input layout: byte 0 picks raw input (0) or a seed; then for a seed, two bytes of cut
// length (0 keeps all) and groups of three bytes (position, position, value) to patch.
Bytes make_stream(const std::uint8_t *data, std::size_t size) {
    if (size < 3 || data[0] % 4 == 0)
        return Bytes(data + (size ? 1 : 0), data + size);
    Bytes stream = seeds()[data[0] % 3];
    const std::size_t cut = (std::size_t(data[1]) << 8) | data[2];
    for (std::size_t i = 3; i + 3 <= size; i += 3) {
        const std::size_t pos = ((std::size_t(data[i]) << 8) | data[i + 1]) % stream.size();
        stream[pos] = data[i + 2];
    }
    if (cut != 0 && cut < stream.size())
        stream.resize(cut);
    return stream;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > (1u << 20))
        return 0;
    // An exact-size heap copy, so that any read past the stream is caught.
    Bytes stream = make_stream(data, size);
    unsigned char *bytes = stream.empty() ? nullptr : stream.data();
    const int length = static_cast<int>(stream.size());
    long pixels = 0;
    LoadJPGFromMemory(bytes, length, probe_size, no_rows, &pixels);
    if (pixels > max_pixels)
        return 0;
    int width = 0, height = 0;
    unsigned char *image = jpeg_uncompress(&width, &height, bytes, length);
    if (image != nullptr) {
        // Touch the last pixel so that a short allocation shows.
        volatile unsigned char last = image[std::size_t(width) * height * 4 - 1];
        (void)last;
        std::free(image);
    }
    return 0;
}
