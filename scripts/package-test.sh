#!/usr/bin/env bash
# The Debian package as an administrator meets it. Builds it (package.sh),
# runs lintian, checks that `cmake --install` lays out the files the package
# has, installs it over a machine area made 0755 by hand, and runs the road of
# a key from /usr/bin without KEYHOLD_ROOT: root and a user made for the test,
# each in its own area and in the machine area, with the rules between them,
# and a key that Tessaro made used through the PKCS#11 module. Then purges the
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

# A run that cannot test must not pass silently in CI.
skip() {
  echo "package test SKIPPED: $*"
  [ "${CI:-}" = true ] && exit 1
  exit 0
}
[ "$(id -u)" -eq 0 ] || skip "it installs the package and needs root"
# The package's state as dpkg knows it: empty or not-installed when it is not there.
state() { dpkg-query -W -f='${db:Status-Status}' keyhold 2>/dev/null || true; }
case "$(state)" in "" | not-installed) ;; *) skip "keyhold is $(state) here; the test would remove it" ;; esac
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
  if [ -n "$(state)" ] && [ "$(state)" != not-installed ]; then pkg --purge keyhold >/dev/null; fi
  rm -rf /var/lib/keyhold "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect STATUS PATTERN OUTPUT: the run ended with STATUS and printed a line matching PATTERN.
expect() {
  local status=$1 pattern=$2 out=$3 got=$4 what=$5
  if [ "$got" != "$status" ] || ! grep -qE -- "$pattern" <<<"$out"; then
    fail "$what: status $got, expected $status and a line matching '$pattern'"
    sed 's/^/    /' <<<"$out"
  fi
}

# --- the package, lintian, and cmake --install ----------------------------------
"$top/scripts/package.sh" >/dev/null
deb=$(ls "$top"/dist/keyhold_*_*.deb)
built=$SECONDS
if ! out=$(lintian --fail-on error,warning "$top"/dist/keyhold_*.changes 2>&1); then
  fail "lintian reports errors or warnings"
  grep -v '^running with root' <<<"$out"
fi

# The package's files, as paths below /usr, less Debian's own (copyright,
# changelog, lintian overrides) and with the manual pages unpacked.
dpkg-deb -x "$deb" "$work/deb"
(cd "$work/deb" && find . \( -type f -o -type l \) | sed 's|^\./||' |
  grep -vE '^usr/share/(doc|lintian)/' | sed 's|^usr/||; s|\.gz$||' | sort) >"$work/deb.files"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$work/install.files"
diff -u "$work/deb.files" "$work/install.files" >"$work/files.diff" ||
  { fail "cmake --install lays out other files than the package has"; cat "$work/files.diff"; }
