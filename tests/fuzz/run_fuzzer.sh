#!/usr/bin/env bash
# One bounded libFuzzer run: the committed seeds are read, never written; new
# inputs go to a fresh working corpus, findings to its artifacts folder, and
# any finding (crash, leak, hang, sanitiser report) fails the run.
# Usage: run_fuzzer.sh FUZZER SEED_DIR WORK_DIR SECONDS [extra libFuzzer flags]
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
shift 4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" "$seeds" >"$work/log" 2>&1 || status=$?
# The figures libFuzzer ends with: its last status line and the final stats.
grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$work/log" | tail -n 1 || true
grep -E '^stat::' "$work/log" || true
if [ "$status" -ne 0 ] || ls "$work/artifacts" | grep -q .; then
  echo "FINDING (exit $status):"
  tail -n 60 "$work/log"
  ls -l "$work/artifacts"
  exit 1
fi
