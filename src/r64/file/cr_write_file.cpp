// Writing a cr file from an r64 pyramid: each top-level tile is a root that
// stores its pixels, every tile below stores its calibrated differences from the
// reconstructed level above, JPEG at quality 80 when both sides are 16 or more and
// stored otherwise; tiles are written depth-first under each root. This unit holds
// the steps every conversion shares (refusals, creation, progress, closing), the
// literal tile writer (one codec call per step, each record written after its
// data; _cr_write and the byte-for-byte reference of the pipelined writer in
// cr_write_file_threads.cpp), the stored codec and the calibration curves. Relies
// on cr_open_file, the r64 pixel access (through a gather), the JPEG memory codec
// and u_file.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/jpeg/jpeg_bounded.h"
#include "r64/file/cr_gather.h"
#include "r64/file/cr_residual.h"
#include "r64/file/cr_write_steps.h"
#include "r64/file/malloc_buffer.h"
#include "r64/file/r64_progress.h"

namespace r64 {

namespace {

// Pixel bytes of every tile the conversion writes, for a progress function.
long progress_total = 0;

} // namespace

void count_progress(int w_len, int h_len) {
    loading_file_size += static_cast<uint32_t>(w_len) * static_cast<uint32_t>(h_len) * 3u;
    if (progress_fn() != nullptr) {
        report(R64_PROGRESS_CR, static_cast<long>(loading_file_size), progress_total, [] {});
    } else if (loading_file_size >= indicate_file_size) {
        std::printf("loading %i   \r", static_cast<int>(loading_file_size));
        indicate_file_size += 10000;
    }
}

namespace {

struct Writer {
    CR_FILE *f;
    R64_FILE *r64;
    GatherFn gather;
    // One tile buffer per level, made on first use: the tiles on the current path
    // (one per level) each own the buffer of their level until they return.
    std::array<MallocBuffer<unsigned char>, R64_LEVELS> tiles{};

