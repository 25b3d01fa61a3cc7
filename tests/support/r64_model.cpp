// The independent image and file model used by the tile, pixel and pyramid tests.
#include "r64_model.h"

#include <algorithm>
#include <cstdint>

namespace r64_test {

namespace {

int half_up(int v) {
    return v / 2 + v % 2;
}
int pixel_bytes(char type) {
    return type == 'P' ? 3 : 1;
}

} // namespace

ModelLevel::ModelLevel(char type, int width, int height)
    : w(width), h(height), bpp(pixel_bytes(type)),
      px(static_cast<size_t>(width) * height * pixel_bytes(type)) {}

std::vector<std::pair<int, int>> model_level_sizes(int w0, int h0) {
    std::vector<std::pair<int, int>> sizes;
    for (int w = w0, h = h0; w >= 3 && h >= 3 && sizes.size() < 32;
         w = half_up(w), h = half_up(h)) {
        sizes.emplace_back(w, h);
    }
    return sizes;
}

ModelLevel patterned_level(char type, int w, int h, unsigned seed) {
    ModelLevel m(type, w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned v = static_cast<unsigned>(x) * 2654435761u ^
                         static_cast<unsigned>(y) * 40503u ^ seed * 97u;
            v ^= v >> 13;
            unsigned char *p = m.at(x, y);
            if (type == 'B') {
                // Sparse set bits, so that empty and full groups both occur.
                p[0] = (v % 5 == 0) ? 0xFF : 0x00;
            } else {
                for (int c = 0; c < m.bpp; ++c) {
                    p[c] = static_cast<unsigned char>(v >> (8 * c));
                }
            }
        }
    }
    return m;
}

ModelLevel model_average(const ModelLevel &src, char type, bool clamp, const unsigned char bg[3]) {
    ModelLevel dst(type, half_up(src.w), half_up(src.h));
    for (int y = 0; y < dst.h; ++y) {
        for (int x = 0; x < dst.w; ++x) {
            unsigned sum[3] = {0, 0, 0};
            for (int dy = 0; dy < 2; ++dy) {
                for (int dx = 0; dx < 2; ++dx) {
                    int sx = 2 * x + dx;
                    int sy = 2 * y + dy;
                    const unsigned char *s = bg;
                    if (sx < src.w && sy < src.h) {
                        s = src.at(sx, sy);
                    } else if (clamp) {
                        s = src.at(std::min(sx, src.w - 1), std::min(sy, src.h - 1));
                    }
                    for (int c = 0; c < src.bpp; ++c) {
                        sum[c] += s[c];
                    }
                }
            }
            unsigned char *d = dst.at(x, y);
            for (int c = 0; c < dst.bpp; ++c) {
                d[c] = static_cast<unsigned char>(sum[c] / 4);
            }
            if (type == 'B') {
                d[0] = d[0] != 0 ? 0xFF : 0x00;
            }
        }
    }
    return dst;
}

Bytes model_file(char type, int w0, int h0, const std::vector<ModelLevel> &levels,
                 const unsigned char bg[3]) {
    const int bpp = pixel_bytes(type);
    const unsigned room = type == 'P' ? 3 : 1;
    const unsigned full_row = type == 'P' ? 192 : (type == 'B' ? 8 : 64);

    struct Placed {
        unsigned pos;
        int level, x0, y0, tw, th;
        unsigned row_bytes;
    };
    std::vector<Placed> tiles;
    unsigned area = 8;
    unsigned end = 8;
    for (size_t k = 0; k < levels.size(); ++k) {
        const int w = levels[k].w;
        const int h = levels[k].h;
        unsigned stride = static_cast<unsigned>(w) * bpp;
        if (type == 'B') {
            stride = (w % 8 != 0 || w0 % 8 != 0) ? w / 8 + 1 : w / 8;
        }
        for (int y0 = 0; y0 < h; y0 += 64) {
            const int th = std::min(64, h - y0);
            for (int x0 = 0; x0 < w; x0 += 64) {
                const int tw = std::min(64, w - x0);
                const unsigned row_bytes =
                    type == 'B' ? (tw + 7) / 8 : static_cast<unsigned>(tw) * bpp;
                const unsigned pos = area + y0 * stride + (x0 / 64) * th * full_row;
                tiles.push_back({pos, static_cast<int>(k), x0, y0, tw, th, row_bytes});
                end = std::max(end, pos + row_bytes * th);
            }
        }
        area += static_cast<unsigned>(w) * h * room;
    }

    Bytes file(end);
    const Bytes header = r64_header(type, w0, h0);
    std::copy(header.begin(), header.end(), file.begin());
    // Gaps and the unused parts of tile buffers hold background: the three bytes in
    // turn for 'P' (every 'P' tile starts 8 + 3k bytes in), the first byte alone else.
    for (unsigned i = 8; i < end; ++i) {
        file[i] = type == 'P' ? bg[(i - 8) % 3] : bg[0];
    }
    for (const Placed &t : tiles) {
        const ModelLevel &m = levels[t.level];
        for (int y = 0; y < t.th; ++y) {
            unsigned char *row = &file[t.pos + y * t.row_bytes];
            for (int x = 0; x < t.tw; ++x) {
                const unsigned char *p = m.at(t.x0 + x, t.y0 + y);
                if (type == 'B') {
                    const unsigned char bit = static_cast<unsigned char>(0x80 >> (x % 8));
                    row[x / 8] = static_cast<unsigned char>(p[0] != 0 ? row[x / 8] | bit
                                                                      : row[x / 8] & ~bit);
                } else {
                    std::copy(p, p + bpp, row + x * bpp);
                }
            }
        }
    }
    return file;
}

bool store_level(R64_FILE *f, int level, const ModelLevel &px) {
    for (int y = 0; y < px.h; ++y) {
        for (int x = 0; x < px.w; ++x) {
            if (r64_set(f, x, y, level, px.at(x, y)) != 0) {
                return false;
            }
        }
    }
    return true;
}

ModelLevel load_level(R64_FILE *f, int level) {
    ModelLevel m(f->header.type, f->level_w[level], f->level_h[level]);
    for (int y = 0; y < m.h; ++y) {
        for (int x = 0; x < m.w; ++x) {
            unsigned char p[3] = {0, 0, 0};
            r64_red(p, f, x, y, level);
            std::copy(p, p + m.bpp, m.at(x, y));
        }
    }
    return m;
}

} // namespace r64_test
