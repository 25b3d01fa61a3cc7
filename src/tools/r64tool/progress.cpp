// Progress bars on standard error, drawn with a carriage return over the same line and
// only for a person at a terminal; the library's progress hook; the --quiet switch.
#include "progress.h"

#include <cstdio>
#include <unistd.h>

#include "r64/r64.h"

namespace r64tool {
namespace {

bool quiet_flag = false;

constexpr int kBarWidth = 30;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    }
    return text;
}

} // namespace

void set_quiet(bool quiet) {
    quiet_flag = quiet;
}
bool quiet() {
    return quiet_flag;
}

ProgressBar::ProgressBar(std::string label, long total, double pixels_per_unit)
    : label_(std::move(label)), total_(total > 0 ? total : 1), pixels_per_unit_(pixels_per_unit),
      shown_(!quiet_flag && isatty(STDERR_FILENO) != 0), started_(Clock::now()),
      drawn_(started_ - kRedrawEvery) {}

ProgressBar::~ProgressBar() {
    finish();
}

void ProgressBar::update(long done) {
    done_ = done;
    if (!shown_ || finished_) {
        return;
    }
    const auto now = Clock::now();
    if (now - drawn_ >= kRedrawEvery) {
        drawn_ = now;
        draw(done);
    }
}

void ProgressBar::finish() {
    if (!shown_ || finished_) {
        return;
    }
    finished_ = true;
    draw(done_);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void ProgressBar::replace() {
    if (shown_ && !finished_) {
        draw(done_);
    }
    finished_ = true;
}

void ProgressBar::draw(long done) {
    const double fraction = done < 0 ? 0.0 : done > total_ ? 1.0 : double(done) / double(total_);
    const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::string line = "\r" + label_ + " [" + bar + "] ";
    char text[96];
    std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(fraction * 100.0));
    line += text;
    if (pixels_per_unit_ > 0 && elapsed > 0.05) {
        std::snprintf(text, sizeof text, "  %7.1f MP/s",
                      double(done) * pixels_per_unit_ / 1e6 / elapsed);
        line += text;
    }
    if (finished_) {
        line += "  " + clock_text(elapsed) + " taken";
    } else if (fraction > 0.01 && elapsed > 0.2) {
        line += "  " + clock_text(elapsed * (1.0 - fraction) / fraction) + " left";
    }
    line += "\x1b[K"; // clear what a longer earlier line left
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

LibraryProgress::LibraryProgress(std::string what, double pixels_per_row, double bytes_per_pixel)
    : what_(std::move(what)), pixels_per_row_(pixels_per_row), bytes_per_pixel_(bytes_per_pixel) {
    r64_set_progress(on_progress, this);
}

LibraryProgress::~LibraryProgress() {
    r64_set_progress(nullptr, nullptr);
    bar_.reset();
}

void LibraryProgress::on_progress(void *user, int kind, long done, long total) {
    auto *self = static_cast<LibraryProgress *>(user);
    if (kind == R64_PROGRESS_DONE) {
        if (self->bar_) {
            self->bar_->update(done);
        }
        return;
    }
    if (kind == R64_PROGRESS_READ_ERROR) {
        return; // the operation fails with its own error code
    }
    if (!self->bar_ || kind != self->kind_ || done < self->last_) {
        const char *step = kind == R64_PROGRESS_ROWS    ? "writing"
                           : kind == R64_PROGRESS_LEVEL ? "reducing"
                           : kind == R64_PROGRESS_HIFI  ? "filtering"
                                                        : "converting";
        const double rate = kind == R64_PROGRESS_ROWS ? self->pixels_per_row_
                            : kind == R64_PROGRESS_CR && self->bytes_per_pixel_ > 0
                                ? 1.0 / self->bytes_per_pixel_
                                : 0.0;
        std::string label = std::string(step) + " " + self->what_;
        if (self->bar_ && kind == self->kind_) {
            self->bar_->replace();
            label += " (" + std::to_string(++self->runs_ + 1) + ")";
        } else {
            self->runs_ = 0;
        }
        self->bar_.reset();
        self->bar_.emplace(label, total, rate);
        self->kind_ = kind;
    }
    self->last_ = done;
    self->bar_->update(done);
}

} // namespace r64tool
