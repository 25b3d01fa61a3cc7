// cr tile reading through the cache: a hit on the most recent tile, a hit at the
// far end of a full ring (the longest lookup walk), and a miss on every read (320
// tiles cycled through a 319-tile cache), with tiles of 2000 compressed bytes.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "r64/r64.h"

namespace {

constexpr int kTileBytes = 2000;
constexpr int kTiles = 320; // 320 x 256 pixels in 16-pixel tiles: 20 x 16 at level 0
constexpr uint32_t kRecords = 431;

void put_be(std::vector<unsigned char> &b, std::size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * (n - 1 - i)));
    }
}

class CrFixture {
  public:
    CrFixture() {
        check_endian();
        r64_init();
        char tmpl[] = "/tmp/bench_cr_read_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            std::abort();
        }
        dir_ = tmpl;
        path_ = dir_ + "/b.cr";
        std::vector<unsigned char> b(16 + 12 * kRecords, 0);
        b[0] = 'C';
        b[1] = 'R';
        put_be(b, 4, 320, 2);
        put_be(b, 6, 256, 2);
        put_be(b, 8, 16, 2);
        put_be(b, 12, kRecords, 4);
        for (int k = 0; k < kTiles; ++k) {
            put_be(b, 16 + 12 * k, static_cast<uint32_t>(b.size()), 4);
            b[16 + 12 * k + 4] = 'j';
            put_be(b, 16 + 12 * k + 8, kTileBytes, 4);
            b.resize(b.size() + kTileBytes, static_cast<unsigned char>(k));
        }
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) {
            std::abort();
        }
        close(fd);
        f = cr_open_file(path_.c_str(), O_RDONLY, 0666, 0, 0, 0);
        if (f == nullptr) {
            std::abort();
        }
    }
    ~CrFixture() {
        cr_close_file(f);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    void read(int k) {
        CR_MEM_TBL b{};
        if (cr_read(&b, f, 16 * (k % 20), 16 * (k / 20), 0) != 0) {
            std::abort();
        }
        benchmark::DoNotOptimize(b.buf);
        free_cr_mem_tbl(&b);
    }
    CR_FILE *f = nullptr;

  private:
    std::string dir_, path_;
};

void BM_HitMostRecent(benchmark::State &state) {
    CrFixture fx;
    fx.read(0);
    for (auto _ : state) {
        fx.read(0);
    }
}
BENCHMARK(BM_HitMostRecent);

void BM_HitLeastRecentOfFullRing(benchmark::State &state) {
    CrFixture fx;
    for (int k = 0; k < kTiles - 1; ++k) {
        fx.read(k);
    }
    int k = 0;
    for (auto _ : state) {
        fx.read(k); // always the oldest: the walk passes the 318 others
        k = (k + 1) % (kTiles - 1);
    }
}
BENCHMARK(BM_HitLeastRecentOfFullRing);

void BM_MissEveryRead(benchmark::State &state) {
    CrFixture fx;
    int k = 0;
    for (auto _ : state) {
        fx.read(k);
        k = (k + 1) % kTiles;
    }
    state.SetBytesProcessed(state.iterations() * kTileBytes);
}
BENCHMARK(BM_MissEveryRead);

} // namespace

BENCHMARK_MAIN();
