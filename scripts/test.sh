#!/usr/bin/env bash
# Builds keyhold and runs every test; then builds the tests again with clang
# under AddressSanitizer and UndefinedBehaviorSanitizer, with the fuzz harnesses,
# and runs them all there (scripts/sanitize.sh). KEYHOLD_QUICK=1 stops after
# the first run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" -DKEYHOLD_TESTS=ON
cd "$top/build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
[ "${KEYHOLD_QUICK:-0}" = 1 ] || "$top/scripts/sanitize.sh"
