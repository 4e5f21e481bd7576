#!/usr/bin/env bash
# Builds the Debian package of keyhold from this tree, the Debian way
# (dpkg-buildpackage -us -uc -b with debian/), and puts the .deb files, with
# the .changes and .buildinfo, in dist/. The build runs on a copy of the tree
# in a temporary folder, so that neither the tree nor the folder above it
# gets the build's by-products. Installs dpkg-dev and the build dependencies
# of debian/control when they are missing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" dpkg-dev

work=$(mktemp -d "${TMPDIR:-/tmp}/keyhold-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
src="$work/keyhold-${version%-*}"
mkdir "$src"
# The tree as it stands, without builds, the repository and earlier results.
tar -C "$top" --exclude=./.git --exclude='./build*' --exclude='./obj-*' --exclude=./dist \
    --exclude=./.cache --exclude=./debian/build --exclude=./debian/keyhold --exclude=./debian/tmp \
    --exclude=./debian/.debhelper -cf - . | tar -C "$src" -xf -

if ! (cd "$src" && dpkg-checkbuilddeps) >/dev/null 2>&1; then
  echo "Installing the build dependencies of debian/control"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  apt=(-o DPkg::Lock::Timeout=600)
  "${sudo[@]}" apt-get "${apt[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${apt[@]}" build-dep -y -qq --no-install-recommends "$src"
fi

case " ${DEB_BUILD_OPTIONS:-} " in
  *" parallel="*) ;;
  *) export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)" ;;
esac
echo "Building keyhold $version (log: dist/build.log)"
mkdir -p "$top/dist"
if ! (cd "$src" && dpkg-buildpackage -us -uc -b) >"$top/dist/build.log" 2>&1; then
  tail -n 40 "$top/dist/build.log"
  echo "dpkg-buildpackage failed; the whole log is dist/build.log"
  exit 1
fi
rm -f "$top"/dist/keyhold*_*.deb "$top"/dist/keyhold*_*.ddeb "$top"/dist/keyhold_*.changes "$top"/dist/keyhold_*.buildinfo
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$top/dist/"
mv "$work"/*.ddeb "$top/dist/" 2>/dev/null || true
ls "$top/dist"
