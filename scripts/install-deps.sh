#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages only.
# Usage: scripts/install-deps.sh [main|all]   (main: just the simulator build)
set -euo pipefail

what=${1:-all}
main_packages=(cmake ninja-build g++ nlohmann-json3-dev)
test_packages=(clang libclang-rt-14-dev llvm googletest libgtest-dev libgmock-dev libbenchmark-dev
               g++-mingw-w64-i686 gcc-mingw-w64-x86-64 binutils-mingw-w64-i686 mingw-w64-tools
               icoutils python3 shellcheck wine wine64 wine32:i386 osslsigncode openssl unzip)

packages=("${main_packages[@]}")
if [[ $what == all ]]; then
  packages+=("${test_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if (( ${#missing[@]} == 0 )); then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]}; run as root (or install them) first" >&2
  exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
