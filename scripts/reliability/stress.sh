#!/usr/bin/env bash
# Runs the crash and concurrency tests at length and prints their section of
# docs/reliability.md on standard output; progress goes to standard error.
# Builds what it needs in build-stress/ (configured when missing, and brought up
# to date on every run, so the figures are always those of the current code).
# Sizes may be changed:
#   KILLS=500 INPROCESS_KILLS=300 PROCESSES=8 ROUNDS=200 RACES=30 scripts/reliability/stress.sh
# KEYHOLD_STRESS_SEED=<n> replays a run whose seed a failure printed.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-stress"
kills=${KILLS:-500}
inprocess=${INPROCESS_KILLS:-300}
processes=${PROCESSES:-8}
rounds=${ROUNDS:-200}
races=${RACES:-30}

if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "configuring the tests in $build" >&2
  "$top/scripts/deps.sh" --tests >&2
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON >/dev/null
fi
cmake --build "$build" -j 2 --target test_stress >&2

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "running: $kills program kills, $inprocess in-process kills, $processes+2 processes x $rounds rounds," \
     "$races race rounds" >&2
start=$(date +%s)
status=0
KEYHOLD_STRESS_KILLS=$kills KEYHOLD_STRESS_INPROCESS_KILLS=$inprocess \
KEYHOLD_STRESS_PROCESSES=$processes KEYHOLD_STRESS_ROUNDS=$rounds KEYHOLD_STRESS_RACES=$races \
  nice -n 10 "$build/bin/test_stress" >"$log" 2>&1 || status=1
seconds=$(( $(date +%s) - start ))
[ "$status" -eq 0 ] || { echo "FAILED; the test output follows" >&2; cat "$log" >&2; }

cat <<'EOF'
## Crash and concurrency tests

`tests/stress/` holds two tests of the key store under stress, run from the test command
(`scripts/test.sh`, and so in CI) in a bounded version (150 program kills, 120 in-process kills,
10 processes x 25 rounds, 10 race rounds; 5 to 30 seconds on two cores, as loaded; the rounds are
halved in the sanitized second run). Every run prints its
random seed; `KEYHOLD_STRESS_SEED=<seed>` replays it.

**Crash test** (`crash_test.cpp`). First each program's typical run time is measured (median of
three runs). Then, round after round, `Tessaro` or `Morbeck` (512-bit pair, with `/F:` public key
file), `Ombrix` (a 512-bit private key blob) or `Zetrask` is started on one of three containers and
killed with SIGKILL after a random delay between zero and 1.2 times its typical run. After each
round: the container opens (never NTE_KEYSET_ENTRY_BAD) and holds exactly its old state (same
public and private blob) or the new one (Ombrix: the imported blob; Tessaro/Morbeck: a consistent
fresh 512-bit pair with exponent 65537; Zetrask: gone); a run that finished must have left the new
state; the public key file is the old file or the new key's; PP_ENUMCONTAINERS lists exactly the
containers that open, and the area holds one file per listed container; then a later creation and
deletion in the same area succeed and leave no temporary file. A second part forks children that
loop on CryptImportKey, CryptGenKey, or creation and deletion of one container, and kills them
after a random 0-20 ms (after at least one complete write), to hit the short windows of a write
far more often; the same checks follow each kill, and after each killed import or generation the
container is deleted, which must leave no temporary file (with the key it held) behind. A third
part kills such writers while a live one stores and reads back keys in its own container of the
same area: every store must succeed and every read give the key just stored.

**Concurrency test** (`concurrency_test.cpp`). Eight forked children call the key store functions
and two run the programs (Tessaro, Morbeck, Faldren, Ombrix, Zetrask, Quorvin), all against one key
area, on three shared containers and each on one of its own. Every child logs each operation that
succeeded, with the public blob it wrote or read and its start and end on the monotonic clock.
Children check on the spot what only they can know exactly: every result on their own container
(create, generate, import, export, delete, and whether a listing names it) and that errors on
shared containers are only those a race may give (NTE_EXISTS, NTE_BAD_KEYSET, NTE_NO_KEY).
Afterwards every container must open and its keys load, and its state (gone, empty, or a key)
must be the effect of a successful write that no other successful write followed entirely (for own
containers exactly the last one); every key read must have been written before the read ended;
PP_ENUMCONTAINERS and Quorvin list exactly the containers that exist. A third part races eight
processes to CRYPT_NEWKEYSET one name (one success, seven NTE_EXISTS), then to CRYPT_DELETEKEYSET
it (one success, seven NTE_BAD_KEYSET), then four Zetrask runs to delete it (one success), round
after round, in the user area and the machine area by turns, each made by the first race on it
(and left with its proper mode, 0700 or 01777).

**How to run.** The bounded version: `scripts/test.sh` (or `build/bin/test_stress`). The long
version, which printed this section: `scripts/reliability/stress.sh` (sizes: `KILLS`,
`INPROCESS_KILLS`, `PROCESSES`, `ROUNDS`, `RACES`).

EOF
echo "**This run** ($(date -u +%Y-%m-%d), $(nproc) cores, $seconds s, $kills program kills, $inprocess in-process kills, $processes+2 processes x $rounds rounds, $races race rounds): $( [ "$status" -eq 0 ] && echo 'all checks passed' || echo 'FAILED, see below')."
echo
# Each test's seed and figures under its name and result.
awk '
  /^\[ RUN +\] / { test = $NF; n = 0; next }
  /^\[ (seed|timing|figures) / { sub(/^\[ [a-z]+ +\] /, ""); lines[++n] = $0; next }
  /^\[ +(OK|FAILED) +\] [A-Za-z]+\.[A-Za-z]+ \(/ {
    result = $2; ms = $(NF - 1); sub(/\(/, "", ms)
    printf "- `%s`: %s in %.1f s\n", $4, result, ms / 1000
    for (i = 1; i <= n; ++i) printf "  - %s\n", lines[i]
    n = 0
  }
' "$log"
if [ "$status" -ne 0 ]; then
  echo
  echo 'Failures:'
  echo
  echo '```'
  grep -E -A6 'Failure$' "$log" | head -80 || true
  echo '```'
fi
exit "$status"
