#!/usr/bin/env bash
# Soak: MiB (default 1024) through a pair with Xon/Xoff flow control on the real-time machine,
# built under AddressSanitizer, every byte checked. Not part of CI: a port passes at most 127
# bytes per 1 ms send tick, so 1024 MiB takes about two and a half hours; 32 takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset asan >/dev/null
cmake --build --preset asan --target quarvex_soak >/dev/null
exec build/asan/bench/quarvex_soak "${1:-1024}"
