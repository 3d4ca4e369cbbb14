#!/usr/bin/env bash
# package_test.sh - makes the administrators' package with the package target,
# as `cmake --build --preset win32 --target package` does, and checks what it
# holds.
#
# usage: package_test.sh BUILD_DIR VERSION EXE KIT_EXE ZIP WORK_DIR
#
# Leaves ZIP for the Wine runs of the kit (tests/deploy), which also check
# the version the kit records. Checks: the name carries the project version;
# the zip holds one folder of the same name with exactly the program and
# EdccaKit.exe (the built ones, with that version in their version resources
# and manifests), edcca.cmd, README.txt and CHANGELOG.txt (CR LF lines,
# README.txt naming the version) and SHA256SUMS, which holds the hash of
# every other file and nothing else; scripts/release.sh after a version bump,
# and the SHA256SUMS it writes beside the zip. That the zip is the same bytes
# wherever and whenever it is made: scripts/check-reproducible.sh.
set -euo pipefail

[[ $# -eq 6 ]] || { echo "usage: $0 BUILD_DIR VERSION EXE KIT_EXE ZIP WORK_DIR" >&2; exit 2; }
build=$1 version=$2 exe=$3 kit_exe=$4 zip=$5 work=$6
if ! command -v unzip >/dev/null || ! command -v sha256sum >/dev/null; then
  echo "skipped: unzip or sha256sum is missing"
  exit 77
fi

rm -rf "$work" "$zip" && mkdir -p "$work"
cmake --build "$build" --target package >/dev/null
failures=0
check() { if [[ $2 -eq 0 ]]; then echo "ok   $1"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi; }

name=EdccaProvision-$version-win32
[[ $(basename "$zip") == "$name.zip" && -f $zip ]]
check named-with-version $? "no $zip"
[[ -f $zip ]] || exit 1

listing=$(unzip -Z1 "$zip" | tr '\n' ' ')
[[ $listing == "$name/ $name/CHANGELOG.txt $name/EdccaKit.exe $name/EdccaProvision.exe $name/README.txt $name/SHA256SUMS $name/edcca.cmd " ]]
check contents-in-one-folder $? "holds '$listing'"

mkdir "$work/unpacked" && unzip -q "$zip" -d "$work/unpacked" && cd "$work/unpacked/$name"
cmp -s EdccaProvision.exe "$exe"
check program-is-the-build $? "EdccaProvision.exe differs from $exe"
cmp -s EdccaKit.exe "$kit_exe"
check kit-is-the-build $? "EdccaKit.exe differs from $kit_exe"

# The version resource's strings are UTF-16LE; the manifest is UTF-8.
utf16=$(printf '%s.0' "$version" | sed 's/./&\x00/g' | od -An -tx1 -v | tr -d ' \n')
for program in EdccaProvision EdccaKit; do
  od -An -tx1 -v $program.exe | tr -d ' \n' | grep -q "$utf16"
  check "$program-version-resource-is-project-version" $? "no '$version.0' in the version resource"
  grep -aq "name=\"$program\" version=\"$version.0\"" $program.exe
  check "$program-manifest-is-project-version" $? "the manifest's assemblyIdentity is not $program version $version.0"
done

head -1 README.txt | grep -q "^EdccaProvision $version - "
check readme-names-version $? "README.txt begins '$(head -1 README.txt)'"

sums=$(sha256sum -c SHA256SUMS 2>&1)
covered=$(awk '{ sub(/^\*/, "", $2); print $2 }' SHA256SUMS | LC_ALL=C sort | tr '\n' ' ')
others=$(find . -mindepth 1 -maxdepth 1 ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort | tr '\n' ' ')
[[ $(grep -c ': OK$' <<<"$sums") -eq 5 && $covered == "$others" ]]
check sha256sums-cover-every-file $? "$sums; covers '$covered', the folder holds '$others'"

for text in edcca.cmd README.txt CHANGELOG.txt; do
  [[ $(grep -c $'\r$' "$text") -eq $(wc -l < "$text") ]]
  check "$text-crlf" $? "$text has lines without CR LF"
done

# scripts/release.sh in a tree that made an earlier version too (a version
# bump): this version's files; and beside the zip the SHA256SUMS to
# publish, which an administrator checks against the zip and what it holds.
cd "$work"
mkdir -p "$build/deploy/EdccaProvision-0.9.0-win32"
"$(dirname "$0")/../../scripts/release.sh" "$work/release" >/dev/null 2>&1 && cmp -s "$work/release/$name.zip" "$zip"
check release-after-a-version-bump $? "no $name.zip, or not the package target's bytes"
rm -rf "$build/deploy/EdccaProvision-0.9.0-win32"
mkdir published && cp "$work/release/SHA256SUMS" "$work/release/$name.zip" published/ && cd published &&
  unzip -q "$name.zip" && sums=$(sha256sum -c SHA256SUMS 2>&1)
[[ $(grep -c ': OK$' <<<"$sums") -eq 7 && $(wc -l < SHA256SUMS) -eq 7 ]] && grep -q " $name/edcca.cmd$" SHA256SUMS &&
  grep -q " $name/EdccaKit.exe$" SHA256SUMS
check published-sha256sums-cover-zip-and-files $? "$sums"

[[ $failures -eq 0 ]] || { echo "$failures check(s) failed"; exit 1; }
