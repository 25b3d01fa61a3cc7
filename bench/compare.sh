#!/usr/bin/env bash
# Times making the whole uncompressed pyramid of one raw 8192x8192 RGB image, side by
# side in one run: with this library (create, write level 0, reduce, flush: the
# --ppm-pyramid mode of bench_pyramid) and with vips tiffsave (64x64 tiles, pyramid, no
# compression). Runs alternate so that both see the same machine load; wall time, CPU
# time and peak memory of every run are printed, then the medians.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/; built with the default preset
# when its bench_pyramid is missing). R64_COMPARE_SIDE and R64_COMPARE_RUNS override the
# image side (8192) and the number of runs of each (3).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
side=${R64_COMPARE_SIDE:-8192}
runs=${R64_COMPARE_RUNS:-3}

scripts/install-deps.sh libvips-tools time
if [ ! -x "$build/bench/bench_pyramid" ]; then
    cmake --preset default >/dev/null
    build=build
    cmake --build "$build" -j "$(nproc)" --target bench_pyramid r64info
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/r64compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
image="$work/image.ppm"
"$build/bench/bench_pyramid" --make-ppm "$image" "$side" "$side"
cat "$image" >/dev/null # both start from a warm page cache

fmt='%e %U %S %M'
declare -a ours_wall vips_wall
for run in $(seq "$runs"); do
    rm -f "$work/out.r64" "$work/out.tif"
    sync
    /usr/bin/time -f "$fmt" -o "$work/time" \
        "$build/bench/bench_pyramid" --ppm-pyramid "$image" "$work/out.r64" >/dev/null 2>&1
    read -r wall user sys rss <"$work/time"
    printf 'r64   run %d: %5.2f s wall, %5.2f s user, %5.2f s sys, peak %6.1f MiB\n' \
        "$run" "$wall" "$user" "$sys" "$(echo "$rss / 1024" | bc -l)"
    ours_wall+=("$wall")
    /usr/bin/time -f "$fmt" -o "$work/time" vips tiffsave "$image" "$work/out.tif" \
        --tile --tile-width 64 --tile-height 64 --pyramid --compression none
    read -r wall user sys rss <"$work/time"
    printf 'vips  run %d: %5.2f s wall, %5.2f s user, %5.2f s sys, peak %6.1f MiB\n' \
        "$run" "$wall" "$user" "$sys" "$(echo "$rss / 1024" | bc -l)"
    vips_wall+=("$wall")
done

median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
echo "median wall: r64 $(median "${ours_wall[@]}") s, vips $(median "${vips_wall[@]}") s"
printf 'r64 file:  %s bytes, r64info: %s\n' "$(stat -c %s "$work/out.r64")" \
    "$("$build/r64info" "$work/out.r64")"
printf 'tiff file: %s bytes\n' "$(stat -c %s "$work/out.tif")"
