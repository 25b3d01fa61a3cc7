// What r64tool shows while it works: one progress bar per step on standard error, only
// when standard error is a terminal and --quiet was not given. Nothing of it ever goes
// to standard output, which carries each command's result line alone.
#ifndef R64TOOL_PROGRESS_H
#define R64TOOL_PROGRESS_H

#include <chrono>
#include <optional>
#include <string>

namespace r64tool {

// --quiet: no progress and no result lines, errors only.
void set_quiet(bool quiet);
bool quiet();

// One step's bar: percent done, megapixels a second and the time left. Redrawn at most
// ten times a second; finish() (or the destructor) leaves the bar's last state on its
// own line.
class ProgressBar {
  public:
    // total: the step's units (rows, tiles...); pixels_per_unit: for the rate (0: no rate).
    ProgressBar(std::string label, long total, double pixels_per_unit);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    void update(long done);
    void finish();
    // Ends the bar without a line of its own: the next bar is drawn over it.
    void replace();

  private:
    void draw(long done);

    using Clock = std::chrono::steady_clock;
    std::string label_;
    long total_;
    double pixels_per_unit_;
    bool shown_;
    bool finished_ = false;
    long done_ = 0;
    Clock::time_point started_;
    Clock::time_point drawn_;
};

// The library's progress, drawn as bars while this object lives: its hook is installed
// (so that the library prints none of its own lines) and removed again at the end. One
// bar per run of an operation: rows of the streaming writer (pixels_per_row for the
// rate), blocks of level generation, bands of the Fourier filter, bytes of cr writing
// (bytes_per_pixel for the rate). Successive runs of one kind (one a level) share a line.
class LibraryProgress {
  public:
    LibraryProgress(std::string what, double pixels_per_row, double bytes_per_pixel);
    ~LibraryProgress();
    LibraryProgress(const LibraryProgress &) = delete;
    LibraryProgress &operator=(const LibraryProgress &) = delete;

  private:
    static void on_progress(void *user, int kind, long done, long total);

    std::string what_;
    double pixels_per_row_;
    double bytes_per_pixel_;
    int kind_ = -1;
    int runs_ = 0;
    long last_ = 0;
    std::optional<ProgressBar> bar_;
};

} // namespace r64tool

#endif
