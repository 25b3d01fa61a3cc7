// Host byte-order detection. endian_flag is 1 on a little-endian host, where the
// format code reverses every stored multi-byte integer on load and store.
#include <cstring>

#include "r64/r64.h"

extern "C" {

char endian_flag = 0;

void check_endian(void) {
    int one = 1;
    char first_byte;
    std::memcpy(&first_byte, &one, 1);
    endian_flag = first_byte;
}

} // extern "C"
