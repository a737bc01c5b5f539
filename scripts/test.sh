#!/usr/bin/env bash
# Builds and runs the whole suite: every test under the default and asan presets, the stress
# tests under tsan, and the target build of the driver with mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in default asan tsan; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

echo "=== mingw (target build)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw
