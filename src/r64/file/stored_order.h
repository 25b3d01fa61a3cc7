// Byte order of stored header fields. Files hold every multi-byte integer
// big-endian; on a little-endian host (endian_flag set by check_endian) a field is
// reversed on load and on store. A reversal is its own inverse.
#ifndef R64_SRC_STORED_ORDER_H
#define R64_SRC_STORED_ORDER_H

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "r64/r64.h"

namespace r64 {

template <typename T> inline void reverse_bytes(T &v) {
    static_assert(std::is_integral_v<T>);
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) {
        const unsigned char t = b[i];
        b[i] = b[sizeof(T) - 1 - i];
        b[sizeof(T) - 1 - i] = t;
    }
    std::memcpy(&v, b, sizeof(T));
}

// Converts a stored field to host order or back, as the host needs.
template <typename T> inline void stored_order(T &v) {
    if (endian_flag) {
        reverse_bytes(v);
    }
}

} // namespace r64

#endif
