// The viewer's files (the vendored viewer script, its button images and licence),
// compiled into the program at build time so that it serves them with no network and
// no install-time paths.
#ifndef R64TOOL_SERVE_ASSETS_H
#define R64TOOL_SERVE_ASSETS_H

#include <cstddef>
#include <string_view>

namespace r64serve {

struct EmbeddedFile {
    const char *path; // below /osd/, e.g. "images/home_rest.png"
    const char *content_type;
    const unsigned char *data;
    std::size_t size;
};

// Defined in the source CMake generates from third_party/openseadragon.
extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

const EmbeddedFile *find_asset(std::string_view path);

} // namespace r64serve

#endif
