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

# Fuzz targets (Clang sanitizer build only): a short bounded run each from its seed
# corpus, under memory limits that any allocation a header can inflate would break. New
# inputs go to a scratch directory, never into the corpus kept in the repository.
if compgen -G "build-asan/fuzz/fuzz_*" >/dev/null; then
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    for fuzzer in build-asan/fuzz/fuzz_*; do
        name=$(basename "$fuzzer")
        echo "=== $name (bounded run) ==="
        mkdir -p "$scratch/$name"
        "$fuzzer" -max_total_time="${R64_FUZZ_SECONDS:-20}" -rss_limit_mb=512 -malloc_limit_mb=256 \
            -timeout=10 "$scratch/$name" "tests/fuzz/corpus/$name" 2>&1 | tail -n 3
    done
fi
