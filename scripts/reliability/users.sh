#!/usr/bin/env bash
# Runs the tests of other users and of hostile names and paths, and prints
# their section of docs/reliability.md on standard output; progress goes to
# standard error. Builds what it needs in build-users/ (KEYHOLD_USERS_BUILD
# chooses another). Run it as root, or the other-user tests are skipped.
# Usage: scripts/reliability/users.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KEYHOLD_USERS_BUILD:-$top/build-users}

echo "building the tests in $build" >&2
"$top/scripts/deps.sh" --tests >&2
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON >/dev/null
nice -n 10 cmake --build "$build" -j 2 --target test_users >&2

log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$(date +%s)
status=0
nice -n 10 "$build/bin/test_users" >"$log" 2>&1 || status=1
seconds=$(( $(date +%s) - start ))
[ "$status" -eq 0 ] || { echo "FAILED; the test output follows" >&2; cat "$log" >&2; }

figure() { grep -m1 '^\[users figures\]' "$log" | grep -oE " $1=[0-9]+" | cut -d= -f2; }
count() { grep -cE "^\[ +$1 +\] [A-Za-z]+\.[A-Za-z]+ \(" "$log" || true; }
passed=$(count OK)
failed=$(count FAILED)
skipped=$(count SKIPPED)
if [ "$(id -u)" -eq 0 ]; then who="as root, so the other-user tests ran"; else who="as uid $(id -u), so the tests that need root were skipped"; fi

cat <<'EOF'
## Other users, hostile names and paths

`tests/users/` (the `test_users` program, in the README's test command `scripts/test.sh` and so in
CI, where it runs as root) proves that users sharing one key store cannot reach each other's keys,
and that no container name, key blob file path or key store root, however crafted, makes a
program write outside the places it should or hang.

**Other users** (`other_users_test.cpp`, as root; each test skips with a message otherwise). Two
uids without a password entry, reached with `setpriv --reuid --regid --clear-groups`, share a
temporary `KEYHOLD_ROOT` with root. In the machine area each makes and uses containers of their
own with `Tessaro`, `Vandrel`, `Faldren`, `Ombrix`, `Morbeck` and `Zetrask`; every attempt of one
to report, export (public or private), generate into, import into or delete the other's container
prints `Error[00000005]=...` and ends with 1, the owner's file stays byte-identical and no file
appears; `Quorvin /M` lists only the user's own containers. A user area (under `$HOME` without
`KEYHOLD_ROOT`, or an area directory another user made under one's number in `users/`) is closed to
others: open, create and list are refused and nothing is written. Modes are checked under umask
000 and 077: the root 0755, `users/` and `machine/` 1777, each user area 0700 and its user's,
container files 0600 and their creator's, a new key blob file from `Faldren` 0600. Entries another
user plants under a container's file name (a link to their own file, a FIFO) or under one's
temporary name mislead neither the user nor root; key blob files of another user in a sticky shared
directory are neither replaced nor truncated, and links another user planted there (to a file or
a directory of root's) are not followed by root's or anyone's export or import, whatever
`fs.protected_symlinks` says. Root may report, export and delete every container, but generation
and import into another user's container are refused (`Error[00000005]`), root's included, so
that no key of root's ever lands in a file another user owns. A user's key blob file that root's
`Tessaro` or `Morbeck` replaces with a public key stays the user's; one that root's `Faldren /K:7`
replaces with a private key becomes root's own, 0600. A store root that a user made serves that
user alone; one root made serves everybody.

**Hostile names** (`hostile_names_test.cpp`). Twenty-two names (`../x`, `../../etc/x`,
`/etc/passwd`, `a/b`, `.`, `..`, a 1023-byte name, invalid and overlong UTF-8, control
characters, line breaks, a name equal to another container's file name, the store's temporary
name, ...) go through every program that takes `/N:` in both areas and through
CryptAcquireContextA: the whole temporary tree is pictured before and after (type, mode, owner,
bytes, link targets) and the only change is one file per name in its area, which `Zetrask` then
removes again; `/etc` and the working directory stay untouched. New names of 1024 bytes and more,
and names of 4096 bytes and more for open and delete (longer names that earlier versions made stay
usable), in CryptAcquireContextA and (counted in UTF-8) CryptAcquireContextW, and unpaired
surrogates, are refused with NTE_BAD_KEYSET_PARAM in both areas, by every program too.

**Hostile paths** (`hostile_paths_test.cpp`). `/F:` paths that are a directory, a link to one,
`/dev/null` (also through a link), `/dev/zero`, `/dev/full`, a FIFO, a listening socket, dangling
links, a link loop, a path through a file, a 300-byte name, a 5000-byte path and a real directory
chain deeper than PATH_MAX give `Tessaro`, `Morbeck`, `Faldren` (both blob types) and `Ombrix` an
error line with the expected code and exit status 1; nothing is replaced, filled or left behind and
the devices stay devices. `KEYHOLD_ROOT` naming a file, a path through a file, a dangling link or a
link loop, a root another user owns (closed, or open but not writable), and a `machine/`, user area
or `users/` directory replaced by a link to an empty directory give every program an error line,
and nothing is written through the link.

**How to run.** `scripts/test.sh` runs them all (as root for the other-user part); by hand,
`build/bin/test_users`; this section: `scripts/reliability/users.sh` (as root).

EOF
echo "**This run** ($(date -u +%Y-%m-%d), $(nproc) cores, $seconds s, $who): $passed tests passed, $failed failed, $skipped skipped; $(figure runs) program runs checked, $(figure refusals) of them refused with an error line and exit status 1; $(figure calls) platform calls that must be refused, $(figure call_refusals) refused; $(figure comparisons) whole-tree comparisons before and after. $( [ "$status" -eq 0 ] && echo 'All checks passed.' || echo '**FAILED**: see the test output on standard error.')"
echo
echo "Faults these tests found, each mended with its regression test: the first user to make the key"
echo "store's root made only their own area's directory, so no other user could ever make the other"
echo "area (\`users/\` or \`machine/\`) in a root not theirs; a \`users/\` directory replaced by a link"
echo "was followed, so user areas were made and used elsewhere; a key blob file path that was a"
echo "dangling link was silently replaced by a plain file instead of being refused; a key blob file"
echo "root replaced became root's, so its user could no longer read, replace or (in a sticky"
echo "directory) remove it; and on a machine with fs.protected_symlinks off, a link another user"
echo "planted in /tmp made root's export overwrite any file it pointed at. The attacks of the next"
echo "section found more."
exit $status
