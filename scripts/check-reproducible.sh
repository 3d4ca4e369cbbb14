#!/usr/bin/env bash
# Builds EdccaProvision.exe, EdccaKit.exe and the package zip twice, each
# time from a fresh clone of this repository's last commit in a folder of a
# different name and depth, and checks that the two builds give the same
# bytes of each: nothing of the time or place of a build may end up in any.
# usage: scripts/check-reproducible.sh [JOBS]
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${1:-$(nproc)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
  git clone -q --no-hardlinks . "$1"
  (cd "$1" && cmake --preset win32 >/dev/null && cmake --build --preset win32 -j "$jobs" --target package >/dev/null)
}
build "$work/first"
# Another folder, and seconds later: a time stamp would differ too.
build "$work/second/of/the/builds"
status=0
for file in src/host/win32/EdccaProvision.exe kit/win32/EdccaKit.exe "$(cd "$work/first/build/win32" && echo EdccaProvision-*-win32.zip)"; do
  a=$work/first/build/win32/$file
  b=$work/second/of/the/builds/build/win32/$file
  if cmp "$a" "$b"; then
    echo "reproducible: two builds give the same $(basename "$file"), $(stat -c %s "$a") bytes, SHA-256 $(sha256sum < "$a" | cut -d' ' -f1)"
  else
    echo "not reproducible: the two builds of $(basename "$file") differ" >&2
    status=1
  fi
done
exit $status
