#!/usr/bin/env bash
# Replays a fuzz target's seed corpus once under the CI memory limits (a seed that makes
# the code allocate beyond them fails), and checks that the run sees at least MIN_COV
# coverage edges: fewer means the library's code is not instrumented and fuzzing is blind.
# Usage: replay_corpus.sh TARGET CORPUS_DIR MIN_COV
set -euo pipefail
target=$1 corpus=$2 min_cov=$3
log=$("$target" -runs=0 -rss_limit_mb=512 -malloc_limit_mb=256 -timeout=30 "$corpus" 2>&1) || {
    echo "$log" | tail -n 40
    exit 1
}
cov=$(echo "$log" | sed -n 's/.*DONE *cov: \([0-9]*\).*/\1/p' | tail -n 1)
echo "$(basename "$target"): ${cov:-?} edges from $(ls "$corpus" | wc -l) seeds (at least $min_cov expected)"
[[ -n "$cov" && "$cov" -ge "$min_cov" ]]
