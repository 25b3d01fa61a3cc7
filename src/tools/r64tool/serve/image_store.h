// The open images of one worker: library handles kept between requests, reopened when
// the file's identity (device, inode, size, modification time) changes, and the reading
// of a rectangle of one level. Not thread-safe: the library is single-threaded, so the
// HTTP glue calls this under its one library mutex.
#ifndef R64TOOL_SERVE_IMAGE_STORE_H
#define R64TOOL_SERVE_IMAGE_STORE_H

#include <list>
#include <optional>
#include <string>
#include <vector>

#include "../handles.h"
#include "catalog.h"
#include "geometry.h"
#include "pixels.h"
#include "refusal.h"

namespace r64serve {

struct OpenImage {
    ResolvedFile file;
    r64tool::R64Ptr r64;
    r64tool::CrPtr cr;
    r64tool::DecoderPtr decoder;
    char type = 'P'; // 'G', 'P' or 'B'; a cr file is 'P'
    int width = 0, height = 0;
    int tile = 0;                      // the file's own tile edge
    std::vector<int> level_w, level_h; // the levels that are present, from level 0
    bool is_cr() const { return cr != nullptr; }
};

class ImageStore {
  public:
    explicit ImageStore(std::size_t max_open) : max_open_(max_open) {}
    // The open image of a resolved file: the one already open when its identity is the
    // same, else freshly opened. Null with *why set when it cannot be opened.
    OpenImage *get(const ResolvedFile &file, Failure *why);
    // A rectangle of a level, inside it, as grey or RGB pixels.
    std::optional<Pixels> read(OpenImage &img, int level, const Rect &r, Failure *why);

  private:
    std::size_t max_open_;
    std::list<OpenImage> open_; // most recently used first
};

} // namespace r64serve

#endif
