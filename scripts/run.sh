#!/usr/bin/env bash
# Builds the quarvex tool and runs its demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target quarvex
exec build/default/quarvex "$@"
