#!/usr/bin/env bash
# Runs the tests of other users and of hostile names and paths, and the
# attacks of another user on the store, and prints their sections of
# docs/reliability.md on standard output; progress goes to standard error.
# Builds what it needs in build-users/ (KEYHOLD_USERS_BUILD chooses another).
# Run it as root, or the tests that change user are skipped.
# Usage: scripts/reliability/users.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KEYHOLD_USERS_BUILD:-$top/build-users}

echo "building the tests in $build" >&2
"$top/scripts/deps.sh" --tests >&2
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON >/dev/null
nice -n 10 cmake --build "$build" -j 2 --target test_users test_attacks >&2

log=$(mktemp)
attacks=$(mktemp)
trap 'rm -f "$log" "$attacks"' EXIT
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
echo
start=$(date +%s)
nice -n 10 "$build/bin/test_attacks" >"$attacks" 2>&1 || status=1
seconds=$(( $(date +%s) - start ))
[ "$status" -eq 0 ] || { echo "FAILED; the test output follows" >&2; cat "$attacks" >&2; }

# The result of one test: passed, FAILED or skipped.
result() {
  if grep -qE "^\[ +OK \] AttackTest\.$1 " "$attacks"; then echo passed
  elif grep -qE "^\[ +SKIPPED \] AttackTest\.$1 " "$attacks"; then echo skipped
  else echo "**FAILED**"; fi
}
figure() { grep -m1 "$1" "$attacks" | sed 's/^\[ figures  \] //'; }

cat <<'TEXT'
## Attacks by another user

`tests/attacks/` (the `test_attacks` program, in the README's test command and so in CI, where it
runs as root; skipped with a message otherwise) replays what a hostile second user on the same
machine (run here with `fs.protected_symlinks` off, as on many servers) did to earlier versions.
The attacker is a uid without a password entry, played with `setpriv` and forked children;
races are won with inotify, acting the moment the victim opens a file. Each attack must end with
the victim's files and keys safe: the operation succeeds with files of the victim's own (0600
for a private key), or it fails with one error line and changes nothing. Every one of these
tests failed on the code before the hardening.

| Attack | What the attacker does | Checked |
|---|---|---|
TEXT
echo "| A link swapped in mid-write | leaves \`out.blob\` (0666) in a sticky world-writable directory, and the moment root's \`Faldren\` opens it, swaps it for a link to a file of root's; 60 writes, public and private blobs | root's file keeps its bytes, inode, owner and mode; the name holds root's new 0600 file or the attacker's untouched link. $(figure 'link swaps'); $(result ALinkSwappedInMidWriteNeverRedirectsIt) |"
echo "| A private key into a world-readable file | leaves the target 0666 and deletes it the moment the victim's \`Faldren /K:7\` opens it; 20 writes; and, without an attacker, the victim's own 0644 file | the key file is the victim's own, 0600, every time. $(figure 'targets deleted'); $(result APrivateKeyNeverLandsInAFileOthersCanRead) |"
echo "| Squatting | makes the machine containers \`web\` and \`root\` (root's default name) before root uses them | root's \`Tessaro\`, \`Ombrix\` and \`Morbeck\` into them print \`Error[00000005]\` and the attacker's files stay byte-identical; root may delete them and then use the names. $(result SquattedContainersNeverReceiveRootsKeys) |"
echo "| A held lock | holds \`flock -x\` on the machine area's directory | root's \`Tessaro /M\` (twice) and \`Zetrask /M\` finish at once (a wait would have been ended by a 20 s timeout). $(result AnotherUsersLockNeverHoldsAWriter) |"
echo "| A long name | plants a container file (in an earlier version's form) with a 1,100-byte name; tries a 1,024-byte one through the store | the store refuses the new name; root's \`Quorvin /M\` lists every other container and ends with 0. $(result ALongNameNeverHidesOthersContainers) |"
echo "| An area another user controls | owns a \`KEYHOLD_ROOT\` tree, or leaves \`machine/\` 0777 without the sticky bit | root's \`Tessaro /M\` and \`Quorvin /M\` print \`Error[00000005]\` and nothing in the tree changes. $(result AnAreaAnotherUserControlsIsNeverUsed) |"
echo "| Core dumps | \`ulimit -c unlimited\`, then SIGABRT to \`Tessaro\` and \`Morbeck\` generating 4096-bit keys as another user | while they generate, their \`/proc/<pid>/status\` is root's (not dumpable); the abort leaves no core. $(result PrivateKeysNeverReachCoreDumps) |"
echo "| Planted files | plants files under the temporary names a victim's writer would take, and 60,000 more, in the machine area | the victim's \`Ombrix /M\`, \`Tessaro /M\` and \`Zetrask /M\` succeed with no directory read at all (counted with strace), and every planted file stays. $(result PlantedFilesCostAVictimNothing) |"
cat <<'TEXT'

**How the store resists them.** Key blob files: the path is resolved once, by descriptors, links
followed as the kernel does but refused when another user planted them in a sticky
world-writable directory; the target's check, the new file (without a name until it is moved)
and the rename all work on the opened directory, so a swapped name can only ever be replaced
itself; anything but a public key blob is written into a file of the writer's own, 0600. The
store: every area is reached by descriptors and refused unless each of its directories is owned
by root or the caller and sticky where others may write; key material goes only into container
files the writer owns; writers of one container lock that container's own file, which no one
else can open, and creation needs no lock; an update's temporary name is its container's own and
taken over by a random one when planted; nothing scans a directory on a write; new names are at
most 1,023 bytes and longer old ones are listed to their owner alone. Every program makes itself
non-dumpable before it touches a key.

**How to run.** `scripts/test.sh` (as root); by hand, `build/bin/test_attacks`; this section:
`scripts/reliability/users.sh` (as root).

TEXT
echo "**This run** ($(date -u +%Y-%m-%d), $(nproc) cores, $seconds s): $( ! grep -q FAILED "$attacks" && echo 'all attacks failed; the victims kept their files and keys.' || echo '**FAILED**: see the test output on standard error.')"
exit $status
