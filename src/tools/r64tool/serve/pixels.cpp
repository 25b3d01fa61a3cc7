// Resampling, orientation and quality conversion. Separable box filtering in exact
// integer weights: a source pixel s covers [s*out, (s+1)*out) and an output pixel i
// covers [i*in, (i+1)*in) on a common scale, and each pair weighs their overlap.
#include "pixels.h"

#include <algorithm>

namespace r64serve {
namespace {

struct Tap {
    int src;
    std::uint32_t weight;
};

// For each output position, the source positions it covers and their weights (summing
// to `in`).
std::vector<std::vector<Tap>> box_taps(int in, int out) {
    std::vector<std::vector<Tap>> taps(static_cast<std::size_t>(out));
    const long long n = in, m = out;
    for (long long i = 0; i < m; ++i) {
        const long long a = i * n, b = (i + 1) * n; // output span on the common scale
        for (long long s = a / m; s < n && s * m < b; ++s) {
            const long long lo = std::max(a, s * m), hi = std::min(b, (s + 1) * m);
            if (hi > lo) {
                taps[static_cast<std::size_t>(i)].push_back(
                    {static_cast<int>(s), static_cast<std::uint32_t>(hi - lo)});
            }
        }
    }
    return taps;
}

} // namespace

Pixels area_average(const Pixels &src, int out_w, int out_h) {
    if (src.w == out_w && src.h == out_h) {
        return src;
    }
    const int c = src.channels;
    const auto tx = box_taps(src.w, out_w);
    const auto ty = box_taps(src.h, out_h);
    Pixels out{out_w, out_h, c,
               std::vector<std::uint8_t>(static_cast<std::size_t>(out_w) * out_h * c)};
    const std::uint64_t den = static_cast<std::uint64_t>(src.w) * static_cast<std::uint64_t>(src.h);
    // One source row summed horizontally (scaled by src.w: at most 255 * 32767, fits 32
    // bits), then added into the output row with its vertical weight. A source row
    // shared by two output rows is summed twice; memory stays one row, not a whole pass.
    std::vector<std::uint32_t> hsum(static_cast<std::size_t>(out_w) * c);
    std::vector<std::uint64_t> acc(hsum.size());
    for (int y = 0; y < out_h; ++y) {
        std::fill(acc.begin(), acc.end(), 0);
        for (const Tap &ty_tap : ty[static_cast<std::size_t>(y)]) {
            const std::uint8_t *in =
                src.data.data() + static_cast<std::size_t>(ty_tap.src) * src.w * c;
            std::fill(hsum.begin(), hsum.end(), 0);
            for (int x = 0; x < out_w; ++x) {
                for (const Tap &t : tx[static_cast<std::size_t>(x)]) {
                    for (int k = 0; k < c; ++k) {
                        hsum[static_cast<std::size_t>(x) * c + k] += t.weight * in[t.src * c + k];
                    }
                }
            }
            for (std::size_t i = 0; i < acc.size(); ++i) {
                acc[i] += static_cast<std::uint64_t>(ty_tap.weight) * hsum[i];
            }
        }
        std::uint8_t *o = out.data.data() + static_cast<std::size_t>(y) * out_w * c;
        for (std::size_t i = 0; i < acc.size(); ++i) {
            o[i] = static_cast<std::uint8_t>((acc[i] + den / 2) / den);
        }
    }
    return out;
}

Pixels orient(const Pixels &src, bool mirror, int degrees) {
    if (!mirror && degrees == 0) {
        return src;
    }
    const bool swap = degrees == 90 || degrees == 270;
    Pixels out{swap ? src.h : src.w, swap ? src.w : src.h, src.channels,
               std::vector<std::uint8_t>(src.data.size())};
    const int c = src.channels;
    for (int y = 0; y < src.h; ++y) {
        for (int x = 0; x < src.w; ++x) {
            const int mx = mirror ? src.w - 1 - x : x; // position after mirroring
            int ox = mx, oy = y;
            switch (degrees) {
            case 90:
                ox = src.h - 1 - y, oy = mx;
                break;
            case 180:
                ox = src.w - 1 - mx, oy = src.h - 1 - y;
                break;
            case 270:
                ox = y, oy = src.w - 1 - mx;
                break;
            default:
                break;
            }
            std::copy_n(src.data.data() + (static_cast<std::size_t>(y) * src.w + x) * c, c,
                        out.data.data() + (static_cast<std::size_t>(oy) * out.w + ox) * c);
        }
    }
    return out;
}

Pixels to_gray(const Pixels &src) {
    if (src.channels == 1) {
        return src;
    }
    Pixels out{src.w, src.h, 1, std::vector<std::uint8_t>(static_cast<std::size_t>(src.w) * src.h)};
    for (std::size_t i = 0; i < out.data.size(); ++i) {
        const std::uint8_t *p = src.data.data() + 3 * i;
        out.data[i] =
            static_cast<std::uint8_t>((299 * p[0] + 587 * p[1] + 114 * p[2] + 500) / 1000);
    }
    return out;
}

Pixels to_bitonal(const Pixels &src) {
    Pixels out = to_gray(src);
    for (std::uint8_t &v : out.data) {
        v = v >= 128 ? 255 : 0;
    }
    return out;
}

} // namespace r64serve
