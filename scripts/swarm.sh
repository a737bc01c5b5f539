#!/usr/bin/env bash
# Runs N more seeds of the whole-system scenarios (tests/sim), one process per seed, and prints
# each failing seed with the line that replays it. CI runs seeds 1 to 1000; this starts after
# them unless a first seed is given.
#   scripts/swarm.sh N [FIRST] [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/.."

count=${1:?usage: scripts/swarm.sh N [FIRST] [BUILD_DIR]}
first=${2:-1001}
build=${3:-build/default}
binary=$build/tests/sim_swarm_test
if [ ! -x "$binary" ]; then
    echo "no $binary: build it first (cmake --build --preset default --target sim_swarm_test)" >&2
    exit 2
fi

failed=0
for ((seed = first; seed < first + count; seed++)); do
    if ! QVX_SEED=$seed "$binary" --gtest_filter='Seeds/*' >/dev/null 2>&1; then
        echo "FAILED seed $seed: QVX_SEED=$seed $binary --gtest_filter='*SimSwarm*'"
        failed=$((failed + 1))
    fi
done
echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
