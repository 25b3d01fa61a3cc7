#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds two outside C programs
# against it: one with CMake's find_package(r64), one with pkg-config. Catches a
# package config or r64.pc that points at the wrong place or misses a library.
# Usage: tests/install_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for f in lib/libr64.a bin/r64info include/r64/r64.h lib/cmake/r64/r64Config.cmake \
         lib/pkgconfig/r64.pc; do
    [ -e "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

# The outside programs use the build's C compiler. A sanitized library needs the
# sanitizer runtime, its C++ part included, in every program that links it.
cc=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
flags=()
if grep -q '^R64_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    flags=(-fsanitize=address,undefined -fsanitize-link-c++-runtime)
fi

mkdir -p "$work/consumer"
cat > "$work/consumer/main.c" <<'C'
#include <fcntl.h>
#include <stdio.h>
#include <r64/r64.h>
int main(int argc, char **argv) {
    check_endian();
    R64_FILE *f = argc > 1 ? r64_open_file(argv[1], O_RDWR | O_CREAT, 0644, 'G', 70, 30) : NULL;
    if (f == NULL) {
        return 1;
    }
    printf("%c %d %d\n", f->header.type, f->header.width, f->header.height);
    return r64_close_file(f);
}
C
cat > "$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer LANGUAGES C)
find_package(r64 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE r64::r64)
target_link_options(consumer PRIVATE ${SANITIZER_FLAGS})
CM
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DSANITIZER_FLAGS="$(IFS=';'; echo "${flags[*]:-}")" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
[ "$("$work/consumer/build/consumer" "$work/a.r64")" = "G 70 30" ]

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
"$cc" "${flags[@]}" "$work/consumer/main.c" -o "$work/pc_consumer" $(pkg-config --cflags --libs r64)
[ "$("$work/pc_consumer" "$work/b.r64")" = "G 70 30" ]
[ "$("$work/prefix/bin/r64info" "$work/b.r64")" = "G 70dot 30dot 0" ]
echo "install ok"
