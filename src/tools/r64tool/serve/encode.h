// Encoding a finished picture in memory: baseline JPEG through libjpeg-turbo, PNG through
// libpng (8-bit grey or RGB, or 1-bit grey for bitonal output). Pure: safe on any thread.
#ifndef R64TOOL_SERVE_ENCODE_H
#define R64TOOL_SERVE_ENCODE_H

#include <optional>
#include <string>

#include "pixels.h"

namespace r64serve {

// nullopt on an encoder failure (the reason in *why).
std::optional<std::string> encode_jpeg(const Pixels &p, int quality, std::string *why);
// one_bit: pixels are 0 or 255 and go out as a 1-bit grey PNG.
std::optional<std::string> encode_png(const Pixels &p, bool one_bit, std::string *why);

} // namespace r64serve

#endif
