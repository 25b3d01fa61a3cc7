// The level test of a cr file: a level exists when its first tile record is known.
#include "r64/r64.h"

extern "C" {

int cr_check_level(CR_FILE *f, int level) {
    if (level < 0 || level >= R64_LEVELS) {
        return 0;
    }
    return f->level_entry[level] >= 0 ? 1 : 0;
}

} // extern "C"
