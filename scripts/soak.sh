#!/usr/bin/env bash
# Soak: MiB (default 1024) through a pair with Xon/Xoff flow control, every byte checked.
#   scripts/soak.sh [MiB]              on the real-time machine, built under AddressSanitizer:
#                                      a port passes at most 127 bytes per 1 ms send tick, so
#                                      1024 MiB takes about two and a half hours; 32 takes minutes
#   scripts/soak.sh --simulated [MiB]  on the simulated machine (optimised build), both ways at
#                                      once with readers that pause past their ring: as fast as
#                                      the processor allows (tests/sim/soak_test.cpp)
# Not part of CI (ctest runs 4 MiB of the simulated one).
set -euo pipefail
cd "$(dirname "$0")/.."

simulated=0
if [ "${1:-}" = "--simulated" ]; then
    simulated=1
    shift
fi
mebibytes=${1:-1024}
if ! [[ "$mebibytes" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/soak.sh [--simulated] [MiB]  (a positive number, default 1024)" >&2
    exit 2
fi

scripts/install-deps.sh
if [ "$simulated" -eq 1 ]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target sim_soak_test >/dev/null
    QVX_SOAK_MIB=$mebibytes exec build/default/tests/sim_soak_test
fi
cmake --preset asan >/dev/null
cmake --build --preset asan --target quarvex_soak >/dev/null
exec build/asan/bench/quarvex_soak "$mebibytes"
