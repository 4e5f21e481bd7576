#!/usr/bin/env bash
# Runs the attacks of another user on the store and the key blob file writer
# (tests/attacks) and prints their section of docs/reliability.md on standard
# output; progress goes to standard error. Builds what it needs in
# build-users/ (KEYHOLD_USERS_BUILD chooses another). Run it as root, or the
# attacks are skipped.
# Usage: scripts/reliability/attacks.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KEYHOLD_USERS_BUILD:-$top/build-users}

echo "building the tests in $build" >&2
"$top/scripts/deps.sh" --tests >&2
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYHOLD_TESTS=ON >/dev/null
nice -n 10 cmake --build "$build" -j 2 --target test_attacks >&2

log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$(date +%s)
status=0
nice -n 10 "$build/bin/test_attacks" >"$log" 2>&1 || status=1
seconds=$(( $(date +%s) - start ))
[ "$status" -eq 0 ] || { echo "FAILED; the test output follows" >&2; cat "$log" >&2; }

# The result of one test: passed, FAILED or skipped.
result() {
  if grep -qE "^\[ +OK \] AttackTest\.$1 " "$log"; then echo passed
  elif grep -qE "^\[ +SKIPPED \] AttackTest\.$1 " "$log"; then echo skipped
  else echo "**FAILED**"; fi
}
figure() { grep -m1 "$1" "$log" | sed 's/^\[ figures  \] //'; }

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
`scripts/reliability/attacks.sh` (as root).

TEXT
echo "**This run** ($(date -u +%Y-%m-%d), $(nproc) cores, $seconds s): $( [ "$status" -eq 0 ] && echo 'all attacks failed; the victims kept their files and keys.' || echo '**FAILED**: see the test output on standard error.')"
exit $status
