// The process-wide progress hook: which function receives the progress of level
// generation, cr writing and the streaming writer (see r64_progress.h for the sites).
// Single-threaded by contract, like r64_error.
#include "r64/file/r64_progress.h"

namespace {

R64_PROGRESS_FN installed_fn = nullptr;
void *installed_user = nullptr;

} // namespace

namespace r64 {

R64_PROGRESS_FN progress_fn() {
    return installed_fn;
}
void *progress_user() {
    return installed_user;
}

} // namespace r64

extern "C" {

void r64_set_progress(R64_PROGRESS_FN fn, void *user) {
    installed_fn = fn;
    installed_user = fn != nullptr ? user : nullptr;
}

} // extern "C"
