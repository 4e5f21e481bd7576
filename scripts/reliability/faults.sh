#!/usr/bin/env bash
# Runs the whole fault injection campaign (three rounds of errors) and prints
# its section of docs/reliability.md on standard output; progress goes to
# standard error. Builds what it needs in build-faults/ (configured when missing).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build="$top/build-faults"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "configuring the campaign in $build" >&2
  "$top/scripts/deps.sh" --tests >&2
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON >/dev/null
fi
# Always brought up to date, so the figures are those of the current tree.
nice -n 10 cmake --build "$build" -j 2 --target test_faults >&2

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
echo "running the full fault campaign" >&2
start=$(date +%s)
KH_FAULT_FULL=1 nice -n 10 "$build/bin/test_faults" >"$log" 2>&1 || status=1
seconds=$(( $(date +%s) - start ))

awk -v seconds="$seconds" -v status="$status" '
  /^FAULTS / {
    scen = $2; cls = $3; err = $4; inj = $5; sur = $6
    if (!(scen in seenS)) { seenS[scen] = 1; scens[++ns] = scen }
    if (!(cls in seenC)) { seenC[cls] = 1; classes[++nc] = cls }
    I[scen, cls] += inj; S[scen, cls] += sur
    key = cls " " err
    if (!(key in seenE)) { seenE[key] = 1; errs[++ne] = key }
    EI[key] += inj; ES[key] += sur
    totI += inj; totS += sur
  }
  /^\[  FAILED  \]|Failure$/ { failed = 1 }
  { lines[++nl] = $0 }
  END {
    print "## Fault injection on the mutation paths"
    print ""
    print "A preloaded library (`tests/faults/fault_shim.cpp`) fails one chosen system call of a"
    print "program: opens that create or write, opens for reading, opens of directories, write,"
    print "fsync and fdatasync of files, the directory fsync, rename, link, unlink, mkdir, and the"
    print "close of a written file. Only calls on paths below the key store root and the key blob"
    print "file'"'"'s directory count, and descriptor calls on descriptors that name such a path, so"
    print "the loading of shared libraries and the console are never hit. For every operation below,"
    print "a clean run counts the calls of each kind; then one run per call and error fails exactly"
    print "that call. After each run the test requires: an error line and status 1 (status 0 only"
    print "when the failed call was the removal of a temporary); the error line showing the failed"
    print "call'"'"'s error; no signal, no hang, nothing on standard error; every container judged"
    print "(through the key store functions: public and private blobs of both keys) exactly in its"
    print "old or its new state (a container created by the run may stand empty, as documented);"
    print "the key blob file byte-identical with the same mode, or exactly the new blob; no stray"
    print "file in the user'"'"'s directory; a clean run of the same operation afterwards succeeds and"
    print "leaves no temporary in the store; and the listing (`Quorvin`) shows exactly the"
    print "containers that exist. Each write is also cut short once (half its bytes moved, no"
    print "error): the program must write the rest and succeed. A further test proves the judge:"
    print "calls that are skipped but reported as done must be caught."
    print ""
    print "Operations: `Tessaro` into an existing container and into a new one (no key area yet),"
    print "`Morbeck`, `Ombrix` (private blob into a container holding other keys; into a new"
    print "container), `Zetrask /N:x`, `Faldren /K:7 /F:file` onto an existing file and a new one."
    print ""
    print "How to run: `scripts/test.sh` runs two rounds of errors (`test_faults` in CTest);"
    print "the full campaign with a third round is `scripts/reliability/faults.sh`."
    print ""
    printf "This run: %d faults injected, %d survived, in %d s.\n\n", totI, totS, seconds
    printf "| Operation |"; for (c = 1; c <= nc; c++) printf " %s |", classes[c]; print ""
    printf "|---|"; for (c = 1; c <= nc; c++) printf "---|"; print ""
    for (s = 1; s <= ns; s++) {
      printf "| %s |", scens[s]
      for (c = 1; c <= nc; c++) {
        k = scens[s] SUBSEP classes[c]
        if (!(k in I)) printf " - |"
        else if (I[k] == S[k]) printf " %d |", I[k]
        else printf " %d (%d failed) |", I[k], I[k] - S[k]
      }
      print ""
    }
    print ""
    print "Faults per call and error (all operations):"
    print ""
    print "| Call | Error | Injected | Survived |"
    print "|---|---|---|---|"
    for (e = 1; e <= ne; e++) { split(errs[e], p, " "); printf "| %s | %s | %d | %d |\n", p[1], p[2], EI[errs[e]], ES[errs[e]] }
    print ""
    if (status == 0 && totI == totS && totI > 0) print "Every injected fault was survived."
    else {
      print "**Not every fault was survived.** The failures of this run:"
      print ""
      print "```"
      for (i = 1; i <= nl; i++) if (lines[i] ~ /^Failure|: (#|[a-z-]+ #)|^ *[a-z-]+ #[0-9]+ /) print lines[i]
      print "```"
    }
  }' "$log"
[ "$status" -eq 0 ] || { grep -E '^(.*Failure|[a-z-]+ #[0-9]+ )' "$log" >&2 || true; }
exit "$status"
