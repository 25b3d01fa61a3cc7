// The independent image and file model and the cache probes used by the tile, pixel and
// pyramid tests.
#include "r64_model.h"

#include <algorithm>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

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
    const unsigned full_row = type == 'P' ? 192 : (type == 'B' ? 8 : 64);
    Bytes file = r64_header(type, w0, h0);
    // Gaps and the unused parts of tile buffers hold background: the three bytes in
    // turn for 'P' (every 'P' tile starts 8 + 3k bytes in), the first byte alone else.
    auto grow = [&](size_t size) {
        while (file.size() < size) {
            file.push_back(type == 'P' ? bg[(file.size() - 8) % 3] : bg[0]);
        }
    };
    unsigned area = 8;
    for (const ModelLevel &m : levels) {
        unsigned stride = static_cast<unsigned>(m.w) * bpp;
        if (type == 'B') {
            stride = (m.w % 8 != 0 || w0 % 8 != 0) ? m.w / 8 + 1 : m.w / 8;
        }
        for (int y0 = 0; y0 < m.h; y0 += 64) {
            const int th = std::min(64, m.h - y0);
            for (int x0 = 0; x0 < m.w; x0 += 64) {
                const int tw = std::min(64, m.w - x0);
                const unsigned row_bytes = type == 'B' ? (tw + 7) / 8 : tw * bpp;
                const unsigned pos = area + y0 * stride + (x0 / 64) * th * full_row;
                grow(pos + row_bytes * th);
                for (int y = 0; y < th; ++y) {
                    unsigned char *row = &file[pos + y * row_bytes];
                    for (int x = 0; x < tw; ++x) {
                        const unsigned char *p = m.at(x0 + x, y0 + y);
                        const auto bit = static_cast<unsigned char>(0x80 >> (x % 8));
                        if (type != 'B') {
                            std::copy(p, p + bpp, row + x * bpp);
                        } else if (p[0] != 0) {
                            row[x / 8] |= bit;
                        } else {
                            row[x / 8] &= static_cast<unsigned char>(~bit);
                        }
                    }
                }
            }
        }
        area += static_cast<unsigned>(m.w) * m.h * (type == 'P' ? 3 : 1);
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

R64_CACHE_ENT *cached_tile(R64_FILE *f, int level, int x0, int y0) {
    for (R64_CACHE_ENT *e = f->cache[0].next; e != &f->cache[0]; e = e->next) {
        if (e->level == level && e->w_ofs == x0 && e->h_ofs == y0) {
            return e;
        }
    }
    return nullptr;
}

int ring_length(const R64_FILE *f) {
    int n = 0;
    for (const R64_CACHE_ENT *e = f->cache[0].next; e != &f->cache[0]; e = e->next) {
        ++n;
    }
    return n;
}

int free_length(const R64_FILE *f) {
    int n = 0;
    for (const R64_CACHE_ENT *e = f->free_list; e != nullptr; e = e->next) {
        ++n;
    }
    return n;
}

SwappedFd::SwappedFd(R64_FILE *f, const std::string &path, int flags)
    : fd_(f->fd), saved_(dup(f->fd)) {
    const int other = open(path.c_str(), flags);
    if (saved_ < 0 || other < 0 || dup2(other, fd_) < 0) {
        throw std::runtime_error("cannot swap the descriptor of " + path);
    }
    close(other);
}

SwappedFd::~SwappedFd() {
    dup2(saved_, fd_);
    close(saved_);
}

} // namespace r64_test
