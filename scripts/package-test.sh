#!/usr/bin/env bash
# The Debian package as an administrator meets it. Builds it (package.sh),
# runs lintian, checks that `cmake --install` lays out the files the package
# has, installs it over a machine area made 0755 by hand, and runs the road of
# a key from /usr/bin without KEYHOLD_ROOT: root and a user made for the test,
# each in its own area and in the machine area, with the rules between them,
# and keys that Tessaro made used through the PKCS#11 module. Then purges the
# package and checks that nothing of it is left but the machine area with the
# keys in it, and that a purge with an empty machine area removes that too.
#
# Installs on this machine, so it needs root; the package, the user and every
# key it made are removed at the end, also when it fails.
# Usage: package-test.sh BUILD_DIR   (a configured and built tree, for cmake --install)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: package-test.sh BUILD_DIR}" && pwd)
start=$SECONDS

# A run that cannot test must not pass unnoticed in CI.
skip() {
  echo "package test SKIPPED: $*"
  [ "${CI:-}" != true ]
  exit
}
# The package's state as dpkg knows it: empty or not-installed when it is not there.
state() { dpkg-query -W -f='${db:Status-Status}' keyhold 2>/dev/null || true; }
absent() { case "$(state)" in "" | not-installed) return 0 ;; *) return 1 ;; esac; }
[ "$(id -u)" -eq 0 ] || skip "it installs the package and needs root"
absent || skip "keyhold is $(state) here; the test would remove it"
[ ! -e /var/lib/keyhold ] || skip "/var/lib/keyhold exists; the test would remove it"

"$top/scripts/deps.sh" --tests
work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-package-test-XXXXXX")
chmod 0755 "$work"
user=""
# pkg ARGS...: dpkg, waiting while another package manager holds its lock.
pkg() {
  local out tries=0
  until out=$(DEBIAN_FRONTEND=noninteractive dpkg "$@" 2>&1); do
    if ! grep -q 'lock' <<<"$out" || [ $((tries += 1)) -gt 120 ]; then
      echo "$out"
      return 1
    fi
    sleep 5
  done
  echo "$out"
}
cleanup() {
  set +e
  [ -z "$user" ] || userdel --remove "$user" 2>/dev/null
  absent || pkg --purge keyhold >/dev/null
  rm -rf /var/lib/keyhold "$work"
}
trap cleanup EXIT

passed=0 failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
# check WHAT COMMAND...: one check; COMMAND succeeds when it holds.
check() {
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else fail "$what"; fi
}
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null; }

# --- the package, lintian, and cmake --install ----------------------------------
"$top/scripts/package.sh" >/dev/null
deb=$(ls "$top"/dist/keyhold_*_*.deb)
built=$SECONDS
lintian_clean() {
  local out
  out=$(lintian --fail-on error,warning "$top"/dist/keyhold_*.changes 2>&1) && return 0
  grep -v '^running with root' <<<"$out"
  return 1
}
check "lintian reports errors or warnings" lintian_clean

# The package's files, as paths below /usr, less Debian's own (copyright,
# changelog, lintian overrides) and with the manual pages unpacked.
dpkg-deb -x "$deb" "$work/deb"
(cd "$work/deb" && find . \( -type f -o -type l \) | sed 's|^\./||' |
  grep -vE '^usr/share/(doc|lintian)/' | sed 's|^usr/||; s|\.gz$||' | sort) >"$work/deb.files"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$work/install.files"