for page in "$work"/prefix/share/man/man*/*; do
  zcat "$work/deb/usr/share/man/$(basename "$(dirname "$page")")/$(basename "$page").gz" | cmp -s - "$page" ||
    fail "the package's $(basename "$page") differs from man/"
done

# --- install over a machine area an administrator made by hand -----------------
install -d -m 0755 /var/lib/keyhold/machine
out=$(pkg --install "$deb") || { echo "$out"; fail "install"; exit 1; }
grep -q 'keyhold: /var/lib/keyhold/machine was 755 root:root' <<<"$out" || fail "the install did not say it mended the machine area"
[ "$(stat -c '%a %U:%G' /var/lib/keyhold/machine)" = "1777 root:root" ] ||
  fail "machine area is $(stat -c '%a %U:%G' /var/lib/keyhold/machine) after the install, expected 1777 root:root"
[ "$(command -v Tessaro)" = /usr/bin/Tessaro ] || fail "Tessaro is not /usr/bin/Tessaro"
man -w Tessaro >/dev/null 2>&1 && man -w 7 keyhold >/dev/null 2>&1 || fail "the manual pages are not found by man"

# --- the road, as root and as a user ---------------------------------------------
user=khpkg$$
useradd --create-home --user-group --shell /usr/sbin/nologin "$user"
home=$(getent passwd "$user" | cut -d: -f6)
install -d -m 0700 -o root "$work/root"
install -d -m 0700 -o "$user" "$work/$user"
# as WHO PROGRAM ARGS...: runs PROGRAM from /usr/bin without KEYHOLD_ROOT, in
# WHO's working folder; root keeps its user area under the test's folder
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
# run WHO STATUS PATTERN PROGRAM ARGS...
run() {
  local who=$1 status=$2 pattern=$3 out got=0
  shift 3
  out=$(as "$who" "$@" 2>&1) || got=$?
  expect "$status" "$pattern" "$out" "$got" "$who: $*"
}

# road WHO AREA: a key's whole life in one area; leaves road-WHO and pair-WHO there.
road() {
  local who=$1 m=$2 n="-$1"
  run "$who" 0 '^Generate Time=[0-9]+$' Tessaro $m /N:road$n /L:1024 /F:road.pub
  run "$who" 0 '^Container Name=road'"$n"'$' Vandrel $m /N:road$n
  run "$who" 0 'Public-Key: \(1024 bit\)' openssl rsa -pubin -inform MSBLOB -in road.pub -noout -text
  run "$who" 0 '^Generate Time=' Morbeck $m /N:pair$n /X /L:1024 /E:3
  run "$who" 0 '^Export file\[pair.key\] succeeded\.$' Faldren $m /N:pair$n /K:7 /F:pair.key
  run "$who" 0 '^RSA key ok$' openssl rsa -inform MSBLOB -in pair.key -check -noout
  [ "$(stat -c '%a %U' "$work/$who/pair.key")" = "600 $who" ] || fail "$who: pair.key is $(stat -c '%a %U' "$work/$who/pair.key")"
  run "$who" 0 '^Import file\[pair.key\] succeeded\.$' Ombrix $m /N:copy$n /X /F:pair.key
  run "$who" 0 '^Export file\[copy.key\] succeeded\.$' Faldren $m /N:copy$n /K:7 /F:copy.key
  cmp -s "$work/$who/pair.key" "$work/$who/copy.key" || fail "$who$m: the key moved between containers changed"
  run "$who" 0 "^  [0-9]=copy$n\$" Quorvin $m
  run "$who" 0 "^  [0-9]=road$n\$" Quorvin $m
  run "$who" 0 "^鍵コンテナ\\[copy$n\\]を削除しました。\$" Zetrask $m /N:copy$n
}
for who in root "$user"; do
  road "$who" ""
  road "$who" /M
done
[ "$(stat -c '%a %U' "$home/.local/share/keyhold/keys")" = "700 $user" ] || fail "the user's area is not $user's with mode 0700"
[ -d "$work/root/data/keyhold/keys" ] || fail "root's area is not under XDG_DATA_HOME"

# Between users in the machine area: each reads only its own containers, root
# reads and deletes the user's but never writes into them, and no one takes
# over another's name.
run "$user" 1 '^Error\[00000005\]=' Vandrel /M /N:road-root
run "$user" 1 '^Error\[00000005\]=' Tessaro /M /N:road-root /L:1024
run root 1 '^Error\[00000005\]=' Tessaro /M /N:road-$user /L:1024
run root 1 '^Error\[00000005\]=' Ombrix /M /N:pair-$user /F:pair.key
run root 0 "^Container Name=road-$user\$" Vandrel /M /N:road-$user
out=$(as "$user" Quorvin /M)
if grep -q 'road-root' <<<"$out"; then fail "the user's listing of the machine area shows root's containers"; fi
run root 0 "^鍵コンテナ\\[pair-$user\\]を削除しました。\$" Zetrask /M /N:pair-$user
for who in root "$user"; do
  [ "$(find /var/lib/keyhold/machine -maxdepth 1 -type f -user "$who" -perm 0600 | wc -l)" -ge 1 ] ||
    fail "no container file of $who with mode 0600 in the machine area"
done

# --- PKCS#11 -----------------------------------------------------------------------
module=$(dpkg -L keyhold | grep '/pkcs11/libkeyhold-pkcs11\.so$' || true)
if [ -z "$module" ]; then
  echo "PKCS#11 part SKIPPED: the module is not in the tree yet (no libkeyhold-pkcs11.so in the package)"
else
  run "$user" 0 'token: keyhold user' p11-kit list-modules
  run "$user" 0 'token: keyhold machine' p11-kit list-modules
  printf 'signed through PKCS#11\n' >"$work/$user/data"
  chown "$user" "$work/$user/data"
  run "$user" 0 '' pkcs11-tool --module "$module" --token-label "keyhold user" --label road-$user \
    --sign -m SHA256-RSA-PKCS -i data -o data.sig
  run "$user" 0 '' openssl rsa -pubin -inform MSBLOB -in road.pub -outform PEM -out road.pem
  run "$user" 0 '^Verified OK$' openssl dgst -sha256 -verify road.pem -signature data.sig data
fi

# --- purge: only the machine area with its keys stays ------------------------------
dpkg -L keyhold | while IFS= read -r path; do [ -d "$path" ] || echo "$path"; done >"$work/installed.files"
pkg --purge keyhold >/dev/null || fail "purge"
case "$(state)" in "" | not-installed) ;; *) fail "keyhold is $(state) after the purge" ;; esac
while IFS= read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then fail "left after the purge: $path"; fi
done <"$work/installed.files"
if [ -e /usr/share/doc/keyhold ]; then fail "left after the purge: /usr/share/doc/keyhold"; fi
[ "$(find /var/lib/keyhold/machine -maxdepth 1 -type f | wc -l)" -ge 3 ] ||
  fail "the machine area lost its keys in the purge"
[ "$(find /var/lib/keyhold -mindepth 1 | grep -vc '^/var/lib/keyhold/machine')" -eq 0 ] ||
  fail "more than the machine area is left in /var/lib/keyhold"

# With no key left, install and purge again: the machine area goes too.
find /var/lib/keyhold/machine -mindepth 1 -delete
pkg --install "$deb" >/dev/null || fail "second install"
pkg --purge keyhold >/dev/null || fail "second purge"
if [ -e /var/lib/keyhold ]; then fail "an empty machine area is left after the purge"; fi

echo "package test: $failures failures; $((SECONDS - start)) s in all, of which $((built - start)) s building the package"
[ "$failures" -eq 0 ]
