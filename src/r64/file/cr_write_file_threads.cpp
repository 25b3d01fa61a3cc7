// The pipelined cr writer behind cr_write_file and cr_write_file_threads. The
// calling thread gathers the tiles from the r64 file in depth-first order and
// queues them; a tile's work (differences from its rebuilt parent, JPEG or stored
// encoding, decoding and rebuilding) runs once its parent is rebuilt, on a worker
// or on the calling thread while it waits; the calling thread writes the data in
// queue order and the record table in one write at the end. Workers touch only
// their tile, its parent's pixels and their own codec. Tiles hold 3-byte pixels
// throughout: no fourth byte to gather, difference, encode or decode (the streams
// are those of 4-byte pixels). Relies on cr_write_steps.h, the residual kernels and
// the reusable JPEG codec.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "image/jpeg/jpeg_codec.h"
#include "r64/file/cr_residual.h"
#include "r64/file/cr_write_steps.h"
#include "r64/file/malloc_buffer.h"

namespace r64 {

namespace {

constexpr int kMaxThreads = 64;
// Tiles queued and not yet written, per thread: enough that a thread rarely waits
// for a parent, few enough that memory stays a few tiles per thread.
constexpr std::size_t kWindowPerThread = 4;
// The table goes out in writes of at most this many bytes (one for any usual image).
constexpr std::size_t kTableChunk = std::size_t{1} << 30;

int fail(int code) {
    r64_error = code;
    return -1;
}

// Writes all n bytes at the descriptor's position. A short write sets no errno: it
// still fails, but one more attempt at what is left tells the caller why (no space on
// the device, a file-size limit).
bool write_whole(int fd, const unsigned char *bytes, int n) {
    const int put = u_write(fd, bytes, n);
    if (put == n) {
        return true;
    }
    if (put >= 0) {
        errno = 0;
        u_write(fd, bytes + put, n - put);
        if (errno == 0) {
            errno = EIO;
        }
    }
    return false;
}

struct TileCodec {
    JpegTileEncoder encoder;
    JpegTileDecoder decoder;
};

// One tile's 3-byte pixels (as gathered, then as rebuilt for its children) and its data.
struct Slot {
    MallocBuffer<unsigned char> pixels;
    ByteBuffer stream;
    bool rebuilt = false; // its work is done: the children may read the pixels
    int users = 0;        // its own tile and its children, until each is written
};

enum class TileStatus { queued, running, done, no_memory, undecodable };

struct TileJob {
    int w_ofs;
    int h_ofs;
    int w_len;
    int h_len;
    int level;
    Slot *self;
    Slot *parent;      // null for a root
    CR_BUFFER up;      // the parent's place and pixels
    TileStatus status; // written under the pipeline's lock
    char type;
    int cal[3];
};

// The stored codec's bytes (as none_compress makes them) into out.
bool store_plain(const unsigned char *tile, int w, int h, ByteBuffer &out) {
    const std::size_t bytes = 3 * static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    if (!out.reserve(2 + bytes)) {
        return false;
    }
    unsigned char *o = out.data();
    o[0] = static_cast<unsigned char>(w - 1);
    o[1] = static_cast<unsigned char>(h - 1);
    std::memcpy(o + 2, tile, bytes);
    out.set_size(2 + bytes);
    return true;
}

// The work on one tile; it touches nothing but the job, its slots and the codec.
TileStatus work_on(TileJob &job, TileCodec &codec) {
    unsigned char *tile = job.self->pixels.get();
    const int w = job.w_len;
    const int h = job.h_len;
    if (job.parent == nullptr) {
        cr_root_calibration<kRgb>(tile, static_cast<std::size_t>(w) * static_cast<std::size_t>(h),
                                  job.cal); // a root stores plain pixel values
    } else {
        cr_encode_residual<kRgb>(job.up, job.w_ofs, job.h_ofs, w, h, tile, job.cal);
    }
    ByteBuffer &stream = job.self->stream;
    job.type = cr_tile_is_jpeg(w, h) ? kCrJpeg : kCrStored;
    const bool encoded = job.type == kCrJpeg
                             ? codec.encoder.encode(tile, w, h, kCrJpegQuality, stream, kRgb)
                             : store_plain(tile, w, h, stream);
    if (!encoded) {
        return TileStatus::no_memory;
    }
    if (job.level == 0) {
        return TileStatus::done;
    }
    // Decode again: the children take their differences against what a reader sees.
    // A stored tile decodes to the bytes it was made from, which the tile still holds.
    if (job.type == kCrJpeg && !codec.decoder.decode(stream.bytes(), w, h, tile, kRgb)) {
        return codec.decoder.out_of_memory() ? TileStatus::no_memory : TileStatus::undecodable;
    }
    if (job.parent != nullptr) {
        const unsigned char cal[3] = {static_cast<unsigned char>(job.cal[0]),
                                      static_cast<unsigned char>(job.cal[1]),
                                      static_cast<unsigned char>(job.cal[2])};
        cr_reconstruct<kRgb>(job.up, job.w_ofs, job.h_ofs, w, h, tile, cal, tile);
    }
    return TileStatus::done;
}

class TilePipeline {
  public:
    TilePipeline(CR_FILE *f, R64_FILE *r64, CR_TBL *table, int threads)
        : f_(f), r64_(r64), table_(table),
          window_(threads > 1 ? kWindowPerThread * static_cast<std::size_t>(threads) : 1) {}

