// Region, size, level and Deep Zoom arithmetic. Integer arithmetic throughout except
// where the API itself speaks in percentages or aspect-ratio fits.
#include "geometry.h"

#include <algorithm>
#include <cmath>

namespace r64serve {
namespace {

long ceil_shift(long v, int s) {
    return (v + (1L << s) - 1) >> s;
}

// Largest output of aspect rw:rh that fits the limits (and, unless `grow`, the region).
OutSize fit_limits(long rw, long rh, const OutputLimits &lim, bool grow) {
    double s = std::min(static_cast<double>(lim.max_width) / static_cast<double>(rw),
                        static_cast<double>(lim.max_height) / static_cast<double>(rh));
    s = std::min(s, std::sqrt(static_cast<double>(lim.max_area) /
                              (static_cast<double>(rw) * static_cast<double>(rh))));
    if (!grow) {
        s = std::min(s, 1.0);
    }
    OutSize o{std::max(1L, static_cast<long>(std::floor(static_cast<double>(rw) * s))),
              std::max(1L, static_cast<long>(std::floor(static_cast<double>(rh) * s)))};
    // Rounding in the square root can leave the area a pixel row above the limit.
    while (o.w * o.h > lim.max_area && (o.w > 1 || o.h > 1)) {
        if (o.w >= o.h) {
            --o.w;
        } else {
            --o.h;
        }
    }
    return o;
}

long scaled(long v, long num, long den) {
    // v * num / den rounded to the nearest, at least 1.
    return std::max(1L, (2 * v * num + den) / (2 * den));
}

} // namespace

std::optional<Rect> region_pixels(const Region &r, long width, long height) {
    Rect o;
    switch (r.kind) {
    case Region::Kind::Full:
        return Rect{0, 0, width, height};
    case Region::Kind::Square: {
        const long s = std::min(width, height);
        return Rect{(width - s) / 2, (height - s) / 2, s, s};
    }
    case Region::Kind::Pixels:
        o = Rect{r.x, r.y, r.w, r.h};
        break;
    case Region::Kind::Percent: {
        const auto px = [](double pct, long whole) {
            return static_cast<long>(
                std::llround(std::min(pct, 1e6) * static_cast<double>(whole) / 100.0));
        };
        o = Rect{px(r.px, width), px(r.py, height), px(r.pw, width), px(r.ph, height)};
        break;
    }
    }
    if (o.w <= 0 || o.h <= 0 || o.x >= width || o.y >= height) {
        return std::nullopt;
    }
    o.w = std::min(o.w, width - o.x);
    o.h = std::min(o.h, height - o.y);
    return o;
}

std::optional<Failure> output_size(const Size &s, long rw, long rh, const OutputLimits &lim,
                                   OutSize &out) {
    const auto too_big = [&](const char *what) {
        return Failure{Refusal::BadSize, std::string(what) + " is larger than the region; "
                                                             "'^' asks for upscaling"};
    };
    switch (s.kind) {
    case Size::Kind::Max:
        out = fit_limits(rw, rh, lim, s.upscale);
        return std::nullopt; // within the limits by construction
    case Size::Kind::Width:
        if (!s.upscale && s.w > rw) {
            return too_big("the width");
        }
        out = {s.w, scaled(s.w, rh, rw)};
        break;
    case Size::Kind::Height:
        if (!s.upscale && s.h > rh) {
            return too_big("the height");
        }
        out = {scaled(s.h, rw, rh), s.h};
        break;
    case Size::Kind::Percent: {
        if (!s.upscale && s.pct > 100.0) {
            return too_big("the percentage");
        }
        if (s.pct > 1e6) {
            return Failure{Refusal::SizeAboveLimits, "percentage above the limits"};
        }
        out = {static_cast<long>(std::llround(static_cast<double>(rw) * s.pct / 100.0)),
               static_cast<long>(std::llround(static_cast<double>(rh) * s.pct / 100.0))};
        break;
    }
    case Size::Kind::Exact:
        if (!s.upscale && (s.w > rw || s.h > rh)) {
            return too_big("the size");
        }
        out = {s.w, s.h};
        break;
    case Size::Kind::Confined: {
        // The largest size of the region's aspect within the box; without '^' never
        // larger than the region itself.
        if (s.w * rh <= s.h * rw) { // the width binds
            out = {s.w, std::min(s.h, scaled(s.w, rh, rw))};
        } else {
            out = {std::min(s.w, scaled(s.h, rw, rh)), s.h};
        }
        if (!s.upscale && (out.w > rw || out.h > rh)) {
            out = {rw, rh};
        }
        break;
    }
    }
    if (out.w <= 0 || out.h <= 0) {
        return Failure{Refusal::BadSize, "the size is zero"};
    }
    if (out.w > lim.max_width || out.h > lim.max_height || out.w * out.h > lim.max_area) {
        return Failure{Refusal::SizeAboveLimits, std::to_string(out.w) + "x" +
                                                     std::to_string(out.h) +
                                                     " is above maxWidth, maxHeight or maxArea"};
    }
    return std::nullopt;
}

Rect region_at_level(const Rect &region, int level, int level_w, int level_h) {
    const long x0 = region.x >> level;
    const long y0 = region.y >> level;
    const long x1 = std::min<long>(level_w, ceil_shift(region.x + region.w, level));
    const long y1 = std::min<long>(level_h, ceil_shift(region.y + region.h, level));
    return Rect{x0, y0, std::max(1L, x1 - x0), std::max(1L, y1 - y0)};
}

int choose_level(const Rect &region, long out_w, long out_h, std::span<const int> level_w,
                 std::span<const int> level_h) {
    int best = 0;
    for (int l = 1; l < static_cast<int>(level_w.size()); ++l) {
        const Rect r = region_at_level(region, l, level_w[static_cast<std::size_t>(l)],
                                       level_h[static_cast<std::size_t>(l)]);
        if (r.w < out_w || r.h < out_h) {
            break;
        }
        best = l;
    }
    return best;
}

int dz_top_level(long width, long height) {
    long edge = std::max(width, height);
    int n = 0;
    while ((1L << n) < edge) {
        ++n;
    }
    return n;
}

std::optional<Rect> dz_tile_region(long width, long height, int level, long col, long row,
                                   int tile_edge, OutSize &tile_size) {
    const int top = dz_top_level(width, height);
    if (level < 0 || level > top) {
        return std::nullopt;
    }
    const int k = top - level; // this level is level 0 halved k times
    const long lw = ceil_shift(width, k);
    const long lh = ceil_shift(height, k);
    const long x = col * tile_edge;
    const long y = row * tile_edge;
    if (x >= lw || y >= lh) {
        return std::nullopt;
    }
    tile_size = {std::min<long>(tile_edge, lw - x), std::min<long>(tile_edge, lh - y)};
    const long x0 = x << k, y0 = y << k;
    return Rect{x0, y0, std::min(width, (x + tile_size.w) << k) - x0,
                std::min(height, (y + tile_size.h) << k) - y0};
}

} // namespace r64serve