    unsigned char *tile_buffer(int level) {
        if (!tiles[level]) {
            const auto rect = static_cast<std::size_t>(f->header.rect_size);
            tiles[level] = malloc_buffer<unsigned char>(rect * rect * 4);
        }
        return tiles[level].get();
    }
};

int fail(int code) {
    r64_error = code;
    return -1;
}

// Seeks to pos and writes n bytes; false when the seek or the write fails or
// falls short.
bool write_at(int fd, int64_t pos, const void *data, int n) {
    return u_lseek64(fd, pos, SEEK_SET) == pos && u_write(fd, data, n) == n;
}

// Appends the tile's data at write_ofs and then writes its record.
int store_tile(CR_FILE *f, int w_ofs, int h_ofs, int level, char type, const int cal[3],
               const unsigned char *data, int size) {
    // Record offsets are 32-bit: a tile that would end beyond them cannot be located.
    if (static_cast<uint64_t>(f->write_ofs) + static_cast<uint64_t>(size) > UINT32_MAX) {
        return fail(R64_ERR_IO);
    }
    CR_TBL rec{};
    rec.ofs = f->write_ofs;
    rec.type = type;
    for (int k = 0; k < 3; ++k) {
        rec.cal[k] = static_cast<unsigned char>(cal[k]);
    }
    rec.size = size;
    change_endian_cr_tbl(&rec);
    if (!write_at(f->fd, f->write_ofs, data, size)) {
        return fail(R64_ERR_IO);
    }
    const int64_t end = u_lseek64(f->fd, 0, SEEK_CUR);
    if (end < 0) {
        return fail(R64_ERR_IO);
    }
    f->write_ofs = static_cast<uint32_t>(end);
    if (!write_at(f->fd, get_tbl_ofs(f, w_ofs, h_ofs, level), &rec, sizeof rec)) {
        return fail(R64_ERR_IO);
    }
    return 0;
}

int write_tile(Writer &wr, const CR_BUFFER *parent, int w_ofs, int h_ofs, int level) {
    CR_FILE *const f = wr.f;
    const int level_w = f->level_w[level];
    const int level_h = f->level_h[level];
    if (w_ofs >= level_w || h_ofs >= level_h) {
        return 0;
    }
    const int rect = f->header.rect_size;
    // A stored tile keeps its sides less one in a byte each, and the residual
    // kernels work on rows of at most that many pixels.
    if (rect < 1 || rect > kCrMaxRect) {
        return fail(R64_ERR_FORMAT);
    }
    const int w_len = std::min(rect, level_w - w_ofs);
    const int h_len = std::min(rect, level_h - h_ofs);
    const std::size_t pixels = static_cast<std::size_t>(w_len) * static_cast<std::size_t>(h_len);

    unsigned char *const tile = wr.tile_buffer(level);
    if (tile == nullptr) {
        return fail(R64_ERR_NOMEM);
    }
    if (wr.gather(wr.r64, level, w_ofs, h_ofs, w_len, h_len, tile) < 0) {
        return -1;
    }
    count_progress(w_len, h_len);

    int cal[3];
    if (parent == nullptr) {
        cr_root_calibration(tile, pixels, cal); // a root stores plain pixel values
    } else {
        cr_encode_residual(*parent, w_ofs, h_ofs, w_len, h_len, tile, cal);
    }

    int size = 0;
    char type;
    MallocBuffer<unsigned char> data;
    if (cr_tile_is_jpeg(w_len, h_len)) {
        type = kCrJpeg;
        data.reset(jpeg_compress(&size, tile, w_len, h_len, kCrJpegQuality));
    } else {
        type = kCrStored;
        data.reset(none_compress(&size, tile, w_len, h_len));
    }
    if (!data) {
        return fail(R64_ERR_NOMEM);
    }
    if (store_tile(f, w_ofs, h_ofs, level, type, cal, data.get(), size) < 0) {
        return -1;
    }
    if (level == 0) {
        return 0;
    }

    // Decode again: the children take their differences against what a reader sees.
    int dw = 0;
    int dh = 0;
    MallocBuffer<unsigned char> decoded;
    if (type == kCrJpeg) {
        decoded.reset(jpeg_uncompress_bounded(&dw, &dh, data.get(), size, w_len, h_len));
    } else if (type == kCrStored) {
        decoded.reset(none_uncompress(&dw, &dh, data.get(), size));
    } else {
        er_panic("_cr_write(1)");
    }
    data.reset();
    if (!decoded && dw == w_len && dh == h_len) {
        return fail(R64_ERR_NOMEM); // the stream was sound; its image found no memory
    }
    if (!decoded || dw != w_len || dh != h_len) {
        er_panic("_cr_write(2)");
    }
    if (parent == nullptr) {
        std::memcpy(tile, decoded.get(), pixels * 4);
    } else {
        unsigned char cal_bytes[3];
        for (int k = 0; k < 3; ++k) {
            cal_bytes[k] = static_cast<unsigned char>(cal[k]);
        }
        cr_reconstruct(*parent, w_ofs, h_ofs, w_len, h_len, decoded.get(), cal_bytes, tile);
    }
    decoded.reset();

    const CR_BUFFER self{w_ofs, h_ofs, w_len, h_len, tile};
    const int cw = 2 * w_ofs;
    const int ch = 2 * h_ofs;
    const int children[4][2] = {{cw, ch}, {cw + rect, ch}, {cw, ch + rect}, {cw + rect, ch + rect}};
    for (const auto &c : children) {
        if (write_tile(wr, &self, c[0], c[1], level - 1) < 0) {
            return -1;
        }
    }
    return 0;
}

// Whether filename names the file open behind fd (same device and inode).
bool names_open_file(const char *filename, int fd) {
    struct stat target;
    struct stat source;
    return ::stat(filename, &target) == 0 && ::fstat(fd, &source) == 0 &&
           target.st_dev == source.st_dev && target.st_ino == source.st_ino;
}

int top_level(const R64_FILE *r64) {
    for (int level = R64_LEVELS - 1; level >= 0; --level) {
        if (r64->level_ofs[level] != 0) {
            return level;
        }
    }
    return -1;
}

} // namespace

int cr_convert(const char *filename, int mode, int rect_size, R64_FILE *r64, const TileLoop &loop) {
    loading_file_size = 0;
    int refused = 0;
    if (rect_size < 1 || rect_size > kCrMaxRect) {
        refused = R64_ERR_FORMAT;
    } else if (names_open_file(filename, r64->fd)) {
        refused = R64_ERR_IO;
    }
    CR_FILE *f = nullptr;
    if (refused == 0) {
        f = cr_open_file(filename, O_RDWR | O_CREAT | O_TRUNC, mode, rect_size, r64->header.width,
                         r64->header.height);
    }
    if (progress_fn() == nullptr) {
        std::printf("r64 width=%d height=%d", r64->header.width, r64->header.height);
    }
    if (refused != 0) {
        return fail(refused);
    }
    if (f == nullptr) {
        return -1;
    }

    const int top = top_level(r64);
    if (top < 0) {
        cr_close_file(f);
        return fail(R64_ERR_NO_LEVEL_SOURCE);
    }
    progress_total = 0;
    for (int level = 0; level <= top; ++level) {
        progress_total += 3L * f->level_w[level] * f->level_h[level];
    }
    const int ret = loop(f, top);
    const int code = r64_error;
    cr_close_file(f);
    report(R64_PROGRESS_DONE, static_cast<long>(loading_file_size), progress_total,
           [] { std::printf("\n"); });
    if (ret < 0) {
        r64_error = code; // closing resets the code; the caller needs the cause
    }
    return ret;
}

int cr_write_file_using(const char *filename, int mode, int rect_size, R64_FILE *r64,
                        GatherFn gather) {
    return cr_convert(filename, mode, rect_size, r64, [r64, gather](CR_FILE *f, int top) {
        // Every tile of the top level is a root with its subtree, in row-major order.
        Writer wr{f, r64, gather};
        const int rect = f->header.rect_size;
        for (int y = 0; y < f->level_h[top]; y += rect) {
            for (int x = 0; x < f->level_w[top]; x += rect) {
                if (write_tile(wr, nullptr, x, y, top) < 0) {
                    return -1;
                }
            }
        }
        return 0;
    });
}

} // namespace r64

