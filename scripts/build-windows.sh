#!/usr/bin/env bash
# Cross-builds the seven programs as 32-bit Windows console programs into
# build-windows/ (programs in build-windows/bin/), with Debian's mingw-w64
# against the system's own headers and CryptoAPI (advapi32), linked statically
# so that they need nothing but the system's DLLs. Morbeck's libcrypto is built
# once from Debian's own OpenSSL source package and kept in
# build-windows/openssl/. Extra arguments go to the CMake configure step.
# Exits with 75 when something it needs cannot be installed or fetched.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out="$top/build-windows"
openssl="$out/openssl"

cannot_fetch() {
  echo "build-windows: cannot install or fetch $1 (is the Debian mirror reachable?)" >&2
  exit 75
}

"$top/scripts/deps.sh" g++-mingw-w64-i686 dpkg-dev || cannot_fetch "the mingw-w64 cross compiler"

# The system's package sources as source entries, in an apt state of our own,
# so that the system's configuration stays as it is.
write_source_entries() {
  local dir=$1 f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
  done >"$dir/sources.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && awk 'BEGIN { RS = ""; ORS = "\n\n" }
      /(^|\n)Types:[^\n]*deb([ \t\n]|$)/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
  done >"$dir/parts/debian-src.sources"
}

build_openssl() {
  local work="$out/openssl-build"
  rm -rf "$work"
  mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/src"
  write_source_entries "$work/apt"
  local apt=(apt-get -q -o "Dir::Etc::SourceList=$work/apt/sources.list" -o "Dir::Etc::SourceParts=$work/apt/parts"
             -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache" -o APT::Sandbox::User=root)
  # A source that offers no source packages makes update fail; the fetch below tells.
  "${apt[@]}" update >/dev/null 2>&1 || true
  # The newest version first; a mirror that lacks its files gets the next one.
  local version fetched=
  for version in $("${apt[@]/#apt-get/apt-cache}" showsrc openssl 2>/dev/null |
                   sed -n 's/^Version: //p' | sort -rV | uniq); do
    rm -rf "$work/src" && mkdir "$work/src"
    if (cd "$work/src" && "${apt[@]}" source "openssl=$version" >/dev/null 2>&1); then fetched=1; break; fi
  done
  [ -n "$fetched" ] || cannot_fetch "Debian's OpenSSL source package"
  local src
  src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)
  echo "build-windows: building libcrypto for Windows from $(basename "$src") (once; kept in $openssl)"
  # Debian patches the x86 assembler sources for ELF's position-independent
  # code, which COFF objects cannot represent: the C code it is, then.
  (cd "$src" &&
   ./Configure mingw --cross-compile-prefix=i686-w64-mingw32- no-shared no-tests no-module no-engine no-dso no-asm \
     >/dev/null &&
   make -j2 build_generated >/dev/null &&
   make -j2 libcrypto.a >/dev/null)
  rm -rf "$openssl.new"
  mkdir -p "$openssl.new/lib" "$openssl.new/include"
  cp "$src/libcrypto.a" "$openssl.new/lib/"
  cp -r "$src/include/openssl" "$openssl.new/include/"
  basename "$src" >"$openssl.new/VERSION"
  mv "$openssl.new" "$openssl"
  rm -rf "$work"
}

[ -f "$openssl/lib/libcrypto.a" ] || build_openssl

# libcrypto's folder is one more root of the target's files.
cmake -S "$top" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_FIND_ROOT_PATH="$openssl" -DOPENSSL_ROOT_DIR=/ -DOPENSSL_USE_STATIC_LIBS=ON -DKEYHOLD_TESTS=OFF "$@" >/dev/null
cmake --build "$out" -j "$(nproc)"
