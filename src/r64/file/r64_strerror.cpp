// Words for the library's error codes, shared by the tools and the Python binding so
// that every message names a code the same way.
#include "r64/r64.h"

extern "C" const char *r64_strerror(int code) {
    switch (code) {
    case R64_OK:
        return "no error";
    case R64_ERR_IO:
        return "a file operation failed";
    case R64_ERR_NO_LEVEL_SOURCE:
        return "the r64 file has no level";
    case R64_ERR_NOMEM:
        return "out of memory";
    case R64_ERR_SHORT:
        return "data cut short or a tile never written";
    case R64_ERR_FORMAT:
        return "not a file of the expected format";
    case R64_ERR_READONLY_TILE:
        return "a tile lies beyond the end of the file";
    case R64_ERR_RANGE:
        return "pixel coordinates outside the level";
    case R64_ERR_CTL:
        return "unknown setting";
    case R64_ERR_LEVEL:
        return "the level does not exist";
    default:
        return "unknown error";
    }
}
