#!/usr/bin/env bash
# Builds the quarvex tool and runs its demonstration, or the tool with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target quarvex
# No arguments: the main job, the demonstration of the whole system.
if [ $# -eq 0 ]; then
    set -- demo
fi
exec build/default/quarvex "$@"
