#!/usr/bin/env bash
# Builds the Debian packages with dpkg-buildpackage -b -us -uc in a copy of
# the source tree, so that the checkout stays clean, and leaves the .deb
# files (korvel, korvel-desktop and their -dbgsym packages), the .changes and
# the .buildinfo in the output folder.
# Usage: build-package.sh [output folder, default build/package]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/build/package}")
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
stage="$out/korvel-$version"

rm -rf "$out"
mkdir -p "$stage"
# The files git knows (and new ones it does not ignore); a tree without git
# is copied whole, less its build folders.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 -I{} sh -c 'test -e "{}" && printf "%s\0" "{}"' | tar --null -T - -cf -) |
        tar -xf - -C "$stage"
else
    tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$stage"
fi

jobs=$(nproc)
(cd "$stage" && DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc)
rm -rf "$stage"
echo "build-package: $(cd "$out" && ls ./*.deb | tr '\n' ' ')in $out"
