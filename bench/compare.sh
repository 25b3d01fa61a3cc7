#!/usr/bin/env bash
# Times importing a picture into a whole uncompressed pyramid, side by side in one
# hyperfine run per picture: `r64tool import` against `vips tiffsave` (64x64 tiles,
# pyramid, no compression) on one thread (VIPS_CONCURRENCY=1) and on its default
# threads, and against the streaming floor (bench/import_floor.c: read or decode, 2x2
# means, large writes, fsync). Photo-like pictures of each side are made as PPM, PNG,
# JPEG (quality 90) and TIFF (striped, uncompressed); the page cache is warm. Then the
# system calls of one import of each (strace -c -f) and the peak memory
# (/usr/bin/time) of r64tool and vips at every side.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/; built with the default preset
# when its r64tool is missing). R64_COMPARE_SIDES ("4096 8192"), R64_COMPARE_RUNS (5)
# and R64_COMPARE_FORMATS ("ppm png jpg tif") narrow or widen the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sides=${R64_COMPARE_SIDES:-4096 8192}
runs=${R64_COMPARE_RUNS:-5}
formats=${R64_COMPARE_FORMATS:-ppm png jpg tif}

scripts/install-deps.sh libvips-tools time hyperfine strace
if [ ! -x "$build/r64tool" ]; then
    cmake --preset default >/dev/null
    build=build
    cmake --build "$build" -j "$(nproc)" --target r64tool
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/r64compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/import_floor" bench/import_floor.c -lpng -ljpeg
tool=$(realpath "$build/r64tool")
floor="$work/import_floor"
vips_args=(--tile --tile-width 64 --tile-height 64 --pyramid --compression none)

summary="$work/summary.txt"
for side in $sides; do
    pic="$work/p$side"
    "$floor" --make "$pic.ppm" "$side" "$side"
    vips copy "$pic.ppm" "$pic.png"
    vips jpegsave "$pic.ppm" "$pic.jpg" --Q 90
    vips tiffsave "$pic.ppm" "$pic.tif" --compression none
    for fmt in $formats; do
        in="$pic.$fmt"
        cat "$in" >/dev/null # warm
        # The floor reads the uncompressed TIFF's samples as the PPM's: the same bytes.
        floor_in=$in
        [ "$fmt" = tif ] && floor_in="$pic.ppm"
        echo
        echo "== $side x $side $fmt ($(stat -c %s "$in") bytes)"
        hyperfine -N --warmup 1 --runs "$runs" --export-json "$work/run.json" \
            -n "r64tool" "$tool import -q $in $work/out.r64" \
            -n "vips-1" "env VIPS_CONCURRENCY=1 vips tiffsave $in $work/out1.tif ${vips_args[*]}" \
            -n "vips" "vips tiffsave $in $work/out.tif ${vips_args[*]}" \
            -n "floor" "$floor $floor_in $work/floor.out"
        /usr/bin/python3 - "$work/run.json" "$side $fmt" >>"$summary" <<'EOF'
import json, sys
r = {x["command"]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
ours = r["r64tool"]
print("%-10s r64tool %6.3f s | vips-1 %6.3f s (%.2fx ours) | vips %6.3f s (%.2fx) | "
      "floor %6.3f s (ours %.2fx the floor)" % (sys.argv[2], ours, r["vips-1"],
      r["vips-1"] / ours, r["vips"], r["vips"] / ours, r["floor"], ours / r["floor"]))
EOF
    done
    # System calls and peak memory, once each, from the PPM.
    for who in r64tool vips-1; do
        if [ "$who" = r64tool ]; then
            cmd=("$tool" import -q "$pic.ppm" "$work/out.r64")
        else
            cmd=(env VIPS_CONCURRENCY=1 vips tiffsave "$pic.ppm" "$work/out1.tif" "${vips_args[@]}")
        fi
        strace -c -f -o "$work/strace.txt" "${cmd[@]}"
        calls=$(awk '/^100.00|total/ { print $4; exit }' "$work/strace.txt")
        /usr/bin/time -f '%M' -o "$work/rss" "${cmd[@]}"
        printf '%-10s %-8s %8s system calls, peak %6.1f MiB\n' "$side ppm" "$who" "$calls" \
            "$(echo "$(cat "$work/rss") / 1024" | bc -l)" >>"$summary"
    done
done
echo
echo "== medians (ratios: their time over ours; ours over the floor)"
cat "$summary"
