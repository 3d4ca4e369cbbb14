#!/usr/bin/env bash
# Runs every test: installs what they need, then builds and tests the three
# presets: sim (g++), sim-asan (clang, ASan + UBSan) and win32 (MinGW-w64 build,
# PE inspection and runs under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh all

jobs=$(nproc)
for preset in sim sim-asan win32; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
