#!/usr/bin/env bash
# Builds and runs the whole suite: every test under the default and asan presets, the stress
# tests under tsan, every test once more built by clang (with the driver's global-constructor
# checks) and once more at the target's 32-bit pointer size (i686), clang-tidy over the driver,
# the platform and the host, and the target build of the driver with mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in default asan tsan clang i686; do
    echo "=== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

echo "=== clang-tidy"
scripts/tidy.sh build/clang

echo "=== mingw (target build)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw
