#!/usr/bin/env bash
# Clones the repository's committed state into a temporary folder and runs the
# README's demonstration command there, as a newcomer would.
set -euo pipefail
src=${1:?usage: check-clean-clone.sh SOURCE_DIR}
if ! git -C "$src" rev-parse --verify -q HEAD >/dev/null; then
  echo "not a git checkout with commits: nothing to clone"
  exit 0
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-clone-XXXXXX")
trap 'rm -rf "$work"' EXIT
git clone --quiet "$src" "$work/keyhold"
"$work/keyhold/scripts/demo.sh"
