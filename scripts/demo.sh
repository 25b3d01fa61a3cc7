#!/usr/bin/env bash
# Builds the project, makes sample files with the library and reports them with
# r64info; then runs r64tool on a picture: import, convert to cr, export a reduced
# level as PNG and verify the cr file against its source.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

out=build/demo
rm -rf "$out"
mkdir -p "$out"

echo "== sample files made with the library (progress lines in $out/r64_demo.log) =="
build/r64_demo "$out" >"$out/r64_demo.log"
for f in "$out"/*.r64 "$out"/*.cr; do
    printf '%-24s ' "$(basename "$f"):"
    build/r64info "$f"
done

echo
echo "== r64tool: picture -> r64 pyramid -> cr -> PNG of level 2 =="
build/r64tool export "$out/colour.r64" "$out/picture.png"
build/r64tool import "$out/picture.png" "$out/picture.r64" >"$out/import.log"
tail -n 1 "$out/import.log"
build/r64tool tocr "$out/picture.r64" "$out/picture.cr" --tile 256 >"$out/tocr.log"
tail -n 1 "$out/tocr.log"
build/r64tool export "$out/picture.cr" "$out/picture-level2.png" --level 2
build/r64tool info "$out/picture.cr"
build/r64tool verify "$out/picture.cr" --against "$out/picture.r64"
printf '%-24s ' "picture.r64:"; build/r64info "$out/picture.r64"
printf '%-24s ' "picture.cr:"; build/r64info "$out/picture.cr"

echo
echo "== to zoom and pan through these files in a browser =="
echo "  build/r64tool serve $out --port 8080"
echo "  then open http://127.0.0.1:8080/"