extern "C" {

uint32_t loading_file_size = 0;
uint32_t indicate_file_size = 0;

unsigned char *none_compress(int *size, unsigned char *src, int w, int h) {
    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    auto *out = static_cast<unsigned char *>(std::malloc(2 + 3 * pixels));
    if (out == nullptr) {
        return nullptr;
    }
    out[0] = static_cast<unsigned char>(w - 1);
    out[1] = static_cast<unsigned char>(h - 1);
    for (std::size_t p = 0; p < pixels; ++p) {
        std::memcpy(out + 2 + 3 * p, src + 4 * p, 3);
    }
    *size = static_cast<int>(2 + 3 * pixels);
    return out;
}

unsigned char *none_uncompress(int *w, int *h, unsigned char *src, int size) {
    if (size < 2) {
        return nullptr;
    }
    *w = src[0] + 1;
    *h = src[1] + 1;
    const std::size_t pixels = static_cast<std::size_t>(*w) * static_cast<std::size_t>(*h);
    // A tile shorter than its pixels is malformed; never read past size.
    if (static_cast<std::size_t>(size) < 2 + 3 * pixels) {
        return nullptr;
    }
    auto *out = static_cast<unsigned char *>(std::malloc(4 * pixels));
    if (out == nullptr) {
        return nullptr;
    }
    for (std::size_t p = 0; p < pixels; ++p) {
        std::memcpy(out + 4 * p, src + 2 + 3 * p, 3);
        out[4 * p + 3] = 0;
    }
    return out;
}

unsigned char cr_cal(int cc, char cal) {
    return r64::cr_cal_sum(cc + static_cast<signed char>(cal));
}

int cr_inv_cal(int cc, char cal) {
    return r64::cr_inv_cal_raw(cc) - static_cast<signed char>(cal);
}

int _cr_write(CR_BUFFER *parent, CR_FILE *f, R64_FILE *r64, int w_ofs, int h_ofs, int level) {
    r64::Writer wr{f, r64, r64::gather_tile_fast};
    return r64::write_tile(wr, parent, w_ofs, h_ofs, level);
}

int cr_write_file(const char *filename, int mode, int rect_size, R64_FILE *r64) {
    return cr_write_file_threads(filename, mode, rect_size, r64, 1);
}

} // extern "C"
