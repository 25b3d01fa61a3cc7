// Speed of pixel access and of the averaging pyramid: r64_set and r64_red per pixel in
// row order, and the whole pyramid of an 8192 x 8192 'P' image whose level 0 is in the
// file, by the literal per-pixel pass and by the block-wise pass (source megapixels per
// second; peak memory measured in a fresh child process of this executable).
//
// The executable also has two plain modes that bench/compare.sh uses:
//   bench_pyramid --make-ppm OUT.ppm W H        writes a test image (binary PPM)
//   bench_pyramid --ppm-pyramid IN.ppm OUT.r64   creates OUT, writes level 0 from the
//                                                PPM band by band (r64_write_block),
//                                                builds and flushes every level
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "r64/file/r64_averaging.h"
#include "bench_support.h"
#include "r64/r64.h"

extern char **environ;

namespace {

using r64_bench::QuietStdout;
using r64_bench::scratch_dir;

using Pass = int (*)(R64_FILE *, int);
int fast_pass(R64_FILE *f, int level) {
    return r64_new_level(f, level);
}
int literal_pass(R64_FILE *f, int level) {
    return r64::new_level_lofi_literal(f, level);
}

constexpr int kSide = 8192;

// A colour gradient with a few shapes: a disc, a ring and a bar.
void test_pixel(int x, int y, int w, int h, unsigned char *p) {
    p[0] = static_cast<unsigned char>(x * 255 / (w - 1));
    p[1] = static_cast<unsigned char>(y * 255 / (h - 1));
    p[2] = static_cast<unsigned char>(255 - (x + y) * 255 / (w + h - 2));
    const long dx = x - w / 3, dy = y - h / 3;
    const long r2 = dx * dx + dy * dy, r = w / 6;
    if (r2 < r * r) {
        p[0] = 250, p[1] = 240, p[2] = 20;
    }
    const long ex = x - 2 * w / 3, ey = y - 2 * h / 3;
    const long e2 = ex * ex + ey * ey;
    if (e2 > (r / 2) * (r / 2) && e2 < r * r) {
        p[0] = 20, p[1] = 30, p[2] = 200;
    }
    if (y > h * 4 / 5 && y < h * 5 / 6 && x > w / 10 && x < w * 9 / 10) {
        p[0] = p[1] = p[2] = 0;
    }
}

R64_FILE *create(const std::string &path, char type, int w, int h) {
    unlink(path.c_str());
    return r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, type, w, h);
}