same_files() { diff -u "$work/deb.files" "$work/install.files"; }
check "cmake --install lays out other files than the package has" same_files
same_pages() {
  local page section
  for page in "$work"/prefix/share/man/man*/*; do
    section=$(basename "$(dirname "$page")")
    zcat "$work/deb/usr/share/man/$section/$(basename "$page").gz" | cmp -s - "$page" || return 1
  done
}
check "the package's manual pages differ from man/" same_pages

# --- install over a machine area an administrator made by hand -----------------
install -d -m 0755 /var/lib/keyhold/machine
out=$(pkg --install "$deb") || { echo "$out"; fail "dpkg --install"; exit 1; }
check "the install did not say it mended the machine area" \
  grep -q 'keyhold: /var/lib/keyhold/machine was 755 root:root' <<<"$out"
check "the machine area is not 1777 root:root after the install" [ "$(mode_of /var/lib/keyhold/machine)" = "1777 root:root" ]
check "Tessaro is not /usr/bin/Tessaro" [ "$(command -v Tessaro)" = /usr/bin/Tessaro ]
pages_found() { man -w 1 Tessaro && man -w 7 keyhold; } >/dev/null 2>&1
check "man finds no page Tessaro(1) or keyhold(7)" pages_found

# --- the road, as root and as a user ---------------------------------------------
user=khpkg$$
useradd --create-home --user-group --shell /usr/sbin/nologin "$user"
home=$(getent passwd "$user" | cut -d: -f6)
install -d -m 0700 -o root "$work/root"
install -d -m 0700 -o "$user" "$work/$user"
# as WHO PROGRAM ARGS...: runs PROGRAM from /usr/bin without KEYHOLD_ROOT, in
# WHO's working folder; root keeps its user area in the test's folder
# (XDG_DATA_HOME), the user in its home (~/.local/share).
as() {
  local who=$1
  shift
  if [ "$who" = root ]; then
    (cd "$work/root" && env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME=/root XDG_DATA_HOME="$work/root/data" "$@")
  else
    (cd "$work/$who" && runuser -u "$who" -- env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="$home" "$@")
  fi
}
# run WHO STATUS PATTERN PROGRAM ARGS...: the run ends with STATUS and prints a
# line that matches PATTERN.
run() {
  local who=$1 status=$2 pattern=$3 out got=0
  shift 3
  out=$(as "$who" "$@" 2>&1) || got=$?
  if [ "$got" = "$status" ] && grep -qE -- "$pattern" <<<"$out"; then
    passed=$((passed + 1))
  else
    fail "$who: $*: status $got, expected $status and a line matching '$pattern'"
    sed 's/^/    /' <<<"$out"
  fi
}

# road WHO AREA: a key's whole life in one area; leaves road-WHO and pair-WHO there.
road() {
  local who=$1 m=$2 n="-$1" f="$work/$1"
  run "$who" 0 '^Generate Time=[0-9]+$' Tessaro $m /N:road$n /L:1024 /F:road.pub
  run "$who" 0 "^Container Name=road$n\$" Vandrel $m /N:road$n
  run "$who" 0 'Public-Key: \(1024 bit\)' openssl rsa -pubin -inform MSBLOB -in road.pub -noout -text
  run "$who" 0 '^Generate Time=' Morbeck $m /N:pair$n /X /L:1024 /E:3
  run "$who" 0 '^Export file\[pair.key\] succeeded\.$' Faldren $m /N:pair$n /K:7 /F:pair.key
  run "$who" 0 '^RSA key ok$' openssl rsa -inform MSBLOB -in pair.key -check -noout
  check "$who: pair.key is $(mode_of "$f/pair.key")" [ "$(mode_of "$f/pair.key")" = "600 $who:$who" ]
  run "$who" 0 '^Import file\[pair.key\] succeeded\.$' Ombrix $m /N:copy$n /X /F:pair.key
  run "$who" 0 '^Export file\[copy.key\] succeeded\.$' Faldren $m /N:copy$n /K:7 /F:copy.key
  check "$who $m: the key moved between containers changed" cmp -s "$f/pair.key" "$f/copy.key"
  run "$who" 0 "^  [0-9]=copy$n\$" Quorvin $m
  run "$who" 0 "^鍵コンテナ\\[copy$n\\]を削除しました。\$" Zetrask $m /N:copy$n
}
for who in root "$user"; do
  road "$who" ""
  road "$who" /M
done
check "the user's area is not $user's with mode 0700" [ "$(mode_of "$home/.local/share/keyhold/keys")" = "700 $user:$user" ]
check "root's area is not under XDG_DATA_HOME" [ -d "$work/root/data/keyhold/keys" ]

# Between users in the machine area: each reads only its own containers, root
# reads and deletes the user's but never writes into them, and no one takes
# over another's name.
run "$user" 1 '^Error\[00000005\]=' Vandrel /M /N:road-root
run "$user" 1 '^Error\[00000005\]=' Tessaro /M /N:road-root /L:1024
run "$user" 0 "^  [0-9]=road-$user\$" Quorvin /M
check "the user's listing of the machine area shows root's containers" \
  bash -c '! grep -q road-root <<<"$1"' - "$(as "$user" Quorvin /M)"
run root 1 '^Error\[00000005\]=' Tessaro /M /N:road-$user /L:1024
run root 1 '^Error\[00000005\]=' Ombrix /M /N:pair-$user /F:pair.key
run root 0 "^Container Name=road-$user\$" Vandrel /M /N:road-$user
run root 0 "^鍵コンテナ\\[pair-$user\\]を削除しました。\$" Zetrask /M /N:pair-$user
for who in root "$user"; do
  check "no container file of $who with mode 0600 in the machine area" \
    [ "$(find /var/lib/keyhold/machine -maxdepth 1 -type f -user "$who" -perm 0600 | wc -l)" -ge 1 ]
done

# --- PKCS#11 -----------------------------------------------------------------------
module=$(dpkg -L keyhold | grep '/pkcs11/libkeyhold-pkcs11\.so$' || true)
if [ -z "$module" ]; then
  fail "the package has no libkeyhold-pkcs11.so"
else
  run "$user" 0 'token: keyhold user' p11-kit list-modules
  run "$user" 0 'token: keyhold machine' p11-kit list-modules
  # Made by the user, in the user's directory: root writes nothing there.
  printf 'signed through PKCS#11\n' | runuser -u "$user" -- tee "$work/$user/data" >/dev/null
  # The user's key that Tessaro made in each area, through its token.
  # pkcs11-tool picks the key by CKA_ID (it ignores --label when it signs),
  # which is the SHA-1 of the modulus.
  for area in user machine; do
    m=""
    [ "$area" = machine ] && m=/M
    run "$user" 0 '^Export file' Faldren $m /N:road-$user /F:"$area.pub"
    run "$user" 0 '' openssl rsa -pubin -inform MSBLOB -in "$area.pub" -outform PEM -out "$area.pem"
    id=$(openssl rsa -pubin -in "$work/$user/$area.pem" -modulus -noout | sed 's/^Modulus=//' |
      perl -ne 'chomp; print pack("H*", $_)' | sha1sum | cut -c1-40)
    run "$user" 0 "ID: *$id" pkcs11-tool --module "$module" --token-label "keyhold $area" --list-objects --type privkey
    run "$user" 0 '' pkcs11-tool --module "$module" --token-label "keyhold $area" --id "$id" \
      --sign -m SHA256-RSA-PKCS -i data -o "$area.sig"
    run "$user" 0 '^Verified OK$' openssl dgst -sha256 -verify "$area.pem" -signature "$area.sig" data
  done
fi

# --- purge: only the machine area with its keys stays ------------------------------
dpkg -L keyhold | while IFS= read -r path; do [ -d "$path" ] || echo "$path"; done >"$work/installed.files"
pkg --purge keyhold >/dev/null || fail "dpkg --purge"
check "keyhold is $(state) after the purge" absent
none_left() {
  local path left=0
  while IFS= read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "left after the purge: $path"; left=1; fi
  done <"$work/installed.files"
  [ ! -e /usr/share/doc/keyhold ] && [ "$left" = 0 ]
}
check "files of the package are left after the purge" none_left
check "the machine area lost its keys in the purge" \
  [ "$(find /var/lib/keyhold/machine -maxdepth 1 -type f | wc -l)" -ge 3 ]
check "more than the machine area is left in /var/lib/keyhold" \
  [ "$(find /var/lib/keyhold -mindepth 1 -not -path '/var/lib/keyhold/machine*' | wc -l)" -eq 0 ]

# With no key left, install and purge again: the machine area goes too.
find /var/lib/keyhold/machine -mindepth 1 -delete
pkg --install "$deb" >/dev/null || fail "the second dpkg --install"
pkg --purge keyhold >/dev/null || fail "the second dpkg --purge"
check "an empty machine area is left after the purge" [ ! -e /var/lib/keyhold ]

echo "package test: $((SECONDS - start)) s in all, $((built - start)) s of it building the package"
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
