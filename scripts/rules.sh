#!/usr/bin/env bash
# Rewrites the list in docs/platform.md of verifier rules from their enumeration
# (platform/verifier/rules.h); the test platform_verifier_test fails while the two differ.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default >/dev/null
cmake --build --preset default --target platform_verifier_test >/dev/null
QVX_WRITE_RULES=1 build/default/tests/platform_verifier_test \
    --gtest_filter='VerifierRulesTest.*' >/dev/null
git diff --stat -- docs/platform.md
