// What a request asks for, parsed from the raw request target as a pure function
// (tested without a socket). Routing looks at the raw path, so an image name travels
// as one segment with its slashes encoded (sub%2Fphoto); each segment is decoded after
// the split.
#ifndef R64TOOL_SERVE_REQUEST_H
#define R64TOOL_SERVE_REQUEST_H

#include <string>
#include <string_view>
#include <variant>

#include "refusal.h"

namespace r64serve {

// IIIF region: full, square, x,y,w,h in pixels, or pct:x,y,w,h.
struct Region {
    enum class Kind { Full, Square, Pixels, Percent } kind = Kind::Full;
    long x = 0, y = 0, w = 0, h = 0;       // Pixels
    double px = 0, py = 0, pw = 0, ph = 0; // Percent
};

// IIIF size: max, w,  ,h  pct:n  w,h  !w,h, each optionally preceded by '^'.
struct Size {
    enum class Kind { Max, Width, Height, Percent, Exact, Confined } kind = Kind::Max;
    bool upscale = false;
    long w = 0, h = 0;
    double pct = 0;
};

enum class Quality { Default, Color, Gray, Bitonal };
enum class Format { Jpeg, Png };

struct ImageRequest {
    Region region;
    Size size;
    bool mirror = false;
    int rotation = 0; // 0, 90, 180 or 270, clockwise, applied after mirroring
    Quality quality = Quality::Default;
    Format format = Format::Jpeg;
};

// The routes of the server.
struct IndexPage {};
struct ViewerPage {
    std::string name;
};
struct Asset {
    std::string path; // below /osd/
};
struct IiifBase {
    std::string name; // GET /iiif/3/NAME: 303 to its info.json
};
struct IiifInfo {
    std::string name;
};
struct IiifImage {
    std::string name;
    ImageRequest image;
    std::string canonical; // region/size/rotation/quality.format as sent, decoded
};
struct DziInfo {
    std::string name;
};
struct DziTile {
    std::string name;
    int level = 0;
    long col = 0, row = 0;
};

using Route = std::variant<IndexPage, ViewerPage, Asset, IiifBase, IiifInfo, IiifImage, DziInfo,
                           DziTile, Failure>;

// The route of a raw request target (path and optional query; the query is ignored).
Route parse_target(std::string_view target);

// Decodes %XX escapes; false for a truncated or non-hex escape.
bool percent_decode(std::string_view in, std::string &out);

// The IIIF parameters, one segment each, already decoded.
bool parse_region(std::string_view s, Region &r);
bool parse_size(std::string_view s, Size &z);
bool parse_rotation(std::string_view s, bool &mirror, int &degrees);

} // namespace r64serve

#endif
