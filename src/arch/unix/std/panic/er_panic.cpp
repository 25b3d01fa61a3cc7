// The panic routine: ends the process with a framed message on standard error
// and exit status 1 when an internal consistency check fails. exit() flushes
// the standard streams, so the message is out before the process ends.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "r64/r64.h"

extern "C" {

HTID (*get_tid_ptr)(void) = nullptr;

void er_panic(const char *str) {
    std::fprintf(stderr, "\n************\n%s (%i)\n************\n", str,
                 static_cast<int>(getpid()));
    std::exit(1);
}

void er_panic_x(const char *str) {
    er_panic(str);
}

} // extern "C"
