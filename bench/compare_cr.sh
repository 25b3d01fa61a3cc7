#!/usr/bin/env bash
# Times cr conversion side by side in one run, at each side given (4096 and 8192 by
# default), on a generated photo-like picture with 256-pixel tiles at quality 80:
#  - r64 -> cr: cr_write_file in the floor's own process (the fastest of three rounds
#    that alternate with the floor's) and `r64tool tocr` on 1 and 2 threads, against
#    the one-thread floor (bench/cr_floor: reading the r64 file, libjpeg-turbo
#    encoding every tile of the same cr file and decoding those above level 0);
#  - picture -> compressed pyramid: r64tool (`import` to cr when the tool can, else
#    `import` then `tocr`; it syncs its file) against `vips tiffsave --tile --pyramid
#    --compression jpeg --Q 80` and `vips dzsave` (256-pixel tiles, no overlap, JPEG
#    quality 80), each with VIPS_CONCURRENCY=1 and with vips's default threads.
# Runs alternate so that all see the same machine load, and every one-thread job runs
# on the same processor (virtual machines' processors can differ in speed by a third);
# the medians of wall time and peak memory are printed with the ratios, then the file
# sizes and the PSNR of level 0 against the picture. Usage: bench/compare_cr.sh [BUILD_DIR] (default build/).
# R64_COMPARE_SIDES and R64_COMPARE_RUNS override the sides and the runs of each (3).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sides=${R64_COMPARE_SIDES:-4096 8192}
runs=${R64_COMPARE_RUNS:-3}

scripts/install-deps.sh libvips-tools time python3-numpy bc util-linux
if [ ! -x "$build/r64tool" ] || [ ! -x "$build/bench/cr_floor" ] ||
    [ ! -x "$build/bench/bench_pyramid" ]; then
    cmake --preset default >/dev/null
    build=build
    cmake --build "$build" -j "$(nproc)" --target r64tool cr_floor bench_pyramid
fi
tool=$build/r64tool

