#!/usr/bin/env bash
# The long fuzzing run and the memory-checking runs, printed as a Markdown
# section for the reliability page: each libFuzzer harness for SECONDS (default
# 600; two at once, at low priority), then the whole test suite under ASan and
# UBSan, then every program's scenarios under valgrind memcheck.
# Usage: scripts/reliability/fuzz.sh [SECONDS]    (Markdown on stdout, progress on stderr)
# Builds into build-fuzz/, build-sanitize/ and build/ (KEYHOLD_SANITIZE_DIR and
# KEYHOLD_PLAIN_BUILD choose others).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-600}
fuzz_dir=$top/build-fuzz
work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT

harnesses=(fuzz_key_blob fuzz_import_key fuzz_container_file fuzz_command_line fuzz_pkcs11)
declare -A seeds=([fuzz_key_blob]=key_blob [fuzz_import_key]=key_blob
                  [fuzz_container_file]=container_file [fuzz_command_line]=command_line [fuzz_pkcs11]=pkcs11)
declare -A covers=(
  [fuzz_key_blob]="DecodeKeyBlob on any bytes; an accepted blob must re-encode to the same bytes and its public half must decode"
  [fuzz_import_key]="CryptImportKey into a verify context, then KP_KEYLEN, CryptExportKey back to the same bytes, CryptGetUserKey"
  [fuzz_container_file]="DecodeContainerFile and DecodeContainerName, each input also with a correct checksum; accepted files must encode back to their bytes"
  [fuzz_command_line]="ParseArgs of all seven programs on NUL-separated argument vectors, against the scan's rules and the 32-bit number conversions"
  [fuzz_pkcs11]="The PKCS#11 module's C_Sign, C_Verify, C_Encrypt and C_Decrypt, one part or several, with any mechanism and parameters (raw bytes of any length, or the structures with any values) and any data: only PKCS#11's codes for bad input, successes of the right length, no operation left behind")

echo "== building the fuzz harnesses in $fuzz_dir" >&2
"$top/scripts/deps.sh" --tests >&2
CC=clang CXX=clang++ cmake -S "$top" -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON \
  -DKEYHOLD_SANITIZE=ON -DKEYHOLD_FUZZ=ON -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=undefined >/dev/null
nice -n 10 cmake --build "$fuzz_dir" -j 2 --target "${harnesses[@]}" >&2

