// Speed of the Fourier-filtered pyramid of a 4096 x 4096 'P' image whose level 0 is in
// the file: the literal pass (public transforms, one r64_red per sample) against the
// fast pass that r64_new_level_hifi takes, and the averaging pyramid for comparison.
// Figures are level-0 megapixels per second of CPU time for the whole pyramid, flushes
// included.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "r64/file/hifi_filter.h"
#include "bench_support.h"
#include "r64/r64.h"

namespace {

using r64_bench::QuietStdout;

constexpr int kSide = 4096;

using Pass = int (*)(R64_FILE *, int);

// The image file, made once per process: smooth gradients, a sharp-edged square and a
// band of noise, so that flat areas, edges that clamp and busy areas all occur.
const std::string &source_file() {
    static const std::string path = [] {
        const std::string file = r64_bench::scratch_dir() + "/image.r64";
        check_endian();
        r64_init();
        R64_FILE *f =
            r64_open_file(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', kSide, kSide);
        if (f == nullptr) {
            std::fprintf(stderr, "cannot create %s (%d)\n", file.c_str(), r64_error);
            std::exit(1);
        }
        std::vector<unsigned char> row(static_cast<size_t>(kSide) * 3);
        unsigned noise = 12345;
        for (int y = 0; y < kSide; y++) {
            for (int x = 0; x < kSide; x++) {
                unsigned char *p = &row[static_cast<size_t>(x) * 3];
                const bool square = x > 1000 && x < 2000 && y > 1000 && y < 2000;
                noise = noise * 1103515245u + 12345u;
                p[0] = static_cast<unsigned char>(square ? 255 : x / 16);
                p[1] = static_cast<unsigned char>(square ? 0 : y / 16);
                p[2] = static_cast<unsigned char>(y > 3000 ? noise >> 24 : (x + y) / 32);
            }
            if (r64_write_block(f, 0, y, kSide, 1, 0, row.data(), row.size()) != 0) {
                std::fprintf(stderr, "cannot write level 0 (%d)\n", r64_error);
                std::exit(1);
            }
        }
        r64_close_file(f);
        return file;
    }();
    return path;
}

void build_pyramid(benchmark::State &state, Pass pass) {
    const std::string &file = source_file();
    for (auto _ : state) {
        R64_FILE *f = r64_open_file(file.c_str(), O_RDWR, 0, 0, 0, 0);
        if (f == nullptr) {
            state.SkipWithError("cannot open the image");
            return;
        }
        {
            QuietStdout quiet;
            for (int level = 0; level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; level++) {
                if (pass(f, level) != 0 || r64_flush(f) != 0) {
                    state.SkipWithError("level generation failed");
                    break;
                }
            }
        }
        r64_close_file(f);
    }
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(kSide) * kSide / 1e6 *
                                                    static_cast<double>(state.iterations()),
                                                benchmark::Counter::kIsRate);
}

void BM_HifiPyramidFast(benchmark::State &state) {
    build_pyramid(state, r64_new_level_hifi);
}
void BM_HifiPyramidLiteral(benchmark::State &state) {
    build_pyramid(state, r64::new_level_hifi_literal);
}
void BM_AveragingPyramid(benchmark::State &state) {
    build_pyramid(state, r64_new_level);
}

} // namespace

BENCHMARK(BM_HifiPyramidFast)->Unit(benchmark::kMillisecond)->MinTime(2.0);
// About two minutes a pass: one is enough.
BENCHMARK(BM_HifiPyramidLiteral)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_AveragingPyramid)->Unit(benchmark::kMillisecond)->MinTime(2.0);

BENCHMARK_MAIN();