work=$(mktemp -d "${TMPDIR:-/tmp}/r64comparecr.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Whether import writes cr itself (the target's extension choosing the format).
if "$tool" import --help 2>&1 | grep -q -- '--format'; then
    direct_import=1
else
    direct_import=0
fi

# One-thread jobs run on the first processor this script may use.
one_cpu=(taskset -c "$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')")

# time_job NAME CMD...: runs CMD under /usr/bin/time, keeps its wall time and peak memory.
time_job() {
    local name=$1
    shift
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" ||
        { cat "$work/err" >&2; echo "$name failed" >&2; exit 1; }
    read -r wall rss <<<"$(tail -n 1 "$work/time")"
    echo "$wall" >>"$work/$name.wall"
    echo "$rss" >>"$work/$name.rss"
}

median() { sort -g "$1" | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# PSNR of two PPM pictures of the same size, over every sample.
psnr() {
    /usr/bin/python3 - "$1" "$2" <<'EOF'
import sys, numpy as np
def ppm(path):
    data = open(path, 'rb').read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    w, h = int(fields[1]), int(fields[2])
    return np.frombuffer(data, np.uint8, w * h * 3, pos + 1).astype(np.float64)
a, b = ppm(sys.argv[1]), ppm(sys.argv[2])
mse = np.mean((a - b) ** 2)
print('%.2f' % (99.0 if mse == 0 else 10 * np.log10(255.0 ** 2 / mse)))
EOF
}

for side in $sides; do
    rm -f "$work"/*.wall "$work"/*.rss
    pic=$work/pic.ppm
    "$build/bench/bench_pyramid" --make-ppm "$pic" "$side" "$side"
    "$tool" import "$pic" "$work/pic.r64" >/dev/null
    "$tool" tocr "$work/pic.r64" "$work/ref.cr" --threads 1 >/dev/null
    cat "$pic" "$work/pic.r64" >/dev/null # every run starts from a warm page cache

    for run in $(seq "$runs"); do
        read -r floor_s lib_s <<<"$("${one_cpu[@]}" "$build/bench/cr_floor" "$work/pic.r64" \
            "$work/ref.cr" "$work/lib.cr" 3)"
        echo "$floor_s" >>"$work/floor.wall"
        echo "$lib_s" >>"$work/lib.wall"
        time_job tocr1 "${one_cpu[@]}" "$tool" tocr "$work/pic.r64" "$work/t1.cr" --threads 1
        time_job tocr2 "$tool" tocr "$work/pic.r64" "$work/t2.cr" --threads 2
        rm -f "$work/ours.cr"
        if [ "$direct_import" = 1 ]; then
            time_job ours "$tool" import "$pic" "$work/ours.cr" --tile 256
        else
            time_job ours bash -c "'$tool' import '$pic' '$work/tmp.r64' &&
                '$tool' tocr '$work/tmp.r64' '$work/ours.cr' && rm '$work/tmp.r64'"
        fi
        for conc in 1 default; do
            env=(env)
            [ "$conc" = 1 ] && env=("${one_cpu[@]}" env VIPS_CONCURRENCY=1)
            rm -rf "$work/vips.tif" "$work/dz" "$work/dz.dzi" "$work/dz_files"
            time_job "tiff_$conc" "${env[@]}" vips tiffsave "$pic" "$work/vips.tif" --tile \
                --tile-width 256 --tile-height 256 --pyramid --compression jpeg --Q 80
            time_job "dz_$conc" "${env[@]}" vips dzsave "$pic" "$work/dz" --tile-size 256 \
                --overlap 0 --suffix '.jpg[Q=80]'
        done
    done

    for n in lib t1 t2; do
        cmp -s "$work/$n.cr" "$work/ref.cr" || { echo "tocr $n differs from one thread" >&2; exit 1; }
    done
    floor=$(median "$work/floor.wall")
    echo
    echo "== ${side}x${side}, 256-pixel tiles, quality 80, median of $runs runs, $(nproc) cores"
    printf '%-34s %8s %8s %10s\n' job "wall s" "peak MiB" "vs"
    printf '%-34s %8s %8s %10s\n' "floor (cr_floor, 1 thread)" "$floor" - -
    row() { # NAME LABEL REFERENCE_SECONDS REFERENCE_NAME
        local wall rss
        wall=$(median "$work/$1.wall")
        rss=- # no figure for a job timed inside another process
        if [ -f "$work/$1.rss" ]; then
            rss=$(printf '%.1f' "$(echo "$(median "$work/$1.rss") / 1024" | bc -l)")
        fi
        printf '%-34s %8s %8s %10s\n' "$2" "$wall" "$rss" \
            "$(printf '%.2fx %s' "$(echo "$wall / $3" | bc -l)" "$4")"
    }
    row lib "cr_write_file (in process)" "$floor" floor
    row tocr1 "r64tool tocr --threads 1" "$floor" floor
    row tocr2 "r64tool tocr --threads 2" "$floor" floor
    tiff_default=$(median "$work/tiff_default.wall")
    if [ "$direct_import" = 1 ]; then label="r64tool import pic.ppm pic.cr"; else
        label="r64tool import + tocr"; fi
    row ours "$label" "$tiff_default" "tiffsave"
    row tiff_1 "vips tiffsave jpeg, 1 thread" "$tiff_default" "tiffsave"
    row tiff_default "vips tiffsave jpeg, default" "$tiff_default" "tiffsave"
    row dz_1 "vips dzsave, 1 thread" "$tiff_default" "tiffsave"
    row dz_default "vips dzsave, default" "$tiff_default" "tiffsave"

    "$tool" export "$work/ours.cr" "$work/ours.png" --level 0 >/dev/null
    vips copy "$work/ours.png" "$work/ours.ppm"
    vips copy "$work/vips.tif" "$work/vips.ppm"
    printf 'cr file:   %10s bytes, PSNR %s dB\n' "$(stat -c %s "$work/ours.cr")" \
        "$(psnr "$pic" "$work/ours.ppm")"
    printf 'tiff file: %10s bytes, PSNR %s dB\n' "$(stat -c %s "$work/vips.tif")" \
        "$(psnr "$pic" "$work/vips.ppm")"
    printf 'dzsave:    %10s bytes\n' "$(du -sb "$work/dz_files" | cut -f1)"
done
