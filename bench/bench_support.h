// What the benchmarks share: silencing the library's progress lines while a pass
// runs, and one scratch directory per process, removed when the process ends.
#ifndef R64_BENCH_SUPPORT_H
#define R64_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

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

// libjpeg-turbo alone, 4-byte pixels in and out as the codec hands them: the floor the
// codec and the cr writer are measured against.
inline std::vector<unsigned char> bare_jpeg_encode(const unsigned char *px, int w, int h,
                                                   int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char *>(px) +
                       static_cast<std::size_t>(c.next_scanline) * static_cast<std::size_t>(w) * 4;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<unsigned char> out(buf, buf + size);
    std::free(buf);
    return out;
}

// Decodes a stream into out (w x h pixels of 4 bytes, allocated by the caller).
inline void bare_jpeg_decode(const unsigned char *data, std::size_t size, int w,
                             unsigned char *out) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_RGBX;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row =
            out + static_cast<std::size_t>(d.output_scanline) * static_cast<std::size_t>(w) * 4;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

} // namespace r64_bench

#endif
