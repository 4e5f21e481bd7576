#!/usr/bin/env bash
# Builds keyhold and shows a key's whole life in a throw-away key store.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" -DKEYHOLD_TESTS=OFF
exec "$top/scripts/run-demo.sh" "$top/build/bin"
