#!/usr/bin/env bash
# Builds and runs the end-to-end benchmarks and prints their table: the whole system beside a
# socat pseudo-terminal pair measured in the same run. --quick for a shorter run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target quarvex_system_bench >/dev/null
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
exec build/default/bench/quarvex_system_bench "$@"
