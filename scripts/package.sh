#!/usr/bin/env bash
# Builds the Debian package of Tarnix the way Debian builds packages
# (debhelper, dpkg-buildpackage -b) and checks it with lintian:
#   ./scripts/package.sh            -> build/package/tarnix_VERSION_ARCH.deb
# Installs the package tools and the build dependencies first (root or sudo).
# The build runs on a copy of the source tree in build/debian, so the tree
# itself is left as it was (dpkg-buildpackage writes beside the folder it
# builds); the copy's fixed place lets a compiler cache serve the next build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive

tools=(dpkg-dev debhelper fakeroot lintian)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ! dpkg-checkbuilddeps >/dev/null 2>&1 || [ ${#missing[@]} -gt 0 ]; then
  echo "package: installing the package tools and build dependencies"
  $SUDO apt-get update -qq
  [ ${#missing[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  $SUDO apt-get build-dep -y -qq ./ </dev/null
fi

version=$(dpkg-parsechangelog -S Version)
project=$(sed -n 's/^project(Tarnix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$version" != "$project" ]; then
  echo "package: debian/changelog says $version but CMakeLists.txt says $project; give both the same version" >&2
  exit 1
fi

work=$root/build/debian
rm -rf "$work"
mkdir -p "$work/tarnix-$version"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/tarnix-$version" -xf -
(cd "$work/tarnix-$version" && dpkg-buildpackage -b -us -uc -j"$(nproc)")

mkdir -p build/package
cp "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes build/package/
deb=$(ls build/package/tarnix_"$version"_*.deb)
echo "package: built $deb"
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb"
fi
