// Reading and converting picture bands on a thread of their own, handed over through a
// queue of buffers guarded by one mutex; nothing here calls the r64 library.
#include "band_reader.h"

#include <new>

#include "cli.h"

namespace r64tool {
namespace {

// Three buffers: one being filled, one waiting, one being written.
constexpr int kBuffers = 3;

// Grey from RGB with the usual luma weights; exact for grey input (r = g = b).
unsigned char luma(const unsigned char *p) {
    return static_cast<unsigned char>((299u * p[0] + 587u * p[1] + 114u * p[2] + 500u) / 1000u);
}

} // namespace

BandReader::BandReader(std::unique_ptr<ImageSource> picture, char type, int threshold,
                       int band_rows)
    : picture_(std::move(picture)), type_(type), threshold_(threshold), band_rows_(band_rows) {
    const std::size_t bytes =
        static_cast<std::size_t>(picture_->width()) * 3 * static_cast<std::size_t>(band_rows_);
    for (int i = 0; i < kBuffers; ++i) {
        buffers_.emplace_back(bytes);
        free_.push_back(i);
    }
    thread_ = std::thread(&BandReader::run, this);
}

BandReader::~BandReader() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

BandReader::Band BandReader::next() {
    std::unique_lock lock(mutex_);
    if (held_ >= 0) {
        free_.push_back(held_);
        held_ = -1;
        changed_.notify_all();
    }
    changed_.wait(lock, [&] { return !filled_.empty() || done_; });
    if (filled_.empty()) {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
        return {nullptr, 0};
    }
    const auto [buffer, rows] = filled_.front();
    filled_.pop_front();
    held_ = buffer;
    return {buffers_[static_cast<std::size_t>(buffer)].data(), rows};
}

void BandReader::run() {
    try {
        const int h = picture_->height();
        for (int y = 0; y < h; y += band_rows_) {
            int buffer = -1;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return !free_.empty() || stop_; });
                if (stop_) {
                    break;
                }
                buffer = free_.front();
                free_.pop_front();
            }
            const int rows = h - y < band_rows_ ? h - y : band_rows_;
            unsigned char *data = buffers_[static_cast<std::size_t>(buffer)].data();
            picture_->read_native(data, rows);
            convert(data, rows);
            {
                std::lock_guard lock(mutex_);
                filled_.emplace_back(buffer, rows);
            }
            changed_.notify_all();
        }
    } catch (const std::bad_alloc &) {
        std::lock_guard lock(mutex_);
        failure_ = std::make_exception_ptr(ToolError{"", "out of memory reading the picture"});
    } catch (...) {
        std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
    }
    picture_.reset(); // the picture's file closes as soon as it is read
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
}

// Native rows (1 or 3 bytes a pixel) into the pixel type's bytes, in place.
void BandReader::convert(unsigned char *rows, int count) const {
    const std::size_t pixels =
        static_cast<std::size_t>(picture_->width()) * static_cast<std::size_t>(count);
    const bool grey_in = picture_->channels() == 1;
    if (type_ == 'P') {
        if (grey_in) {
            // The band's packed grey as one long row.
            grey_to_rgb_in_place(rows, pixels, 1);
        }
        return;
    }
    if (!grey_in) {
        for (std::size_t i = 0; i < pixels; ++i) {
            rows[i] = luma(rows + 3 * i);
        }
    }
    if (type_ == 'B') {
        for (std::size_t i = 0; i < pixels; ++i) {
            rows[i] = rows[i] >= threshold_ ? 0xFF : 0x00;
        }
    }
}

} // namespace r64tool
