#!/usr/bin/env bash
# Checks the manual pages: each renders without a warning from man and groff,
# at 80 columns, under a UTF-8 locale and under the C locale; and each page of
# a program shows every Japanese line that the program prints (its usage text,
# and Zetrask's question and answers), character for character, spacing aside.
# Usage: check-man.sh BIN_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:?usage: check-man.sh BIN_DIR}" && pwd)
command -v man >/dev/null || { echo "man is not installed (man-db)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-man-XXXXXX")
trap 'rm -rf "$work"' EXIT
export KEYHOLD_ROOT="$work/store"
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
squeeze() { tr -s ' \t' '  ' | sed 's/^ //; s/ $//'; }

for page in "$top"/man/*.[17]; do
  for locale in C.UTF-8 C; do
    LC_ALL=$locale MANWIDTH=80 man --warnings -l "$page" >/dev/null 2>"$work/warnings"
    [ -s "$work/warnings" ] && fail "$(basename "$page") under $locale:" && cat "$work/warnings"
  done
done

# Japanese lines (any byte above 127) a program prints, one per line.
japanese() { LC_ALL=C grep -a $'[\x80-\xff]' | LC_ALL=C.UTF-8 squeeze || true; }
programs=(Vandrel Tessaro Morbeck Faldren Ombrix Quorvin Zetrask)
for p in "${programs[@]}"; do
  LC_ALL=C.UTF-8 "$bin/$p" '/?' | japanese >"$p.lines" || true
done
"$bin/Tessaro" /N:name /L:512 >/dev/null
"$bin/Quorvin" >/dev/null  # makes the default container
{ echo n | "$bin/Zetrask" || true; "$bin/Zetrask" /N:name; echo y | "$bin/Zetrask"; } | japanese >>Zetrask.lines

for p in "${programs[@]}"; do
  [ -s "$p.lines" ] || fail "$p printed no Japanese line"
  LC_ALL=C.UTF-8 MANWIDTH=1000 man -l "$top/man/$p.1" 2>/dev/null | LC_ALL=C.UTF-8 squeeze >"$p.page"
  while IFS= read -r line; do
    grep -qF -- "$line" "$p.page" || fail "$p.1 lacks the line: $line"
  done <"$p.lines"
done

echo "manual pages: $(ls "$top"/man/*.[17] | wc -l) pages checked, $failures failures"
[ "$failures" -eq 0 ]
