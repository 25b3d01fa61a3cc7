// Where the library's progress goes: the caller's function set with r64_set_progress,
// or the default, which prints each operation's own progress line on standard output.
// Every print site of a long operation goes through report() with its default line.
#ifndef R64_SRC_R64_PROGRESS_H
#define R64_SRC_R64_PROGRESS_H

#include "r64/r64.h"

namespace r64 {

// The function a caller installed, or null for the default lines.
R64_PROGRESS_FN progress_fn();
void *progress_user();

// Hands (kind, done, total) to the caller's function, or runs print_default when none
// is installed.
template <class Print> void report(int kind, long done, long total, Print &&print_default) {
    if (R64_PROGRESS_FN fn = progress_fn(); fn != nullptr) {
        fn(progress_user(), kind, done, total);
    } else {
        print_default();
    }
}

} // namespace r64

#endif
