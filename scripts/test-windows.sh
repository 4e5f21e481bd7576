#!/usr/bin/env bash
# The Windows build on the platform's own key store: builds it
# (scripts/build-windows.sh), installs 32-bit Wine when it is missing, and runs
# the programs' road under Wine in a Japanese locale (code page 932), against
# Wine's CryptoAPI, in a new Wine prefix (build-windows/wine) each time. Key
# blobs go between Wine's store and the Linux build's (build/bin, built when
# missing) both ways and must come back byte for byte.
#
# What the programs print themselves is compared exactly, with the Linux
# build's output in a Shift-JIS locale (the same code page 932 bytes) or with
# the fixed forms; what the key store answers (error codes, provider names,
# the listing's order, extra key parameters) is taken as Wine gives it, and
# docs/windows.md lists where that differs from ours. Skips, saying so, only
# when something it needs cannot be installed; KEYHOLD_WINDOWS=0 skips it too.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build-windows"
bin="$out/bin"
linux_bin="$top/build/bin"
work="$out/test"
locales="$out/locale"

skip() {
  echo "test-windows: SKIPPED: $1"
  exit 0
}
[ "${KEYHOLD_WINDOWS:-1}" != 0 ] || skip "KEYHOLD_WINDOWS=0"

set +e
"$top/scripts/build-windows.sh"
status=$?
set -e
[ "$status" -ne 75 ] || skip "the Windows build's tools cannot be installed (see above)"
[ "$status" -eq 0 ] || exit "$status"

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
# The tests' packages too: the Linux build below configures its tests, and
# localedef needs the locales' sources.
"$top/scripts/deps.sh" --tests
"$top/scripts/deps.sh" wine wine32:i386 || skip "32-bit Wine cannot be installed (is the Debian mirror reachable?)"
# The Linux build's programs, up to date, to compare with and to trade blobs with.
[ -f "$top/build/CMakeCache.txt" ] || cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j "$(nproc)" --target Vandrel Tessaro Morbeck Faldren Ombrix Quorvin Zetrask >/dev/null

mkdir -p "$locales"
[ -d "$locales/ja_JP.UTF-8" ] || localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8"
# localedef warns that Shift-JIS is not ASCII-compatible, and still makes it.
[ -d "$locales/ja_JP.SJIS" ] || localedef -i ja_JP -f SHIFT_JIS "$locales/ja_JP.SJIS" >/dev/null 2>&1 || true
[ -d "$locales/ja_JP.SJIS" ] || { echo "test-windows: localedef made no Shift-JIS locale" >&2; exit 1; }

export WINEPREFIX="$out/wine" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LOCPATH="$locales"
rm -rf "$WINEPREFIX" "$work"
mkdir -p "$work"
cd "$work"
trap 'wineserver -k 2>/dev/null || true' EXIT
LC_ALL=ja_JP.UTF-8 wineboot -i >/dev/null 2>&1

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs a Windows program under Wine, or a Linux one on the key store in
# $work/store in a Shift-JIS locale: output (CR removed) in $work/<name>.out,
# exit status in $status.
win() {
  local name=$1
  shift
  set +e
  LC_ALL=ja_JP.UTF-8 timeout 300 wine "$bin/$name.exe" "$@" >"$work/raw"
  status=$?
  set -e
  tr -d '\r' <"$work/raw" >"$work/$name.out"
}
lin() {
  local name=$1
  shift
  set +e
  LC_ALL=ja_JP.SJIS KEYHOLD_ROOT="$work/store" timeout 300 "$linux_bin/$name" "$@" >"$work/$name.linux" </dev/null
  status=$?
  set -e
}

