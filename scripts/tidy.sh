#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the driver, the platform and the host code, with the
# compile commands of the clang build. Fails on any finding.
# Usage: scripts/tidy.sh [BUILD_DIR] [FILE...]   (default build/clang, every source file)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/clang}
shift || true
if [[ ! -f $build/compile_commands.json ]]; then
    echo "tidy: no $build/compile_commands.json; run: cmake --preset clang" >&2
    exit 2
fi

if [[ $# -gt 0 ]]; then
    files=("$@")
else
    mapfile -t files < <(git ls-files 'driver/*.cpp' 'port/*.cpp' 'peer/*.cpp' 'serial/*.cpp' \
                                      'queue/*.cpp' 'trace/*.cpp' 'kpeer/*.cpp' \
                                      'platform/**/*.cpp' 'host/*.cpp' 'host/**/*.cpp')
fi
# Files the Linux build does not compile (qvxbridge.exe's Winsock and entry files, built by
# mingw alone) have no compile command to check them with.
checked=()
for file in "${files[@]}"; do
    if grep -qF "\"file\": \"$PWD/$file\"" "$build/compile_commands.json"; then
        checked+=("$file")
    fi
done
files=("${checked[@]}")
[[ ${#files[@]} -gt 0 ]] || { echo "tidy: nothing to check"; exit 0; }

jobs=$(nproc 2>/dev/null || echo 2)
if ! printf '%s\n' "${files[@]}" |
    xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet >"$build/tidy.log" 2>&1; then
    grep -E '(warning|error):' "$build/tidy.log" >&2 || tail -20 "$build/tidy.log" >&2
    echo "tidy: clang-tidy failed (full output in $build/tidy.log)" >&2
    exit 1
fi
echo "tidy: ${#files[@]} files clean"
