#!/usr/bin/env bash
# Builds keyhold and runs every test; then the Debian package's test
# (scripts/package-test.sh: build, lintian, install, the road of a key from
# /usr/bin as root and as another user, purge); then the Windows build under
# Wine (scripts/test-windows.sh); then builds the tests again with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, with the fuzz harnesses,
# and runs them all there (scripts/sanitize.sh). KEYHOLD_QUICK=1 stops before
# the sanitizer run; KEYHOLD_WINDOWS=0 leaves the Windows build out.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" -DKEYHOLD_TESTS=ON
(cd "$top/build" && ctest --output-on-failure -j "$(nproc)" --timeout 600)
"$top/scripts/package-test.sh" "$top/build"
"$top/scripts/test-windows.sh"
[ "${KEYHOLD_QUICK:-0}" = 1 ] || "$top/scripts/sanitize.sh"
