// Lookup of the embedded viewer files by their path below /osd/.
#include "assets.h"

namespace r64serve {

const EmbeddedFile *find_asset(std::string_view path) {
    for (std::size_t i = 0; i < kEmbeddedFileCount; ++i) {
        if (path == kEmbeddedFiles[i].path) {
            return &kEmbeddedFiles[i];
        }
    }
    return nullptr;
}

} // namespace r64serve
