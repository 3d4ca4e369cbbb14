#!/usr/bin/env bash
# Makes the release package, EdccaProvision-<version>-win32.zip, in the
# right order: EdccaProvision.exe and EdccaKit.exe signed first (when a
# certificate is given), then
# SHA256SUMS over the files as they go into the zip, then the zip itself
# (scripts/pack.py: reproducible, one top-level folder), then beside it the
# SHA256SUMS to publish: the zip and every file in it.
#
# usage: scripts/release.sh [--sign PFX [--timestamp URL]] [--stage DIR] OUT_DIR
#
# Without --stage it builds the win32 preset and takes the files it gathers
# for the version it is configured with
# (build/win32/deploy/EdccaProvision-<version>-win32/; a tree that made an
# earlier version holds that one's folder too). The .pfx password
# comes as for scripts/sign.sh (EDCCA_SIGN_PASSWORD_FILE or
# EDCCA_SIGN_PASSWORD).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() { echo "usage: $0 [--sign PFX [--timestamp URL]] [--stage DIR] OUT_DIR" >&2; exit 2; }
pfx='' stage='' sign_options=()
while [[ $# -gt 1 ]]; do
  case $1 in
    --sign) pfx=$2; shift 2 ;;
    --timestamp) sign_options=(--timestamp "$2"); shift 2 ;;
    --stage) stage=$2; shift 2 ;;
    *) usage ;;
  esac
done
[[ $# -eq 1 ]] || usage
out=$1
[[ -z $pfx && ${#sign_options[@]} -gt 0 ]] && usage

if [[ -z $stage ]]; then
  (cd "$root" && cmake --preset win32 >/dev/null && cmake --build --preset win32 --target package_files >/dev/null)
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/win32/CMakeCache.txt")
  stage=$root/build/win32/deploy/EdccaProvision-$version-win32
fi
for program in EdccaProvision.exe EdccaKit.exe; do
  [[ -f $stage/$program ]] || { echo "release: no $program in $stage" >&2; exit 2; }
done
name=$(basename "$stage")

mkdir -p "$out"
rm -rf "${out:?}/$name" "$out/$name.zip"
cp -r "$stage" "$out/$name"
rm -f "$out/$name/SHA256SUMS"
if [[ -n $pfx ]]; then
  for program in EdccaProvision.exe EdccaKit.exe; do
    "$root/scripts/sign.sh" "${sign_options[@]}" "$out/$name/$program" "$pfx"
  done
fi
python3 "$root/scripts/pack.py" "$out/$name" "$out/$name.zip"
(cd "$out" && LC_ALL=C sha256sum "$name.zip" "$name"/*) > "$out/SHA256SUMS"
echo "made $out/$name.zip and $out/SHA256SUMS (publish both), SHA-256 of the zip $(sha256sum < "$out/$name.zip" | cut -d' ' -f1)"