# expect NAME STATUS FILE: the program's output is exactly FILE's content.
expect_same() {
  local name=$1 want_status=$2 file=$3
  [ "$status" -eq "$want_status" ] || fail "$name: exit status $status, not $want_status"
  cmp -s "$work/$name.out" "$file" || { fail "$name: output differs from $file"; diff <(od -c "$file") <(od -c "$work/$name.out") | head -n 10; }
}
# expect_lines NAME STATUS REGEX...: one line per pattern, in order, nothing else.
expect_lines() {
  local name=$1 want_status=$2 i=0 line
  shift 2
  [ "$status" -eq "$want_status" ] || fail "$name: exit status $status, not $want_status"
  local -a lines
  mapfile -t lines <"$work/$name.out"
  [ "${#lines[@]}" -eq $# ] || fail "$name: ${#lines[@]} lines, not $#: $(cat "$work/$name.out")"
  for pattern in "$@"; do
    line=${lines[$i]-}
    [[ "$line" =~ ^${pattern}$ ]] || fail "$name: line $((i + 1)) '$line' is not '$pattern'"
    i=$((i + 1))
  done
}
# expect_error NAME STATUS CODE: the output is one error line with that code
# (a pattern). The text comes from the system; where it ends with a line break
# of its own, the error line keeps it and an empty line follows.
expect_error() {
  local name=$1 want_status=$2 code=$3
  [ "$status" -eq "$want_status" ] || fail "$name: exit status $status, not $want_status"
  grep -qE "^Error\[$code\]=" "$work/$name.out" && [ "$(grep -vc '^$' "$work/$name.out")" = 1 ] &&
    [ "$(head -c 6 "$work/$name.out")" = "Error[" ] || fail "$name: not one error line with code $code: $(cat "$work/$name.out")"
}
# The bytes of a file at an offset, as hex.
bytes() { od -An -tx1 -j "$2" -N "$3" "$1" | tr -d ' \n'; }

echo "test-windows: usage texts"
for program in Vandrel Tessaro Morbeck Faldren Ombrix Quorvin Zetrask; do
  lin "$program" '/?'
  LC_ALL=C KEYHOLD_ROOT="$work/store" "$linux_bin/$program" '/?' >"$work/$program.utf8" || true
  cmp -s "$work/$program.linux" "$work/$program.utf8" && fail "$program: the expected usage text is not in code page 932"
  win "$program" '/?'
  expect_same "$program" 1 "$work/$program.linux"
done
win Ombrix
expect_same Ombrix 1 "$work/Ombrix.linux"
# On a real console the text goes out as characters (WriteConsoleW), right
# whatever the console's code page (437 here); Wine's console shows them on the
# terminal in its UTF-8, tabs expanded.
set +e
LC_ALL=ja_JP.UTF-8 timeout 60 script -qec \
  "wine cmd /c 'chcp 437 >nul & $(LC_ALL=ja_JP.UTF-8 winepath -w "$bin/Vandrel.exe") /?'" /dev/null </dev/null >"$work/raw"
status=$?
set -e
tr -d '\r' <"$work/raw" | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' >"$work/Vandrel.out"
expand "$work/Vandrel.utf8" >console.expected
expect_same Vandrel 1 console.expected

echo "test-windows: a key pair from Wine's store, its report and its blobs"
win Tessaro /N:Road /X /L:1024 /F:road.pub
expect_lines Tessaro 0 'Generate Time=[0-9]+'
[ "$(bytes road.pub 0 16)" = 0602000000a400005253413100040000 ] && [ "$(stat -c %s road.pub)" = 148 ] ||
  fail "road.pub is no 1024-bit PUBLICKEYBLOB"
win Faldren /N:Road /F:pub.key
expect_lines Faldren 0 'Export file\[pub\.key\] succeeded\.'
cmp -s pub.key road.pub || fail "Faldren's public blob differs from Tessaro's"
win Faldren /N:Road /K:7 /F:pair.key
expect_lines Faldren 0 'Export file\[pair\.key\] succeeded\.'
[ "$(bytes pair.key 0 12)" = 0702000000a4000052534132 ] || fail "pair.key is no PRIVATEKEYBLOB"
openssl rsa -inform MSBLOB -in pair.key -check -noout >/dev/null 2>&1 || fail "OpenSSL does not take pair.key as a consistent RSA key"
# Wine shows the private file's owner-only ACL as an owner-only mode, but for the group.
[ "$(stat -c %a pair.key | cut -c3)" = 0 ] || fail "pair.key is readable by others: $(stat -c %a pair.key)"

# The Linux build reads the same blob and reports the same key; Wine's store
# adds an initialisation vector to an RSA key, which ours does not report.
lin Ombrix /F:pair.key /N:Road /X
[ "$status" -eq 0 ] || fail "the Linux build does not import Wine's private blob"
lin Vandrel /N:Road
[ "$status" -eq 0 ] || fail "the Linux build does not report the key"
cp "$work/Vandrel.linux" vandrel.expected
win Vandrel /N:Road
awk '/^KP_IV: / { skip = 1; next } skip && /^\t/ { next } { skip = 0; print }' "$work/Vandrel.out" >vandrel.got
mv vandrel.got "$work/Vandrel.out"
expect_same Vandrel 0 vandrel.expected
lin Faldren /N:Road /K:7 /F:pair.linux.key
cmp -s pair.key pair.linux.key || fail "the private blob changed on its way through the Linux build"

echo "test-windows: a key pair from the Linux build into a new container"
lin Morbeck /N:FromLinux /X /L:1024
lin Faldren /N:FromLinux /K:7 /F:linux.key
win Ombrix /F:linux.key /N:FromLinux /X
expect_lines Ombrix 0 'Import file\[linux\.key\] succeeded\.'
win Faldren /N:FromLinux /K:7 /F:back.key
expect_lines Faldren 0 'Export file\[back\.key\] succeeded\.'
cmp -s linux.key back.key || fail "the Linux build's private blob changed on its way through Wine's store"

echo "test-windows: Morbeck with public exponent 3"
win Morbeck /N:Three /E:3 /L:1024 /F:three.pub
expect_lines Morbeck 0 'Generate Time=[0-9]+'
[ "$(bytes three.pub 0 20)" = 0602000000a40000525341310004000003000000 ] || fail "three.pub has not exponent 3"
win Vandrel /N:Three
tail -n 5 "$work/Vandrel.out" >"$work/Vandrel.tail" && mv "$work/Vandrel.tail" "$work/Vandrel.out"
expect_lines Vandrel 0 'KP_PUB_EX_LEN: public exponent length\. \[bit\] \.\.\. not supported in Crypto API\.' \
  $'\t2 \\[0x00000002\\]' 'KP_PUB_EX_VAL: public exponent value\. \.\.\. not supported in Crypto API\.' \
  $'\t3 \\[0x00000003\\]' $'\t0x 03 \\(little endian\\) '

echo "test-windows: the listing"
win Quorvin
[ "$status" = 0 ] || fail "Quorvin: exit status $status"
mapfile -t lines <"$work/Quorvin.out"
[[ ${lines[0]-} =~ ^Provider\ Name=.+$ ]] || fail "Quorvin: no provider line: ${lines[0]-}"
[ "${lines[1]-}" = '> Key Container Name List' ] || fail "Quorvin: no heading: ${lines[1]-}"
for ((i = 2; i < ${#lines[@]}; i++)); do
  printf -v number '%3d' $((i - 1))
  [[ ${lines[$i]} == "$number="?* ]] || fail "Quorvin: line $((i + 1)) '${lines[$i]}' is no name numbered $number"
done
for name in Road FromLinux Three; do
  grep -qx " *[0-9]*=$name" "$work/Quorvin.out" || fail "Quorvin does not list $name"
done

echo "test-windows: error lines"
printf 'not a key blob' >bad.key
for run in 'Vandrel 1 80090016 /N:Missing' 'Ombrix 1 00000002 /F:missing.key' 'Ombrix 1 [0-9a-f]{8} /F:pub.key /P:99' \
           'Faldren 1 [0-9a-f]{8} /N:Road /K:0' 'Ombrix 1 [0-9a-f]{8} /F:bad.key /N:Bad'; do
  read -r program want code args <<<"$run"
  # shellcheck disable=SC2086
  win "$program" $args
  expect_error "$program" "$want" "$code"
done

echo "test-windows: deleting containers"
lin Zetrask /N:Road
[ "$status" -eq 0 ] || fail "the Linux build does not delete Road"
win Zetrask /N:Road
expect_same Zetrask 0 "$work/Zetrask.linux"
# The C runtime reads a key from the console only: a pseudo-terminal gives one.
lin Quorvin
set +e
LC_ALL=ja_JP.SJIS KEYHOLD_ROOT="$work/store" "$linux_bin/Zetrask" <<<y >"$work/Zetrask.linux" ||
  fail "the Linux build does not delete its default container"
printf y | LC_ALL=ja_JP.UTF-8 timeout 60 script -qec "wine $(printf %q "$bin/Zetrask.exe") >$(printf %q "$work/raw")" /dev/null >/dev/null
status=$?
set -e
tr -d '\r' <"$work/raw" >"$work/Zetrask.out"
expect_same Zetrask 0 "$work/Zetrask.linux"
win Vandrel
expect_error Vandrel 1 80090016

if [ "$failures" -ne 0 ]; then
  echo "test-windows: $failures check(s) failed; the prefix and the files are in $out"
  exit 1
fi
# The prefix is some 600 MB, and the next run makes a new one.
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
echo "test-windows: all checks passed"
