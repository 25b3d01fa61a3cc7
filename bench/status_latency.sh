#!/usr/bin/env bash
# Start-to-exit latency of r64info on a complete 256 x 256 'P' pyramid, side by side
# in one run with an empty process (true) and tiffinfo on an equivalent tiled TIFF
# (RGB, 64 x 64 tiles). Goal: r64info within 1.3x of true.
# Usage: bench/status_latency.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
"$root/scripts/install-deps.sh" hyperfine libtiff-tools

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# r64: the 8-byte header ('P', 256 x 256, big-endian), then all seven levels
# (256, 128, 64, 32, 16, 8, 4 square) of 3 bytes a pixel.
side=256
levels_bytes=$((3 * (65536 + 16384 + 4096 + 1024 + 256 + 64 + 16)))
printf 'R64P\x01\x00\x01\x00' > "$work/image.r64"
head -c "$levels_bytes" /dev/urandom >> "$work/image.r64"

# TIFF: the same pixels' worth of random RGB as a PPM, made tiled with tiffcp.
{ printf 'P6\n%d %d\n255\n' "$side" "$side"; head -c $((3 * side * side)) /dev/urandom; } \
    > "$work/image.ppm"
ppm2tiff "$work/image.ppm" "$work/strips.tif"
tiffcp -t -w 64 -l 64 "$work/strips.tif" "$work/image.tif"

echo "r64info:  $("$build/r64info" "$work/image.r64")"
echo "tiffinfo: $(tiffinfo "$work/image.tif" | grep -c 'Tile Width') tiled directory"

hyperfine -N --warmup 100 --runs "${R64_BENCH_RUNS:-2000}" \
    --export-markdown "$work/latency.md" \
    -n true "true" \
    -n r64info "$build/r64info $work/image.r64" \
    -n tiffinfo "tiffinfo $work/image.tif"
cat "$work/latency.md"
