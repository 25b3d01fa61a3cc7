// The picture side of an import: a thread of its own reads and decodes the picture and
// turns its rows into the r64 pixel type's bytes, a band at a time, while the caller's
// thread (the only one that calls the library) writes the bands it hands over. A few
// band buffers circulate between the two; a reader's failure reaches the caller as the
// same ToolError, and the thread is stopped and joined however the caller leaves.
#ifndef R64TOOL_BAND_READER_H
#define R64TOOL_BAND_READER_H

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "image_source.h"

namespace r64tool {

class BandReader {
  public:
    // type: 'P' (3 bytes a pixel), 'G' (1 byte, luma for colour) or 'B' (1 byte, 0 or
    // 255: grey from threshold up is 255). Bands hold band_rows rows, the last fewer.
    BandReader(std::unique_ptr<ImageSource> picture, char type, int threshold, int band_rows);
    ~BandReader();
    BandReader(const BandReader &) = delete;
    BandReader &operator=(const BandReader &) = delete;

    struct Band {
        const unsigned char *rows; // nullptr after the last band
        int count;
    };
    // The next band, valid until the following call; rethrows the reader's failure.
    Band next();

  private:
    void run();
    void convert(unsigned char *rows, int count) const;

    std::unique_ptr<ImageSource> picture_;
    const char type_;
    const int threshold_;
    const int band_rows_;
    std::vector<std::vector<unsigned char>> buffers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<int, int>> filled_; // buffer, rows
    std::deque<int> free_;
    int held_ = -1; // the buffer the caller holds
    bool stop_ = false;
    bool done_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace r64tool

#endif
