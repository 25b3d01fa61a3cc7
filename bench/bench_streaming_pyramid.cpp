// The streaming pyramid writer against the cache path on the same picture, side by side
// in one run: level 0 through r64_write_block band by band, r64_flush, then each level
// made and flushed ("cache"), or r64_begin_pyramid / r64_write_rows / r64_end_pyramid
// ("stream"). Each run is a fresh child process of this executable, so that its peak
// resident memory is its own; runs alternate, and the medians are compared as ratios.
// The picture's rows come from a 256-row strip held in memory (6 MiB at 8192 wide), the
// same for both.
//
//   bench_streaming_pyramid [SIDE [RUNS [DIR]]]      defaults: 8192, 3, $TMPDIR or /tmp
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "r64/r64.h"

extern char **environ;

namespace {

constexpr int kStripRows = 256;

void silent(void *, int, long, long) {}

// A colour gradient with a disc and a bar, as the other pyramid benchmarks draw.
std::vector<unsigned char> strip(int w, int h) {
    std::vector<unsigned char> px(static_cast<size_t>(w) * 3 * kStripRows);
    for (int y = 0; y < kStripRows; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned char *p = &px[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<unsigned char>(x * 255 / (w - 1));
            p[1] = static_cast<unsigned char>((y * 7 + x / 3) & 0xFF);
            p[2] = static_cast<unsigned char>(255 - (x + y) * 255 / (w + h - 2));
            const long dx = x - w / 3, dy = y - kStripRows / 2;
            if (dx * dx + dy * dy < 100L * 100L) {
                p[0] = 250, p[1] = 240, p[2] = 20;
            }
        }
    }
    return px;
}

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// One pyramid in this process; prints "WRITE_MS SYNC_MS" (the fsync after close).
int once(const char *mode, const char *filter, int side, const char *path) {
    r64_set_progress(silent, nullptr);
    const bool fourier = std::strcmp(filter, "fourier") == 0;
    const std::vector<unsigned char> rows = strip(side, side);
    const size_t row_bytes = static_cast<size_t>(side) * 3;
    unlink(path);
    const Clock::time_point start = Clock::now();
    R64_FILE *f = r64_open_file(path, O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', side, side);
    if (f == nullptr) {
        return 1;
    }
    bool ok = true;
    if (std::strcmp(mode, "stream") == 0) {
        R64_PYRAMID *p = r64_begin_pyramid(f, fourier ? R64_FILTER_FOURIER : R64_FILTER_AVERAGE);
        ok = p != nullptr;
        for (int y = 0; ok && y < side; y += 64) {
            const int n = std::min(64, side - y);
            ok = r64_write_rows(p, &rows[(y % kStripRows) * row_bytes], row_bytes, n) == 0;
        }
        ok = p != nullptr && r64_end_pyramid(p) == 0 && ok;
    } else {
        for (int y = 0; ok && y < side; y += 64) {
            const int n = std::min(64, side - y);
            ok = r64_write_block(f, 0, y, side, n, 0, &rows[(y % kStripRows) * row_bytes],
                                 row_bytes) == 0;
        }
        ok = ok && r64_flush(f) == 0;
        for (int level = 0; ok && level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; ++level) {
            ok = (fourier ? r64_new_level_hifi(f, level) : r64_new_level(f, level)) == 0 &&
                 r64_flush(f) == 0;
        }
    }
    ok = r64_close_file(f) == 0 && ok;
    const double write_ms = ms_since(start);
    const Clock::time_point sync_start = Clock::now();
    const int fd = open(path, O_RDONLY);
    ok = ok && fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    std::printf("%.1f %.1f\n", write_ms, ms_since(sync_start));
    return ok ? 0 : 1;
}

struct Run {
    double write_ms = -1, sync_ms = -1, peak_mib = -1;
};

// A fresh child runs one pyramid; its timings come back through a pipe, its peak memory
// through wait4.
Run child(const std::string &mode, const std::string &filter, int side, const std::string &path) {
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {"/proc/self/exe",     "--once", mode, filter,
                                     std::to_string(side), path};
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    Run r;
    char text[64] = {};
    const ssize_t got = spawned == 0 ? read(out[0], text, sizeof text - 1) : -1;
    close(out[0]);
    if (spawned != 0) {
        return r;
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    if (got > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
        std::sscanf(text, "%lf %lf", &r.write_ms, &r.sync_ms) == 2) {
        r.peak_mib = static_cast<double>(ru.ru_maxrss) / 1024.0;
    }
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

bool same_file(const std::string &a, const std::string &b) {
    const std::string cmd = "cmp -s '" + a + "' '" + b + "'";
    return std::system(cmd.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv) {
    check_endian();
    r64_init();
    if (argc == 6 && std::strcmp(argv[1], "--once") == 0) {
        return once(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    }
    const int side = argc > 1 ? std::atoi(argv[1]) : 8192;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    const char *tmp = std::getenv("TMPDIR");
    const std::string dir = argc > 3 ? argv[3] : (tmp != nullptr ? tmp : "/tmp");
    const std::string cache_path = dir + "/bench_cache_path.r64";
    const std::string stream_path = dir + "/bench_stream_path.r64";
    if (side < 3 || side > 32767 || runs < 1) {
        std::fprintf(stderr, "usage: %s [SIDE [RUNS [DIR]]]\n", argv[0]);
        return 2;
    }
    std::printf("%dx%d 'P', %d runs each, alternating; medians; peak = largest of the runs\n", side,
                side, runs);
    std::printf("%-8s %-7s %10s %10s %9s %9s\n", "filter", "path", "write ms", "+fsync ms",
                "peak MiB", "ratio");
    int status = 0;
    for (const std::string filter : {"average", "fourier"}) {
        std::vector<double> write[2], total[2];
        double peak[2] = {0, 0};
        const std::string modes[2] = {"cache", "stream"};
        const std::string paths[2] = {cache_path, stream_path};
        for (int r = 0; r < runs; ++r) {
            for (int m = 0; m < 2; ++m) {
                const Run run = child(modes[m], filter, side, paths[m]);
                if (run.peak_mib < 0) {
                    std::fprintf(stderr, "%s %s run failed\n", modes[m].c_str(), filter.c_str());
                    return 1;
                }
                write[m].push_back(run.write_ms);
                total[m].push_back(run.write_ms + run.sync_ms);
                peak[m] = std::max(peak[m], run.peak_mib);
            }
        }
        for (int m = 0; m < 2; ++m) {
            std::printf("%-8s %-7s %10.0f %10.0f %9.1f %9s\n", filter.c_str(), modes[m].c_str(),
                        median(write[m]), median(total[m]), peak[m], m == 0 ? "1.00" : "");
        }
        std::printf("%-8s %-7s %10.2fx %9.2fx %8.2fx  (cache / stream)\n", filter.c_str(), "ratio",
                    median(write[0]) / median(write[1]), median(total[0]) / median(total[1]),
                    peak[0] / peak[1]);
        if (!same_file(cache_path, stream_path)) {
            std::printf("%-8s FILES DIFFER\n", filter.c_str());
            status = 1;
        }
    }
    unlink(cache_path.c_str());
    unlink(stream_path.c_str());
    return status;
}
