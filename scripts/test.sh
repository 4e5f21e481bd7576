#!/usr/bin/env bash
# Builds keyhold and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" -DKEYHOLD_TESTS=ON
cd "$top/build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
