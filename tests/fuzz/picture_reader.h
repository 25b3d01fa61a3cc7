// The body of the picture-reader targets: the input as a picture file (kept to one
// format by its leading bytes), opened through r64tool's open_image and read row by row
// up to a pixel budget. Damaged pictures throw ToolError, which is the expected refusal.
#ifndef R64_FUZZ_PICTURE_READER_H
#define R64_FUZZ_PICTURE_READER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cli.h"
#include "fuzz_support.h"
#include "image_source.h"

namespace r64_fuzz {

constexpr long kPixelBudget = 1L << 20; // pixels read per input

inline int read_picture(const std::uint8_t *data, std::size_t size) {
    InputFile &in = input_file();
    if (!in.load(data, size)) {
        return 0;
    }
    try {
        auto pic = r64tool::open_image(in.path(), r64tool::Rgb{255, 255, 255});
        const int w = pic->width();
        const int band =
            static_cast<int>(std::clamp<long>(kPixelBudget / std::max(w, 1) / 4, 1, 64));
        std::vector<unsigned char> rows(static_cast<std::size_t>(w) * 3 * band);
        long pixels = 0;
        for (int y = 0; y < pic->height() && pixels < kPixelBudget; y += band) {
            const int n = std::min(band, pic->height() - y);
            pic->read_rows(rows.data(), n);
            pixels += static_cast<long>(w) * n;
        }
    } catch (const r64tool::ToolError &) {
    }
    return 0;
}

} // namespace r64_fuzz

#endif
