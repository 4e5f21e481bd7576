#!/usr/bin/env bash
# Runs every program's main scenarios under valgrind memcheck: the road of a
# key (Tessaro, Vandrel, Morbeck, Faldren public and private, Ombrix, Quorvin,
# Zetrask), each program's usage text and an error path of each. Any memcheck
# error or leak fails the run; the suppression file covers only what lies
# outside our code, each entry with its reason.
# Usage: scripts/valgrind.sh BIN_DIR [SUMMARY_FILE]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:?usage: valgrind.sh BIN_DIR [SUMMARY_FILE]}" && pwd)
summary=${2:-}
command -v valgrind >/dev/null || { echo "valgrind is not installed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-valgrind-XXXXXX")
trap 'rm -rf "$work"' EXIT
export KEYHOLD_ROOT="$work/store"
cd "$work"

vg_error=99
runs=0 failures=0
# run EXPECTED_STATUS INPUT PROGRAM ARGS...: EXPECTED_STATUS is 0 or "fail" (any
# status of the program's own but valgrind's).
run() {
  local expected=$1 input=$2 program=$3
  shift 3
  local log="$work/vg-$runs.log" status=0
  runs=$((runs + 1))
  printf '%s' "$input" | valgrind --quiet --error-exitcode=$vg_error --leak-check=full \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --suppressions="$top/scripts/valgrind.supp" --log-file="$log" \
    "$bin/$program" "$@" >"$work/out" 2>&1 || status=$?
  local verdict=ok
  if [ "$status" -eq $vg_error ] || [ -s "$log" ]; then
    verdict="memcheck findings"
  elif [ "$expected" = 0 ] && [ "$status" -ne 0 ]; then
    verdict="exit status $status, expected success"
  elif [ "$expected" = fail ] && [ "$status" -eq 0 ]; then
    verdict="succeeded, expected a failure"
  fi
  printf '%-8s %s %s\n' "$verdict" "$program" "$*"
  if [ "$verdict" != ok ]; then
    failures=$((failures + 1))
    sed 's/^/    /' "$work/out" "$log"
  fi
}

# The road: a key made by the store, reported, exported; one made by OpenSSL,
# moved to another container; a listing; deletions, one by prompt.
run 0 "" Tessaro /N:Road /L:512 /F:road.pub
run 0 "" Vandrel /N:Road
run 0 "" Faldren /K:6 /F:road2.pub /N:Road
run 0 "" Morbeck /N:Old /X /L:512 /E:3 /F:old.pub
run 0 "" Faldren /K:7 /F:pair.key /N:Old
run 0 "" Ombrix /F:pair.key /N:New /X
run 0 "" Ombrix /F:road.pub /N:PublicOnly
run 0 "" Vandrel /N:New
run 0 "" Quorvin
run 0 "" Quorvin /M
run 0 "" Zetrask /N:Old
run 0 "y" Tessaro /L:512
run 0 "y" Zetrask

# Usage texts.
for program in Vandrel Tessaro Morbeck Faldren Ombrix Quorvin Zetrask; do
  run fail "" "$program" "/?"
done

# Error paths: a missing container, a key that is not exportable, a missing
# file, a refused blob, an unknown provider type, a bad length, a refused prompt
# (the default container is gone by now, but the question comes first).
printf 'not a key blob' >garbage.key
run fail "" Vandrel /N:Missing
run fail "" Tessaro /N:Bad /L:100
run fail "" Morbeck /N:Bad /L:512 /E:4
run fail "" Faldren /K:7 /F:kept.key /N:Road
run fail "" Ombrix /F:garbage.key /N:Garbage
run fail "" Ombrix /F:missing.key /N:New
run fail "" Quorvin /P:99
run fail "" Zetrask /N:Missing
run fail "n" Zetrask

echo "valgrind memcheck: $runs runs, $failures failed"
[ -z "$summary" ] || echo "$runs $failures" >"$summary"
[ "$failures" -eq 0 ]
