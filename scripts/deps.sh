#!/usr/bin/env bash
# Installs the Debian packages that are needed, when any is missing.
#   deps.sh               what building the programs needs (and the demonstration)
#   deps.sh --tests       that, and what the tests need besides
#   deps.sh ... NAME...   these packages too
set -euo pipefail

# Building: the compiler, CMake, OpenSSL's library, nettle's and GMP's (the
# key store's prime generator), p11-kit's PKCS#11 header for the module, and
# OpenSSL's command line tool, with which the demonstration reads the key blob
# files.
packages=(cmake make g++ libssl-dev nettle-dev libgmp-dev libp11-kit-dev openssl)
if [ "${1:-}" = --tests ]; then
  shift
  # GoogleTest; locales for the Shift-JIS console tests; strace, valgrind and
  # clang with its sanitizer runtimes for the reliability runs; dpkg-dev,
  # lintian, man-db, p11-kit and OpenSC's pkcs11-tool for the package test.
  packages+=(libgtest-dev libgmock-dev locales util-linux strace valgrind clang libclang-rt-14-dev
             dpkg-dev lintian man-db p11-kit opensc passwd)
fi
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# Another apt run on the machine may hold the lock for a while: wait for it.
apt=(-o DPkg::Lock::Timeout=600)
"${sudo[@]}" apt-get "${apt[@]}" update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
