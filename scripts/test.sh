#!/usr/bin/env bash
# Builds the default (RelWithDebInfo) and the sanitizer (Clang, ASan+UBSan) presets and
# runs every test of both with CTest; then runs each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
for preset in default asan; do
    echo "=== preset $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

# Fuzz targets (Clang sanitizer build only): a short bounded run each.
if compgen -G "build-asan/fuzz/fuzz_*" >/dev/null; then
    for fuzzer in build-asan/fuzz/fuzz_*; do
        echo "=== $(basename "$fuzzer") (bounded run) ==="
        "$fuzzer" -max_total_time="${R64_FUZZ_SECONDS:-20}" -rss_limit_mb=2048 -timeout=10 2>&1 | tail -n 3
    done
fi
