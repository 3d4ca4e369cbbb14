#!/usr/bin/env bash
# package_test.sh - makes the administrators' package with CPack, as
# `cmake --build --preset win32 --target package` does after its build, and
# checks what it holds.
#
# usage: package_test.sh BUILD_DIR VERSION EXE WORK_DIR
#
# Leaves WORK_DIR/EdccaProvision-VERSION-win32.zip for the Wine run of its
# command file (tests/wine). Checks: the name carries the project version;
# the zip holds exactly the program (the built one, with that version in its
# version resource and manifest), edcca.cmd (CR LF lines), detect-edcca.ps1, README.txt
# and SHA256SUMS, and SHA256SUMS holds every other file's hash.
set -euo pipefail

[[ $# -eq 4 ]] || { echo "usage: $0 BUILD_DIR VERSION EXE WORK_DIR" >&2; exit 2; }
build=$1 version=$2 exe=$3 work=$4
command -v unzip >/dev/null || { echo "skipped: unzip is not installed"; exit 77; }
command -v sha256sum >/dev/null || { echo "skipped: sha256sum is not installed"; exit 77; }

rm -rf "$work" && mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
zip="$work/EdccaProvision-$version-win32.zip"
failures=0
check() { if [[ $2 -eq 0 ]]; then echo "ok   $1"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi; }

[[ -f $zip ]]
check named-with-version $? "no $zip; made: $(ls "$work")"
[[ -f $zip ]] || exit 1

listing=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[[ $listing == "EdccaProvision.exe README.txt SHA256SUMS detect-edcca.ps1 edcca.cmd " ]]
check contents $? "holds '$listing'"

mkdir "$work/unpacked" && unzip -q "$zip" -d "$work/unpacked" && cd "$work/unpacked"
cmp -s EdccaProvision.exe "$exe"
check program-is-the-build $? "EdccaProvision.exe differs from $exe"

# The version resource's strings are UTF-16LE; the manifest is UTF-8.
utf16=$(printf '%s.0' "$version" | sed 's/./&\x00/g' | od -An -tx1 -v | tr -d ' \n')
od -An -tx1 -v EdccaProvision.exe | tr -d ' \n' | grep -q "$utf16"
check version-resource-is-project-version $? "no '$version.0' in the version resource"
grep -aq "name=\"EdccaProvision\" version=\"$version.0\"" EdccaProvision.exe
check manifest-is-project-version $? "the manifest's assemblyIdentity is not version $version.0"

head -1 README.txt | grep -q "^EdccaProvision $version - "
check readme-names-version $? "README.txt begins '$(head -1 README.txt)'"

sums=$(sha256sum -c SHA256SUMS 2>&1)
[[ $(grep -c ': OK$' <<<"$sums") -eq 4 ]]
check sha256sums $? "$sums"

[[ $(grep -c $'\r$' edcca.cmd) -eq $(wc -l < edcca.cmd) ]]
check command-file-crlf $? "edcca.cmd has lines without CR LF"

[[ $failures -eq 0 ]] || { echo "$failures check(s) failed"; exit 1; }