fuzz_status=0
run_one() {
  local h=$1
  echo "== $h for ${seconds}s" >&2
  nice -n 10 "$top/tests/fuzz/run_fuzzer.sh" "$fuzz_dir/bin/$h" "$top/tests/fuzz/corpus/${seeds[$h]}" \
    "$work/$h" "$seconds" >"$work/$h.summary" 2>&1 || echo failed >"$work/$h.failed"
}
for ((i = 0; i < ${#harnesses[@]}; i += 2)); do
  run_one "${harnesses[$i]}" &
  [ $((i + 1)) -lt ${#harnesses[@]} ] && run_one "${harnesses[$((i + 1))]}" &
  wait
done

final_stat() { grep -m1 "^stat::$2:" "$work/$1/log" | awk '{print $2}'; }
done_field() { grep -E '^#[0-9]+.*DONE' "$work/$1/log" | tail -n 1 | grep -oE "$2: [^ ]+" | awk '{print $2}'; }

echo "## Fuzzing"
echo
echo "The libFuzzer harnesses below (clang 14, \`-fsanitize=fuzzer,address,undefined\`, UBSan halting), in"
echo "\`tests/fuzz/\`. Their seed corpora, valid inputs written by \`tests/fuzz/make_seeds.cpp\`, are in"
echo "\`tests/fuzz/corpus/\`; an input that finds a fault is added there as a regression. The README's"
echo "test command runs each harness for 60 seconds as a CTest test that fails on any finding."
echo
echo "| Harness | Covers |"
echo "|---|---|"
for h in "${harnesses[@]}"; do echo "| \`$h\` | ${covers[$h]} |"; done
echo
echo "Run one by hand:"
echo
echo '```'
echo "scripts/reliability/fuzz.sh [SECONDS]      # all of them, this section"
echo "tests/fuzz/run_fuzzer.sh build-fuzz/bin/fuzz_key_blob tests/fuzz/corpus/key_blob /tmp/work 600"
echo '```'
echo
echo "This run: ${seconds} s per harness, two at once on $(nproc) cores, at nice 10."
echo
echo "| Harness | Executions | Exec/s | Coverage (edges) | Features | Corpus (seeds + new) | Peak RSS | Findings |"
echo "|---|---:|---:|---:|---:|---|---:|---|"
for h in "${harnesses[@]}"; do
  nseeds=$(find "$top/tests/fuzz/corpus/${seeds[$h]}" -type f | wc -l)
  nnew=$(find "$work/$h/corpus" -type f | wc -l)
  nart=$(find "$work/$h/artifacts" -type f | wc -l)
  finding=none
  if [ -e "$work/$h.failed" ]; then
    fuzz_status=1
    finding="**$nart artifact(s)**: $(ls "$work/$h/artifacts" | tr '\n' ' ')"
  fi
  echo "| \`$h\` | $(final_stat "$h" number_of_executed_units) | $(final_stat "$h" average_exec_per_sec) |" \
       "$(done_field "$h" cov) | $(done_field "$h" ft) | $nseeds + $nnew |" \
       "$(final_stat "$h" peak_rss_mb) MB | $finding |"
done
echo
echo "Coverage counts the instrumented edges of the harness and of the libraries under test (the platform"
echo "layer, the PKCS#11 module and the option scan); OpenSSL itself is not instrumented, so the numbers it checks add none."
echo

echo "== the test suite under ASan and UBSan" >&2
echo "## Sanitisers"
echo
echo "\`scripts/sanitize.sh\` (the second half of \`scripts/test.sh\`) builds the whole test suite with clang,"
echo "AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer (\`-fno-sanitize-recover=undefined\`) and"
echo "runs every test; the programs the tests start, forked children included, are sanitised too."
echo
san_status=0
KEYHOLD_FUZZ_SECONDS=60 nice -n 10 "$top/scripts/sanitize.sh" >"$work/sanitize.log" 2>&1 || san_status=$?
echo "This run: $(grep -E 'tests passed|tests failed' "$work/sanitize.log" | tail -n 1)"
if [ "$san_status" -ne 0 ]; then
  echo
  echo "Failed:"
  echo
  sed -n '/The following tests FAILED/,$p' "$work/sanitize.log" | sed 's/^/    /'
fi
echo

echo "== the programs under valgrind" >&2
echo "## valgrind memcheck"
echo
echo "\`scripts/valgrind.sh BIN_DIR\` (CTest test \`valgrind_programs\` of the plain build) runs every program's"
echo "main scenarios, each usage text and an error path of each under memcheck with \`--leak-check=full\`;"
echo "any error or definite, indirect or possible leak fails it. \`scripts/valgrind.supp\` holds the"
echo "suppressions for code outside ours, each with its reason."
echo
vg_status=0
# The plain build, as the README's commands make it (KEYHOLD_PLAIN_BUILD to use another).
plain=${KEYHOLD_PLAIN_BUILD:-$top/build}
{ cmake -S "$top" -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON >/dev/null &&
  nice -n 10 cmake --build "$plain" -j 2; } >"$work/build.log" 2>&1 || vg_status=$?
[ "$vg_status" -ne 0 ] || "$top/scripts/valgrind.sh" "$plain/bin" "$work/vg.summary" >"$work/vg.log" 2>&1 ||
  vg_status=$?
if [ -s "$work/vg.summary" ]; then
  read -r vg_runs vg_failed <"$work/vg.summary"
  echo "This run: $vg_runs program runs, $vg_failed with findings;" \
       "$(grep -c "^{" "$top/scripts/valgrind.supp" || true) suppression entries."
else
  echo "This run: valgrind did not complete (status $vg_status)."
fi
if [ "$vg_status" -ne 0 ]; then
  echo
  grep -vE '^ok ' "$work/vg.log" | sed 's/^/    /'
fi

[ $fuzz_status -eq 0 ] && [ $san_status -eq 0 ] && [ $vg_status -eq 0 ]
