#include "r64_model.h"

#include <algorithm>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace r64_test {

namespace {

int chain_length(const R64_CACHE_ENT *e, const R64_CACHE_ENT *end) {
    int n = 0;
    for (; e != end; e = e->next) {
        ++n;
    }
    return n;
}

} // namespace

std::vector<std::pair<int, int>> model_level_sizes(int w0, int h0) {
    std::vector<std::pair<int, int>> sizes;
    for (int w = w0, h = h0; w >= 3 && h >= 3 && sizes.size() < 32;
         w = (w + 1) / 2, h = (h + 1) / 2) {
        sizes.emplace_back(w, h);
    }
    return sizes;
}

ModelLevel patterned_level(char type, int w, int h, unsigned seed) {
    ModelLevel m(type, w, h);
    for (int i = 0; i < w * h; ++i) {
        unsigned v = static_cast<unsigned>(i % w) * 2654435761u ^
                     static_cast<unsigned>(i / w) * 40503u ^ seed * 97u;
        v ^= v >> 13;
        for (int c = 0; c < m.bpp; ++c) { // 'B': sparse set bits, empty and full groups
            m.px[i * m.bpp + c] = type == 'B' ? (v % 5 == 0 ? 0xFF : 0) : (v >> (8 * c)) & 0xFF;
        }
    }
    return m;
}

ModelLevel model_average(const ModelLevel &src, char type, bool clamp, const unsigned char bg[3]) {
    ModelLevel dst(type, (src.w + 1) / 2, (src.h + 1) / 2);
    for (int y = 0; y < dst.h; ++y) {
        for (int x = 0; x < dst.w; ++x) {
            for (int c = 0; c < dst.bpp; ++c) {
                unsigned sum = 0;
                for (int d = 0; d < 4; ++d) {
                    const int sx = 2 * x + d % 2, sy = 2 * y + d / 2;
                    sum += sx < src.w && sy < src.h ? src.at(sx, sy)[c]
                           : clamp ? src.at(std::min(sx, src.w - 1), std::min(sy, src.h - 1))[c]
                                   : bg[c];
                }
                dst.at(x, y)[c] = type == 'B' ? (sum / 4 != 0 ? 0xFF : 0) : sum / 4;
            }
        }
    }
    return dst;
}

Bytes model_file(char type, int w0, int h0, const std::vector<ModelLevel> &levels,
                 const unsigned char bg[3]) {
    const int bpp = type == 'P' ? 3 : 1;
    const unsigned full_row = type == 'P' ? 192 : (type == 'B' ? 8 : 64);
    Bytes file = r64_header(type, w0, h0);
    // Background: the three bytes in turn for 'P' (every 'P' tile starts 8 + 3k bytes
    // in), the first byte alone else.
    auto grow = [&](size_t size) {
        while (file.size() < size) {
            file.push_back(type == 'P' ? bg[(file.size() - 8) % 3] : bg[0]);
        }
    };
    unsigned area = 8;
    for (const ModelLevel &m : levels) {
        const unsigned stride = type != 'B' ? static_cast<unsigned>(m.w) * bpp
                                            : m.w / 8 + (m.w % 8 != 0 || w0 % 8 != 0);
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
                        if (type != 'B') {
                            std::copy(p, p + bpp, row + x * bpp);
                        } else { // set or clear the pixel's bit, the leftmost first
                            row[x / 8] = p[0] != 0 ? row[x / 8] | 0x80 >> x % 8
                                                   : row[x / 8] & ~(0x80 >> x % 8);
                        }
                    }
                }
            }
        }
        area += static_cast<unsigned>(m.w) * m.h * bpp;
    }
    return file;
}

bool store_level(R64_FILE *f, int level, const ModelLevel &px) {
    for (int i = 0; i < px.w * px.h; ++i) {
        if (r64_set(f, i % px.w, i / px.w, level, px.at(i % px.w, i / px.w)) != 0) {
            return false;
        }
    }
    return true;
}

ModelLevel load_level(R64_FILE *f, int level) {
    ModelLevel m(f->header.type, f->level_w[level], f->level_h[level]);
    for (int i = 0; i < m.w * m.h; ++i) {
        unsigned char p[3] = {0, 0, 0};
        r64_red(p, f, i % m.w, i / m.w, level);
        std::copy(p, p + m.bpp, m.at(i % m.w, i / m.w));
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
    return chain_length(f->cache[0].next, &f->cache[0]);
}

int free_length(const R64_FILE *f) {
    return chain_length(f->free_list, nullptr);
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
