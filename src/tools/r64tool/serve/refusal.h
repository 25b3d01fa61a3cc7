// Every way r64tool serve refuses or fails a request, and the one table that maps each
// to its HTTP status. Handlers return a Refusal; only the HTTP glue turns it into a
// response.
#ifndef R64TOOL_SERVE_REFUSAL_H
#define R64TOOL_SERVE_REFUSAL_H

#include <string>

namespace r64serve {

enum class Refusal {
    BadRegion,       // malformed region, zero-sized, or outside the picture
    BadSize,         // malformed size, zero result, or upscaling without '^'
    SizeAboveLimits, // larger than maxWidth, maxHeight or maxArea
    BadRotation,
    BadQuality,
    BadFormat,
    BadName,      // a name that could leave the folder or is not a name at all
    UnknownImage, // no such image (or it disappeared)
    UnknownPath,  // no such page or tile
    MethodNotAllowed,
    DamagedImage,  // a tile that cannot be read or decoded
    InternalError, // anything else that went wrong on our side
};

struct RefusalInfo {
    int status;
    const char *words;
};

RefusalInfo refusal_info(Refusal r);

// A failure with the detail that goes to the log and the response body.
struct Failure {
    Refusal why;
    std::string detail;
};

} // namespace r64serve

#endif