// The 8192 x 8192 'P' source, level 0 written and flushed, made once.
const std::string &source_file() {
    static const std::string path = [] {
        const std::string p = scratch_dir() + "/source.r64";
        R64_FILE *f = create(p, 'P', kSide, kSide);
        unsigned char px[3];
        for (int y = 0; y < kSide; ++y) {
            for (int x = 0; x < kSide; ++x) {
                test_pixel(x, y, kSide, kSide, px);
                r64_set(f, x, y, 0, px);
            }
        }
        if (r64_close_file(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", p.c_str());
            std::exit(1);
        }
        return p;
    }();
    return path;
}

// Reduces every level of an open file in turn, flushing after each. Returns the number
// of source pixels read, or -1 on a failure.
long build_levels(R64_FILE *f, Pass pass) {
    long pixels = 0;
    for (int level = 0; level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; ++level) {
        if (pass(f, level) != 0 || r64_flush(f) != 0) {
            return -1;
        }
        pixels += static_cast<long>(f->level_w[level]) * f->level_h[level];
    }
    return pixels;
}

// Cuts off the levels after level 0, so that every run makes them anew as on a fresh file.
bool cut_to_level0(const std::string &path) {
    return truncate(path.c_str(), 8L + 3L * kSide * kSide) == 0;
}

// One whole pyramid on a file whose level 0 alone is in place: open, reduce and flush
// every level, close. Returns the number of source pixels read, or -1 on a failure.
long pyramid_once(const std::string &path, Pass pass) {
    R64_FILE *f = r64_open_file(path.c_str(), O_RDWR, 0644, 'P', 0, 0);
    if (f == nullptr) {
        return -1;
    }
    QuietStdout quiet;
    const long pixels = build_levels(f, pass);
    return r64_close_file(f) == 0 ? pixels : -1;
}

long max_rss_kib() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Peak resident memory of a fresh process of this executable running args.
double child_peak_mib(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    static std::string self = "/proc/self/exe";
    argv.push_back(self.data());
    std::vector<std::string> copy = args;
    for (std::string &a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ru.ru_maxrss / 1024.0 : -1;
}

void set_pixels_row_order(benchmark::State &state) {
    constexpr int kW = 2048, kH = 2048;
    const std::string path = scratch_dir() + "/set.r64";
    R64_FILE *f = create(path, 'P', kW, kH);
    for (auto _ : state) {
        unsigned char px[3] = {1, 2, 3};
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                px[0] = static_cast<unsigned char>(x);
                r64_set(f, x, y, 0, px);
            }
        }
        benchmark::ClobberMemory();
    }
    r64_close_file(f);
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void red_pixels_row_order(benchmark::State &state) {
    R64_FILE *f = r64_open_file(source_file().c_str(), O_RDONLY, 0644, 'P', 0, 0);
    constexpr int kW = 2048, kH = 2048;
    unsigned sum = 0;
    for (auto _ : state) {
        unsigned char px[3];
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                r64_red(px, f, x, y, 0);
                sum += px[0];
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    r64_close_file(f);
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void pyramid(benchmark::State &state, Pass pass, const char *mode) {
    const std::string &path = source_file();
    long pixels = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const bool cut = cut_to_level0(path);
        state.ResumeTiming();
        pixels = cut ? pyramid_once(path, pass) : -1;
        if (pixels < 0) {
            state.SkipWithError("pyramid failed");
            return;
        }
    }
    state.counters["src_Mpx/s"] = benchmark::Counter(
        static_cast<double>(pixels) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
    state.counters["peak_MiB"] = child_peak_mib({"--pyramid-once", path, mode});
}

void pyramid_literal(benchmark::State &state) {
    pyramid(state, literal_pass, "literal");
}
void pyramid_fast(benchmark::State &state) {
    pyramid(state, fast_pass, "fast");
}

BENCHMARK(set_pixels_row_order)->Unit(benchmark::kMillisecond);
BENCHMARK(red_pixels_row_order)->Unit(benchmark::kMillisecond);
BENCHMARK(pyramid_literal)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(pyramid_fast)->Unit(benchmark::kMillisecond)->Iterations(5);

// ---- plain modes -------------------------------------------------------------------

int make_ppm(const char *out, int w, int h) {
    std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(out, "wb"), &std::fclose);
    if (!f) {
        std::perror(out);
        return 1;
    }
    std::fprintf(f.get(), "P6\n%d %d\n255\n", w, h);
    std::vector<unsigned char> row(static_cast<size_t>(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            test_pixel(x, y, w, h, &row[static_cast<size_t>(x) * 3]);
        }
        if (std::fwrite(row.data(), 1, row.size(), f.get()) != row.size()) {
            std::perror(out);
            return 1;
        }
    }
    return 0;
}

// Reads a binary PPM header: "P6", width, height, 255, each after white space.
bool read_ppm_header(FILE *f, int *w, int *h) {
    int maxval = 0;
    if (std::fscanf(f, "P6 %d %d %d", w, h, &maxval) != 3 || maxval != 255) {
        return false;
    }
    return std::fgetc(f) != EOF && *w > 0 && *h > 0 && *w <= 32767 && *h <= 32767;
}

int ppm_pyramid(const char *in, const char *out) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<FILE, decltype(&std::fclose)> src(std::fopen(in, "rb"), &std::fclose);
    int w = 0, h = 0;
    if (!src || !read_ppm_header(src.get(), &w, &h)) {
        std::fprintf(stderr, "%s: not a binary PPM with 8-bit samples\n", in);
        return 1;
    }
    R64_FILE *f = create(out, 'P', w, h);
    if (f == nullptr) {
        std::fprintf(stderr, "%s: cannot create (%d)\n", out, r64_error);
        return 1;
    }
    // One band of 64 rows at a time: the band's tiles all stay in the cache.
    std::vector<unsigned char> band(static_cast<size_t>(w) * 3 * 64);
    bool ok = true;
    for (int y0 = 0; y0 < h && ok; y0 += 64) {
        const int rows = h - y0 < 64 ? h - y0 : 64;
        const size_t n = static_cast<size_t>(w) * 3 * rows;
        ok = std::fread(band.data(), 1, n, src.get()) == n;
        ok = ok &&
             r64_write_block(f, 0, y0, w, rows, 0, band.data(), static_cast<size_t>(w) * 3) == 0;
    }
    const auto written = std::chrono::steady_clock::now();
    ok = ok && r64_flush(f) == 0 && build_levels(f, fast_pass) >= 0;
    ok = r64_close_file(f) == 0 && ok;
    const auto done = std::chrono::steady_clock::now();
    using ms = std::chrono::duration<double, std::milli>;
    std::fprintf(stderr,
                 "level 0 written in %.0f ms, whole pyramid in %.0f ms, peak RSS %.1f MiB\n",
                 ms(written - start).count(), ms(done - start).count(), max_rss_kib() / 1024.0);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    check_endian();
    r64_init();
    if (argc == 5 && std::strcmp(argv[1], "--make-ppm") == 0) {
        return make_ppm(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc == 4 && std::strcmp(argv[1], "--ppm-pyramid") == 0) {
        return ppm_pyramid(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "--pyramid-once") == 0) {
        const Pass pass = std::strcmp(argv[3], "literal") == 0 ? literal_pass : fast_pass;
        return cut_to_level0(argv[2]) && pyramid_once(argv[2], pass) >= 0 ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const std::string dir = scratch_dir();
    unlink((dir + "/source.r64").c_str());
    unlink((dir + "/set.r64").c_str());
    rmdir(dir.c_str());
    return 0;
}
