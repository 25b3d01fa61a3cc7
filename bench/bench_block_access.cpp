// Bulk pixel access against the per-pixel operations: filling and reading a whole
// 2048 x 2048 level of each type into the tile cache, once with r64_set / r64_red per
// pixel and once band by band (64 rows) with r64_write_block / r64_read_block. The file
// is new, so the cache fills tiles with background and no file read is timed.
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "r64/r64.h"

namespace {

constexpr int kSide = 2048;

struct Level {
    R64_FILE *f = nullptr;
    std::string path;
    Level(char type) {
        check_endian();
        r64_init();
        char tmpl[] = "/tmp/bench_block_XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0) {
            std::abort();
        }
        close(fd);
        path = tmpl;
        f = r64_open_file(path.c_str(), O_RDWR, 0644, type, kSide, kSide);
        if (f == nullptr) {
            std::abort();
        }
    }
    ~Level() {
        r64_close_file(f);
        unlink(path.c_str());
    }
};

int bytes_of(char type) {
    return type == 'P' ? 3 : 1;
}

std::vector<unsigned char> band_of(char type) {
    std::vector<unsigned char> b(static_cast<size_t>(kSide) * R64_TILE * bytes_of(type));
    for (size_t i = 0; i < b.size(); ++i) {
        b[i] = static_cast<unsigned char>(i * 7);
    }
    return b;
}

// Rows of 64 bands at a time, so that both paths touch each tile in one run.
// Level 0 written band by band from one band's pixels, before a read benchmark.
void fill_level(const Level &lv, const std::vector<unsigned char> &band, size_t stride) {
    for (int y0 = 0; y0 < kSide; y0 += R64_TILE) {
        r64_write_block(lv.f, 0, y0, kSide, R64_TILE, 0, band.data(), stride);
    }
}

void BM_WritePerPixel(benchmark::State &state) {
    const char type = static_cast<char>(state.range(0));
    Level lv(type);
    const auto band = band_of(type);
    const size_t stride = static_cast<size_t>(kSide) * bytes_of(type);
    for (auto _ : state) {
        for (int y0 = 0; y0 < kSide; y0 += R64_TILE) {
            for (int y = 0; y < R64_TILE; ++y) {
                for (int x = 0; x < kSide; ++x) {
                    r64_set(lv.f, x, y0 + y, 0, &band[y * stride + x * bytes_of(type)]);
                }
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

void BM_WriteBlock(benchmark::State &state) {
    const char type = static_cast<char>(state.range(0));
    Level lv(type);
    const auto band = band_of(type);
    const size_t stride = static_cast<size_t>(kSide) * bytes_of(type);
    for (auto _ : state) {
        for (int y0 = 0; y0 < kSide; y0 += R64_TILE) {
            r64_write_block(lv.f, 0, y0, kSide, R64_TILE, 0, band.data(), stride);
        }
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

void BM_ReadPerPixel(benchmark::State &state) {
    const char type = static_cast<char>(state.range(0));
    Level lv(type);
    auto band = band_of(type);
    const size_t stride = static_cast<size_t>(kSide) * bytes_of(type);
    fill_level(lv, band, stride);
    for (auto _ : state) {
        for (int y0 = 0; y0 < kSide; y0 += R64_TILE) {
            for (int y = 0; y < R64_TILE; ++y) {
                for (int x = 0; x < kSide; ++x) {
                    r64_red(&band[y * stride + x * bytes_of(type)], lv.f, x, y0 + y, 0);
                }
            }
            benchmark::DoNotOptimize(band.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

void BM_ReadBlock(benchmark::State &state) {
    const char type = static_cast<char>(state.range(0));
    Level lv(type);
    auto band = band_of(type);
    const size_t stride = static_cast<size_t>(kSide) * bytes_of(type);
    fill_level(lv, band, stride);
    for (auto _ : state) {
        for (int y0 = 0; y0 < kSide; y0 += R64_TILE) {
            r64_read_block(band.data(), stride, lv.f, 0, y0, kSide, R64_TILE, 0);
            benchmark::DoNotOptimize(band.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}

#define TYPES ->Arg('G')->Arg('P')->Arg('B')->Unit(benchmark::kMillisecond)
BENCHMARK(BM_WritePerPixel) TYPES;
BENCHMARK(BM_WriteBlock) TYPES;
BENCHMARK(BM_ReadPerPixel) TYPES;
BENCHMARK(BM_ReadBlock) TYPES;

} // namespace

BENCHMARK_MAIN();
