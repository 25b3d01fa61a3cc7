#!/usr/bin/env bash
# System calls and time of `r64tool import` of generated photo-like PPM pictures, for two
# builds side by side (for example the tool before and after a change to the tile cache):
# strace -c -f counts per build and size, a check that both builds write the same bytes,
# then one hyperfine run per size alternating the two (wall, user and system time).
# Usage: bench/syscalls.sh BEFORE_BUILD_DIR [AFTER_BUILD_DIR] [SIDE...]
#   (AFTER defaults to build/, SIDE to 4096 8192; R64_SYSCALLS_RUNS sets the runs, 5).
# Output goes to a scratch directory under TMPDIR (a tmpfs keeps the disk out of it).
set -euo pipefail
cd "$(dirname "$0")/.."
before=${1:?usage: bench/syscalls.sh BEFORE_BUILD_DIR [AFTER_BUILD_DIR] [SIDE...]}
after=${2:-build}
shift $(($# < 2 ? $# : 2))
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(4096 8192)
runs=${R64_SYSCALLS_RUNS:-5}

scripts/install-deps.sh strace hyperfine
for b in "$before" "$after"; do
    [ -x "$b/r64tool" ] || { echo "no r64tool in $b" >&2; exit 1; }
done
[ -x "$after/bench/bench_pyramid" ] || cmake --build "$after" --target bench_pyramid

work=$(mktemp -d "${TMPDIR:-/tmp}/r64syscalls.XXXXXX")
trap 'rm -rf "$work"' EXIT

# "total N: the five most frequent calls" of one strace -c summary.
summary() {
    printf 'total %s: ' "$(awk '/total$/ { print $4 }' "$1")"
    awk '/^-+/ { body = !body; next } body && NF >= 5 { print $NF, $4 }' "$1" |
        sort -k2 -g -r | head -5 | paste -sd ',' -
}

for side in "${sides[@]}"; do
    image="$work/p$side.ppm"
    "$after/bench/bench_pyramid" --make-ppm "$image" "$side" "$side"
    for which in before after; do
        dir=${!which}
        strace -c -f -o "$work/strace-$which" "$dir/r64tool" import "$image" \
            "$work/$which.r64" >/dev/null 2>&1
        printf '%dx%d %-6s system calls: %s\n' "$side" "$side" "$which" \
            "$(summary "$work/strace-$which")"
    done
    cmp "$work/before.r64" "$work/after.r64" && echo "${side}x$side: both builds wrote the same bytes"
    hyperfine -N -w 1 -r "$runs" --prepare "rm -f $work/out.r64" \
        -n "before $side" "$before/r64tool import $image $work/out.r64" \
        -n "after $side" "$after/r64tool import $image $work/out.r64" 2>&1 |
        grep -E 'Benchmark|Time|faster|±'
    rm -f "$image" "$work"/*.r64
done