    ~TilePipeline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread &t : workers_) {
            t.join();
        }
    }

    TilePipeline(const TilePipeline &) = delete;
    TilePipeline &operator=(const TilePipeline &) = delete;

    // Starts up to n workers; with fewer (no threads to be had) the work still gets done.
    void start_workers(int n) {
        try {
            workers_.reserve(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                workers_.emplace_back([this] { work_loop(); });
            }
        } catch (const std::exception &) {
        }
    }

    // Queues the tile at (w_ofs, h_ofs) of level and then its subtree, writing the
    // oldest tiles whenever the window is full. 0, or -1 with r64_error.
    int add_subtree(Slot *parent, const CR_BUFFER &up, int w_ofs, int h_ofs, int level) {
        const int level_w = f_->level_w[level];
        const int level_h = f_->level_h[level];
        if (w_ofs >= level_w || h_ofs >= level_h) {
            return 0;
        }
        const int rect = f_->header.rect_size;
        const int w_len = std::min(rect, level_w - w_ofs);
        const int h_len = std::min(rect, level_h - h_ofs);
        Slot *slot = acquire_slot();
        if (slot == nullptr) {
            return fail(R64_ERR_NOMEM);
        }
        if (gather_tile_rgb(r64_, level, w_ofs, h_ofs, w_len, h_len, slot->pixels.get()) < 0) {
            return -1;
        }
        count_progress(w_len, h_len);

        const int cw = 2 * w_ofs;
        const int ch = 2 * h_ofs;
        const int children[4][2] = {
            {cw, ch}, {cw + rect, ch}, {cw, ch + rect}, {cw + rect, ch + rect}};
        slot->users = 1;
        for (const auto &c : children) {
            if (level > 0 && c[0] < f_->level_w[level - 1] && c[1] < f_->level_h[level - 1]) {
                ++slot->users;
            }
        }
        slot->rebuilt = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(TileJob{w_ofs,
                                     h_ofs,
                                     w_len,
                                     h_len,
                                     level,
                                     slot,
                                     parent,
                                     up,
                                     TileStatus::queued,
                                     kCrStored,
                                     {0, 0, 0}});
        }
        changed_.notify_all();
        while (queue_.size() >= window_) {
            if (write_oldest() < 0) {
                return -1;
            }
        }
        if (level == 0) {
            return 0;
        }
        const CR_BUFFER self{w_ofs, h_ofs, w_len, h_len, slot->pixels.get()};
        for (const auto &c : children) {
            if (add_subtree(slot, self, c[0], c[1], level - 1) < 0) {
                return -1;
            }
        }
        return 0;
    }

    // Writes every queued tile. 0, or -1 with r64_error.
    int drain() {
        while (!queue_.empty()) {
            if (write_oldest() < 0) {
                return -1;
            }
        }
        return 0;
    }

  private:
    Slot *acquire_slot() {
        if (!free_.empty()) {
            Slot *s = free_.back();
            free_.pop_back();
            return s;
        }
        const auto rect = static_cast<std::size_t>(f_->header.rect_size);
        auto slot = std::make_unique<Slot>();
        slot->pixels = malloc_buffer<unsigned char>(rect * rect * kRgb);
        if (!slot->pixels) {
            return nullptr;
        }
        slots_.push_back(std::move(slot));
        return slots_.back().get();
    }

    void release(Slot *s) {
        if (--s->users == 0) {
            free_.push_back(s);
        }
    }

    // The first queued tile whose parent is rebuilt, marked running; null when none.
    // Called under the lock.
    TileJob *take_ready() {
        for (TileJob &job : queue_) {
            if (job.status == TileStatus::queued &&
                (job.parent == nullptr || job.parent->rebuilt)) {
                job.status = TileStatus::running;
                return &job;
            }
        }
        return nullptr;
    }

    // Runs job outside the lock and publishes its outcome; lock is held on entry and exit.
    void run(TileJob &job, TileCodec &codec, std::unique_lock<std::mutex> &lock) {
        lock.unlock();
        const TileStatus outcome = work_on(job, codec);
        lock.lock();
        job.status = outcome;
        job.self->rebuilt = true;
        changed_.notify_all();
    }

    void work_loop() {
        TileCodec codec;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (TileJob *job = take_ready()) {
                run(*job, codec, lock);
            } else {
                changed_.wait(lock);
            }
        }
    }

    // Waits for the oldest queued tile, working on ready tiles meanwhile, then
    // appends its data and fills its record. 0, or -1 with r64_error.
    int write_oldest() {
        TileJob &job = queue_.front();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (job.status == TileStatus::queued || job.status == TileStatus::running) {
                if (TileJob *ready = take_ready()) {
                    run(*ready, codec_, lock);
                } else {
                    changed_.wait(lock);
                }
            }
        }
        if (job.status == TileStatus::no_memory) {
            return fail(R64_ERR_NOMEM);
        }
        if (job.status == TileStatus::undecodable) {
            return fail(R64_ERR_FORMAT);
        }
        const ByteBuffer &stream = job.self->stream;
        // Record offsets are 32-bit: a tile that would end beyond them cannot be located.
        if (static_cast<uint64_t>(f_->write_ofs) + stream.size() > UINT32_MAX) {
            return fail(R64_ERR_IO);
        }
        const int size = static_cast<int>(stream.size());
        if (!write_whole(f_->fd, stream.data(), size)) {
            return fail(R64_ERR_IO);
        }
        const int rect = f_->header.rect_size;
        const int across = (f_->level_w[job.level] + rect - 1) / rect;
        const auto index = static_cast<std::size_t>(f_->level_entry[job.level]) +
                           static_cast<std::size_t>(job.h_ofs / rect) * across +
                           static_cast<std::size_t>(job.w_ofs / rect);
        CR_TBL &rec = table_[index];
        rec.ofs = f_->write_ofs;
        rec.type = job.type;
        for (int k = 0; k < 3; ++k) {
            rec.cal[k] = static_cast<unsigned char>(job.cal[k]);
        }
        rec.size = size;
        change_endian_cr_tbl(&rec);
        f_->write_ofs += static_cast<uint32_t>(size);

        release(job.self);
        if (job.parent != nullptr) {
            release(job.parent);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.pop_front();
        return 0;
    }

    CR_FILE *f_;
    R64_FILE *r64_;
    CR_TBL *table_;
    std::size_t window_;
    std::vector<std::unique_ptr<Slot>> slots_; // every slot made; touched by this thread only
    std::vector<Slot *> free_;
    TileCodec codec_;           // the calling thread's
    std::deque<TileJob> queue_; // unwritten tiles in depth-first order; changed under the lock
    std::mutex mutex_;
    std::condition_variable changed_; // a tile was queued or finished, or the workers stop
    bool stopping_ = false;
    std::vector<std::thread> workers_; // last: joined before the rest goes
};

