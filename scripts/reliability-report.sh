#!/usr/bin/env bash
# Runs the whole reliability campaign (fault injection, crashes, concurrency,
# other users, fuzzing, sanitisers, valgrind) in its long form and writes
# docs/reliability.md from the sections each part prints.
# Usage: scripts/reliability-report.sh [FUZZ_SECONDS]   (default 600 per harness)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fuzz_seconds=${1:-600}
out="$top/docs/reliability.md"
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT

{
  echo "# Reliability and security"
  echo
  echo "What the store and the programs are proven to survive, how each proof runs,"
  echo "and the figures of the last run. The README's test command runs every test"
  echo "below in a bounded form; this page comes from the long form:"
  echo
  echo '```'
  echo "scripts/reliability-report.sh [FUZZ_SECONDS]"
  echo '```'
  echo
  echo "Last run: $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, $(uname -sr)."
  echo
} >"$tmp"

status=0
for part in faults stress users fuzz; do
  script="$top/scripts/reliability/$part.sh"
  [ -x "$script" ] || continue
  args=()
  [ "$part" = fuzz ] && args=("$fuzz_seconds")
  echo "== $part" >&2
  if ! "$script" "${args[@]}" >>"$tmp"; then
    status=1
    printf '\n**The %s run failed; its figures above are incomplete.**\n' "$part" >>"$tmp"
  fi
  echo >>"$tmp"
done

mkdir -p "$top/docs"
cp "$tmp" "$out"
echo "wrote $out" >&2
exit $status
