// Speed and memory of cr writing: the whole pyramid of an N x N 'P' image converted
// with 256-pixel tiles (megapixels of all levels per second, peak resident memory of
// the conversion, cr size over r64 size) on 1 and 2 threads, next to the floor:
// libjpeg-turbo alone encoding the same tiles at quality 80 and decoding those the
// writer decodes again (all but level 0). The literal writer (fresh codec buffers,
// per-pixel gather, a record write per tile) runs at 4096 for comparison.
// Sources are written straight in the r64 layout, one band of tiles at a time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

#include "r64/file/cr_write_steps.h"
#include "bench_support.h"
#include "r64/r64.h"

namespace {

using r64_bench::QuietStdout;
using r64_bench::scratch_dir;

constexpr int kRect = 256;

long status_kb(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(field));
        }
    }
    return -1;
}

// Resets the peak resident size to the current one (Linux clear_refs).
void reset_peak() {
    if (FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

long file_bytes(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// A photo-like picture sampled at level `level`: soft waves, gradients, hard-edged
// patches and a little noise.
struct Picture {
    std::vector<double> wave_x[3];
    std::vector<double> wave_y;
    explicit Picture(int side) : wave_y(side) {
        for (int k = 0; k < 3; ++k) {
            wave_x[k].resize(side);
            for (int x = 0; x < side; ++x) {
                wave_x[k][x] = 60 * std::sin(x / 97.0 + k);
            }
        }
        for (int y = 0; y < side; ++y) {
            wave_y[y] = std::cos(y / 61.0);
        }
    }
    unsigned char at(int X, int Y, int k) const {
        const unsigned n = static_cast<unsigned>(X * 7919 + Y * 104729 + k * 31) * 2654435761u;
        const double v = 90 + wave_x[k][X] * wave_y[Y] + 0.01 * X + 0.008 * Y +
                         ((X / 700 + Y / 500) % 3 == 0 ? 40 : 0) + static_cast<int>(n >> 29) - 4;
        return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
};

void put_be16(unsigned char *p, int v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

// Pixels of all levels of a side x side image.
long pyramid_pixels(int side) {
    long n = 0;
    for (int s = side; s >= 3; s = (s + 1) / 2) {
        n += static_cast<long>(s) * s;
    }
    return n;
}

// The r64 source of a side x side 'P' image with every level present, made once.
const std::string &source(int side) {
    static std::map<int, std::string> made;
    auto it = made.find(side);
    if (it != made.end()) {
        return it->second;
    }
    const std::string path = scratch_dir() + "/src" + std::to_string(side) + ".r64";
    const Picture pic(side);
    FILE *out = std::fopen(path.c_str(), "wb");
    unsigned char header[8] = {'R', '6', '4', 'P'};
    put_be16(header + 4, side);
    put_be16(header + 6, side);
    std::fwrite(header, 1, 8, out);
    std::vector<unsigned char> band;
    for (int level = 0, s = side; s >= 3; ++level, s = (s + 1) / 2) {
        for (int y0 = 0; y0 < s; y0 += 64) {
            const int h_len = std::min(64, s - y0);
            band.assign(static_cast<std::size_t>(s) * h_len * 3, 0);
            std::size_t o = 0;
            for (int x0 = 0; x0 < s; x0 += 64) {
                const int w_len = std::min(64, s - x0);
                for (int y = y0; y < y0 + h_len; ++y) {
                    for (int x = x0; x < x0 + w_len; ++x) {
                        for (int k = 0; k < 3; ++k) {
                            band[o++] = pic.at(x << level, y << level, k);
                        }
                    }
                }
            }
            std::fwrite(band.data(), 1, band.size(), out);
        }
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return made[side] = path;
}

std::string target(int side) {
    return scratch_dir() + "/out" + std::to_string(side) + ".cr";
}

using Writer = int (*)(const char *out, R64_FILE *r64, int threads);

int pipelined(const char *out, R64_FILE *r64, int threads) {
    return r64::cr_write_file_pipelined(out, 0644, kRect, r64, threads);
}

int literal(const char *out, R64_FILE *r64, int) {
    return r64::cr_write_file_using(out, 0644, kRect, r64, r64::gather_tile_literal);
}

void convert(benchmark::State &state, int side, int threads, Writer writer) {
    check_endian();
    r64_init();
    const std::string &src = source(side);
    const std::string out = target(side);
    long peak_kb = 0;
    for (auto _ : state) {
        R64_FILE *r64 = r64_open_file(src.c_str(), O_RDONLY, 0, 0, 0, 0);
        const long before = status_kb("VmRSS:");
        reset_peak();
        int ret;
        {
            QuietStdout quiet;
            ret = writer(out.c_str(), r64, threads);
        }
        peak_kb = std::max(peak_kb, status_kb("VmHWM:") - before);
        r64_close_file(r64);
        if (ret != 0) {
            state.SkipWithError("cr writing failed");
            return;
        }
    }
    const double mp = pyramid_pixels(side) / 1e6;
    state.counters["MP/s"] =
        benchmark::Counter(mp * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["peak_MB"] = peak_kb / 1024.0;
    state.counters["cr/r64"] = static_cast<double>(file_bytes(out)) / file_bytes(src);
}

// Arguments: side, threads.
void BM_CrWrite(benchmark::State &state) {
    convert(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), pipelined);
}
BENCHMARK(BM_CrWrite)
    ->Args({2048, 1})
    ->Args({4096, 1})
    ->Args({8192, 1})
    ->Args({8192, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

void BM_CrWriteLiteral(benchmark::State &state) {
    convert(state, static_cast<int>(state.range(0)), 1, literal);
}
BENCHMARK(BM_CrWriteLiteral)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

std::vector<unsigned char> encode(const unsigned char *px, int w, int h) {
    return r64_bench::bare_jpeg_encode(px, w, h, 80);
}

std::vector<unsigned char> decode(const unsigned char *data, unsigned long size, int w, int h) {
    std::vector<unsigned char> px(static_cast<std::size_t>(w) * h * 4);
    r64_bench::bare_jpeg_decode(data, size, w, px.data());
    return px;
}

// The floor: for every JPEG tile of the converted file, encoding its pixels (the
// tile's own stream decoded, so the content matches what the writer encoded) and
// decoding the stream made: above level 0 only, as the writer does (second
// argument 0), or every tile (1).
void BM_JpegFloor(benchmark::State &state) {
    const int side = static_cast<int>(state.range(0));
    const bool decode_level0 = state.range(1) != 0;
    check_endian();
    r64_init();
    const std::string out = target(side);
    if (file_bytes(out) <= 0) {
        R64_FILE *r64 = r64_open_file(source(side).c_str(), O_RDONLY, 0, 0, 0, 0);
        QuietStdout quiet;
        cr_write_file(out.c_str(), 0644, kRect, r64);
        r64_close_file(r64);
    }
    CR_FILE *f = cr_open_file(out.c_str(), O_RDONLY, 0, 0, 0, 0);
    struct Tile {
        int level, w, h;
        std::vector<unsigned char> px;
    };
    std::vector<Tile> tiles;
    for (int level = 0; cr_check_level(f, level); ++level) {
        for (int y = 0; y < f->level_h[level]; y += kRect) {
            for (int x = 0; x < f->level_w[level]; x += kRect) {
                CR_MEM_TBL t{};
                if (cr_read(&t, f, x, y, level) == 0 && t.type == 'j') {
                    const int w = std::min(kRect, f->level_w[level] - x);
                    const int h = std::min(kRect, f->level_h[level] - y);
                    tiles.push_back(Tile{level, w, h, decode(t.buf, t.size, w, h)});
                }
                free_cr_mem_tbl(&t);
            }
        }
    }
    cr_close_file(f);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (const Tile &t : tiles) {
            std::vector<unsigned char> stream = encode(t.px.data(), t.w, t.h);
            if (t.level > 0 || decode_level0) {
                benchmark::DoNotOptimize(decode(stream.data(), stream.size(), t.w, t.h));
            }
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double mp = pyramid_pixels(side) / 1e6;
    state.counters["MP/s"] =
        benchmark::Counter(mp * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JpegFloor)
    ->Args({8192, 0})
    ->Args({8192, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

} // namespace

BENCHMARK_MAIN();
