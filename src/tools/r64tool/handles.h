// Owning handles for the library's open files and decoders, and the opening of a file
// of either format for the commands that read r64 and cr files alike.
#ifndef R64TOOL_HANDLES_H
#define R64TOOL_HANDLES_H

#include <cstdint>
#include <memory>
#include <string>

#include "r64/r64.h"

namespace r64tool {

struct R64Closer {
    void operator()(R64_FILE *f) const { r64_close_file(f); }
};
struct CrCloser {
    void operator()(CR_FILE *f) const { cr_close_file(f); }
};
struct DecoderCloser {
    void operator()(CR_DECODER *d) const { cr_close_decoder(d); }
};
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using R64Ptr = std::unique_ptr<R64_FILE, R64Closer>;
using CrPtr = std::unique_ptr<CR_FILE, CrCloser>;
using DecoderPtr = std::unique_ptr<CR_DECODER, DecoderCloser>;
using MallocPtr = std::unique_ptr<unsigned char, FreeDeleter>;

// Byte-order detection and the library's initialisation, once per process.
void library_init();

// An existing file opened read-only as r64, or failing that as cr; exactly one of the
// two is set. Throws a ToolError when it is neither.
struct AnyFile {
    R64Ptr r64;
    CrPtr cr;
};
AnyFile open_any(const std::string &path);
R64Ptr open_r64(const std::string &path);

// Levels of the level table (those that belong to the image), present or not.
int r64_table_levels(const R64_FILE *f);
int cr_levels(CR_FILE *f);
int64_t file_length(int fd);

} // namespace r64tool

#endif
