// Encode and decode of 256x256 tiles through the memory codec, next to the bare library
// on the same pixels (its own memory destination and source, 4-byte pixels in place).
// Reports megapixels per second; the codec's overhead should stay under 10%.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include "bench_support.h"
#include "r64/jpeg_mem.h"

namespace {

constexpr int side = 256;

// A photo-like tile: smooth gradients with a little texture.
std::vector<unsigned char> tile() {
    std::vector<unsigned char> px(std::size_t(side) * side * 4);
    unsigned seed = 12345;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            seed = seed * 1103515245u + 12345u;
            unsigned char *p = &px[(std::size_t(y) * side + x) * 4];
            const int grain = int(seed >> 27);
            p[0] = static_cast<unsigned char>((x + grain) & 255);
            p[1] = static_cast<unsigned char>((y * 3 / 4 + grain) & 255);
            p[2] = static_cast<unsigned char>(((x ^ y) / 2 + grain) & 255);
            p[3] = 0;
        }
    return px;
}

std::vector<unsigned char> bare_encode(std::vector<unsigned char> &px) {
    return r64_bench::bare_jpeg_encode(px.data(), side, side, 80);
}

void set_rate(benchmark::State &state) {
    state.counters["MP/s"] = benchmark::Counter(double(side) * side / 1e6 * state.iterations(),
                                                benchmark::Counter::kIsRate);
}

void BM_CodecEncode(benchmark::State &state) {
    auto px = tile();
    for (auto _ : state) {
        int len = 0;
        unsigned char *out = jpeg_compress(&len, px.data(), side, side, 80);
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    set_rate(state);
}

void BM_LibraryEncode(benchmark::State &state) {
    auto px = tile();
    for (auto _ : state) {
        auto stream = bare_encode(px);
        benchmark::DoNotOptimize(stream.data());
    }
    set_rate(state);
}

void BM_CodecDecode(benchmark::State &state) {
    auto px = tile();
    auto stream = bare_encode(px);
    for (auto _ : state) {
        int w = 0, h = 0;
        unsigned char *img =
            jpeg_uncompress(&w, &h, stream.data(), static_cast<int>(stream.size()));
        benchmark::DoNotOptimize(img);
        std::free(img);
    }
    set_rate(state);
}

// The bare library decoding 4-byte pixels into an image allocated once, outside the
// timing: the codec's figure includes allocating a zeroed image per tile, this one not.
void BM_LibraryDecode(benchmark::State &state) {
    auto px = tile();
    auto stream = bare_encode(px);
    std::vector<unsigned char> img(std::size_t(side) * side * 4);
    for (auto _ : state) {
        r64_bench::bare_jpeg_decode(stream.data(), stream.size(), side, img.data());
        benchmark::DoNotOptimize(img.data());
    }
    set_rate(state);
}

BENCHMARK(BM_CodecEncode);
BENCHMARK(BM_LibraryEncode);
BENCHMARK(BM_CodecDecode);
BENCHMARK(BM_LibraryDecode);

} // namespace

BENCHMARK_MAIN();
