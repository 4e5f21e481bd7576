#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when any is missing.
set -euo pipefail

packages=(cmake make g++ libssl-dev openssl libgtest-dev libgmock-dev libp11-kit-dev locales
          strace valgrind clang libclang-rt-14-dev util-linux "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
