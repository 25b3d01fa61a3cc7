// What the benchmarks share: silencing the library's progress lines while a pass
// runs, and one scratch directory per process, removed when the process ends.
#ifndef R64_BENCH_SUPPORT_H
#define R64_BENCH_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace r64_bench {

// Progress lines go to /dev/null while an instance lives (they are still formatted
// and flushed, so their cost stays in the figures).
class QuietStdout {
  public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        close(null_fd);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

  private:
    int saved_;
};

// A directory of this process's own under $TMPDIR (or /tmp), made on first use and
// removed with its contents at exit. The removal is registered after the path is
// constructed, so it runs before the path is destroyed.
inline std::string make_scratch_dir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") + "/r64bench.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return tmpl;
}

inline void remove_scratch_dir();

inline const std::string &scratch_dir() {
    static const std::string dir = make_scratch_dir();
    static const bool removal_registered = std::atexit(remove_scratch_dir) == 0;
    (void)removal_registered;
    return dir;
}

inline void remove_scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_dir(), ignored);
}

} // namespace r64_bench

#endif
