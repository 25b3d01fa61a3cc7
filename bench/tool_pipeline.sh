#!/usr/bin/env bash
# Times the r64tool pipeline on a generated photo-like picture: import (level 0 and the
# pyramid), tocr, verify --against and export of a reduced level, each with its wall
# time and peak memory (GNU time), then prints the PSNR table of the cr file.
#   bench/tool_pipeline.sh [BUILD_DIR] [SIZE] [FILTER]
# BUILD_DIR defaults to build, SIZE to 8192 (a SIZE x SIZE picture), FILTER to average.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
size=${2:-8192}
filter=${3:-average}
tool="$build/r64tool"
[ -x "$tool" ] || { echo "no $tool; build the project first" >&2; exit 1; }
[ -x /usr/bin/time ] || scripts/install-deps.sh time

work=$(mktemp -d "$build/tool_pipeline.XXXXXX")
[ -n "${R64_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

# The picture: smooth gradients, shaded discs with hard edges, multi-octave value noise
# for texture and a little per-pixel grain, written as an 8-bit RGB PNG.
cat >"$work/gen.cpp" <<'CPP'
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <png.h>
static uint32_t hash(uint32_t x, uint32_t y, uint32_t s) {
    uint32_t h = x * 374761393u + y * 668265263u + s * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}
static double lattice(int x, int y, int s) { return (hash(x, y, s) & 0xFFFF) / 65535.0; }
static double noise(double x, double y, int s) {
    const int x0 = (int)std::floor(x), y0 = (int)std::floor(y);
    const double fx = x - x0, fy = y - y0;
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double a = lattice(x0, y0, s), b = lattice(x0 + 1, y0, s);
    const double c = lattice(x0, y0 + 1, s), d = lattice(x0 + 1, y0 + 1, s);
    return (a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy;
}
int main(int argc, char **argv) {
    const int n = std::atoi(argv[2]);
    FILE *fp = std::fopen(argv[1], "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, n, n, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row(3 * (size_t)n);
    struct Disc { double x, y, r, c[3]; } discs[24];
    for (int i = 0; i < 24; ++i) {
        discs[i] = {lattice(i, 1, 9) * n, lattice(i, 2, 9) * n, (0.03 + 0.12 * lattice(i, 3, 9)) * n,
                    {lattice(i, 4, 9) * 255, lattice(i, 5, 9) * 255, lattice(i, 6, 9) * 255}};
    }
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const double u = (double)x / n, v = (double)y / n;
            double t = 0, amp = 1, f = 8.0 / 1024 * n / 8;
            for (int o = 0; o < 6; ++o, amp *= 0.5, f *= 2) {
                t += amp * noise(x * f / n * 8, y * f / n * 8, o);
            }
            double c[3] = {90 + 120 * v + 40 * t, 120 + 60 * std::sin(6.0 * u) + 50 * t,
                           200 - 110 * v + 30 * t};
            for (const Disc &d : discs) {
                const double dx = x - d.x, dy = y - d.y, r2 = dx * dx + dy * dy;
                if (r2 < d.r * d.r) {
                    const double shade = 0.6 + 0.4 * (1 - std::sqrt(r2) / d.r) + 0.2 * (t - 1);
                    for (int k = 0; k < 3; ++k) c[k] = d.c[k] * shade;
                }
            }
            for (int k = 0; k < 3; ++k) {
                const double g = ((int)(hash(x, y, 77 + k) & 15) - 8) * 0.75;
                const double vk = c[k] + g;
                row[3 * x + k] = (png_byte)(vk < 0 ? 0 : vk > 255 ? 255 : vk);
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
}
CPP
c++ -O2 -o "$work/gen" "$work/gen.cpp" -lpng
echo "generating a ${size}x${size} picture"
"$work/gen" "$work/photo.png" "$size"
ls -l "$work/photo.png" | awk '{printf "photo.png: %d bytes\n", $5}'

# Runs a step under GNU time; prints its wall time and peak resident memory.
step() {
    local name=$1 slug=$2
    shift 2
    /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/$slug.out"
    awk -F': ' -v name="$name" '
        /Elapsed \(wall clock\)/ { n = split($2, t, ":"); wall = (n == 3) ? t[1] * 3600 + t[2] * 60 + t[3] : t[1] * 60 + t[2] }
        /Maximum resident set size/ { rss = $2 / 1024 }
        END { printf "%-24s %9.1f s  %8.1f MB\n", name, wall, rss }' "$work/time.txt"
}

echo
printf '%-24s %11s  %11s\n' step wall "peak RSS"
step "import ($filter)" import "$tool" import "$work/photo.png" "$work/photo.r64" --filter "$filter"
step "tocr (tile 256)" tocr "$tool" tocr "$work/photo.r64" "$work/photo.cr"
step "verify --against" verify "$tool" verify "$work/photo.cr" --against "$work/photo.r64"
step "export cr level 2" export2 "$tool" export "$work/photo.cr" "$work/level2.png" --level 2
step "export r64 level 0" export0 "$tool" export "$work/photo.r64" "$work/level0.png"

echo
tail -n 1 "$work/import.out"
ls -l "$work/photo.r64" "$work/photo.cr" | awk '{printf "%s: %d bytes\n", $9, $5}' | sed "s|$work/||"
echo
"$tool" info "$work/photo.cr"
echo
sed -n '/^level/,$p' "$work/verify.out"
