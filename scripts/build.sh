#!/usr/bin/env bash
# Configures and builds keyhold into build/ (programs in build/bin/).
# Extra arguments go to the CMake configure step; the tests' packages are
# installed unless -DKEYHOLD_TESTS=OFF is among them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
deps=(--tests)
for arg in "$@"; do
  [ "$arg" = -DKEYHOLD_TESTS=OFF ] && deps=()
done
"$top/scripts/deps.sh" "${deps[@]}"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$top/build" -j "$(nproc)"
