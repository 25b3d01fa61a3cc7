// libpng's error reporting for the PNG reader and writer: errors are copied into a
// PngErrors and leave by longjmp to the setjmp in a leaf frame that owns nothing;
// warnings are ignored.
#ifndef R64TOOL_PNG_ERRORS_H
#define R64TOOL_PNG_ERRORS_H

#include <csetjmp>
#include <cstdio>

#include <png.h>

namespace r64tool {

struct PngErrors {
    std::jmp_buf jump;
    char message[256];
};

extern "C" inline void png_error_to_jump(png_structp png, png_const_charp msg) {
    auto *e = static_cast<PngErrors *>(png_get_error_ptr(png));
    std::snprintf(e->message, sizeof e->message, "%s", msg);
    std::longjmp(e->jump, 1);
}

extern "C" inline void png_warning_ignored(png_structp, png_const_charp) {}

} // namespace r64tool

#endif
