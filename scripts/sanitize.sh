#!/usr/bin/env bash
# Builds the whole test suite a second time with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (any UB report halts), together with the fuzz
# harnesses, into build-sanitize/, and runs all of it: every test, the programs
# the tests start, and each harness for a bounded time (KEYHOLD_FUZZ_SECONDS,
# default 60). LeakSanitizer is on, so a leak at exit fails the test too.
# Usage: scripts/sanitize.sh [extra ctest arguments]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${KEYHOLD_SANITIZE_DIR:-$top/build-sanitize}
"$top/scripts/deps.sh" --tests
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON \
  -DKEYHOLD_SANITIZE=ON -DKEYHOLD_FUZZ=ON -DKEYHOLD_FUZZ_SECONDS="${KEYHOLD_FUZZ_SECONDS:-60}" \
  -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined >/dev/null
cmake --build "$dir" -j "$(nproc)"
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1
cd "$dir"
# The clean-clone demonstration builds a plain copy of its own; the first run has it.
ctest --output-on-failure -j "$(nproc)" --timeout 600 -E '^demo_from_clean_clone$' "$@"
