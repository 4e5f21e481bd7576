#!/usr/bin/env bash
# The demonstration, on programs already built: run-demo.sh BIN_DIR.
# Everything happens in a temporary key store (KEYHOLD_ROOT) and directory that
# are removed at the end; the user's own keys are never touched.
set -euo pipefail
bin=$(cd "${1:?usage: run-demo.sh BIN_DIR}" && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-demo-XXXXXX")
trap 'rm -rf "$work"' EXIT
export KEYHOLD_ROOT="$work/store"
cd "$work"

step() {
  printf '\n$ %s\n' "$*"
  "$bin/$1" "${@:2}"
}

echo "Key store: $KEYHOLD_ROOT"

# A key pair made by the key store, reported, and its public key written to a file.
step Tessaro /N:Demo /L:2048 /F:demo.pub
step Vandrel /N:Demo
printf '\n$ openssl rsa -pubin -inform MSBLOB -in demo.pub -noout -text | head -n 1\n'
openssl rsa -pubin -inform MSBLOB -in demo.pub -noout -text | head -n 1

# A key pair made with OpenSSL, moved from one container to another as a key blob file.
step Morbeck /N:Old /X /L:2048 /E:3
step Faldren /K:7 /F:pair.key /N:Old
step Ombrix /F:pair.key /N:New /X
step Vandrel /N:New
step Faldren /K:7 /F:again.key /N:New
printf '\n$ cmp pair.key again.key\n'
cmp pair.key again.key && echo "the key blob files are identical ($(stat -c %s pair.key) bytes)"

step Quorvin
printf '\n$ echo y | Zetrask\n'
echo y | "$bin/Zetrask"
step Zetrask /N:Demo
step Zetrask /N:Old
step Zetrask /N:New
step Quorvin
