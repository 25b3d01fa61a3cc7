#!/usr/bin/env bash
# Builds the project, makes sample files with the library and reports them with r64info.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

out=build/demo
mkdir -p "$out"
build/r64_demo "$out"
for f in "$out"/*.r64 "$out"/*.cr; do
    [ -e "$f" ] || continue
    printf '%-28s ' "$(basename "$f"):"
    build/r64info "$f"
done
