// What r64tool shows while it works: one progress bar per step on standard error, only
// when standard error is a terminal and --quiet was not given. Nothing of it ever goes
// to standard output, which carries each command's result line alone.
#ifndef R64TOOL_PROGRESS_H
#define R64TOOL_PROGRESS_H

#include <chrono>
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

} // namespace r64tool

#endif