// The record table at its place after the header; false when a seek or write fails.
bool write_table(CR_FILE *f, const CR_TBL *table) {
    const int64_t at = static_cast<int64_t>(sizeof(CR_HEADER));
    if (u_lseek64(f->fd, at, SEEK_SET) != at) {
        return false;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(table);
    std::size_t left = static_cast<std::size_t>(f->header.cr_tbl_nos) * sizeof(CR_TBL);
    while (left > 0) {
        const std::size_t n = std::min(left, kTableChunk);
        if (!write_whole(f->fd, bytes, static_cast<int>(n))) {
            return false;
        }
        bytes += n;
        left -= n;
    }
    return true;
}

int write_tiles(CR_FILE *f, R64_FILE *r64, int top, int threads) {
    MallocBuffer<CR_TBL> table(static_cast<CR_TBL *>(
        std::calloc(std::max<uint32_t>(f->header.cr_tbl_nos, 1), sizeof(CR_TBL))));
    if (!table) {
        return fail(R64_ERR_NOMEM);
    }
    const int64_t start = f->write_ofs;
    if (u_lseek64(f->fd, start, SEEK_SET) != start) {
        return fail(R64_ERR_IO);
    }
    int ret = 0;
    try {
        TilePipeline pipeline(f, r64, table.get(), threads);
        pipeline.start_workers(threads - 1);
        // Every tile of the top level is a root with its subtree, in row-major order.
        const int rect = f->header.rect_size;
        const CR_BUFFER none{0, 0, 0, 0, nullptr};
        for (int y = 0; y < f->level_h[top] && ret == 0; y += rect) {
            for (int x = 0; x < f->level_w[top] && ret == 0; x += rect) {
                ret = pipeline.add_subtree(nullptr, none, x, y, top);
            }
        }
        if (ret == 0) {
            ret = pipeline.drain();
        }
    } catch (const std::exception &) { // no memory for a slot, the queue or a thread
        ret = fail(R64_ERR_NOMEM);
    }
    // The records of the tiles written so far go out even after a failure, as
    // they would have one by one.
    const int code = r64_error;
    const bool table_written = write_table(f, table.get());
    if (ret < 0) {
        r64_error = code;
        return -1;
    }
    return table_written ? 0 : fail(R64_ERR_IO);
}

} // namespace

int cr_write_file_pipelined(const char *filename, int mode, int rect_size, R64_FILE *r64,
                            int threads) {
    threads = std::clamp(threads, 1, kMaxThreads);
    return cr_convert(filename, mode, rect_size, r64, [r64, threads](CR_FILE *f, int top) {
        return write_tiles(f, r64, top, threads);
    });
}

} // namespace r64

extern "C" int cr_write_file_threads(const char *filename, int mode, int rect_size, R64_FILE *r64,
                                     int threads) {
    try {
        return r64::cr_write_file_pipelined(filename, mode, rect_size, r64, threads);
    } catch (const std::exception &) {
        r64_error = R64_ERR_NOMEM;
        return -1;
    }
}
