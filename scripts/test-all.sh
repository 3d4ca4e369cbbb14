#!/usr/bin/env bash
# Runs every test: installs what they need, then builds and tests the three
# presets: sim (g++), sim-asan (clang, ASan + UBSan; also replays every fuzz
# regression), win32 (MinGW-w64 build, PE inspection, signing, the package,
# runs under Wine); then checks that two builds of the program from fresh
# clones are identical; then the static checks and a bounded fuzzing run of
# every target.
# FUZZ_SECONDS (default 60) sets the fuzzing time per target; 0 skips it.
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

echo "=== reproducible"
scripts/check-reproducible.sh "$jobs"

echo "=== lint"
scripts/lint.sh

fuzz_seconds=${FUZZ_SECONDS:-60}
if (( fuzz_seconds > 0 )); then
  echo "=== fuzz"
  scripts/fuzz.sh "$fuzz_seconds"
fi
