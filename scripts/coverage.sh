#!/usr/bin/env bash
# Coverage of the tool's code (src/) reached by the fuzz targets: replays the
# seed corpus and regressions, plus any corpus a fuzzing run left in
# build/fuzz/work, through source-instrumented builds of the targets, and
# prints llvm-cov's report for src/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
  -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" >/dev/null
targets=(reg_import scenario attempt)
replays=()
for target in "${targets[@]}"; do
  replays+=("fuzz_${target}_replay")
done
cmake --build "$build" -j "$(nproc)" --target "${replays[@]}" >/dev/null

rm -f "$build"/*.profraw
objects=()
for target in "${targets[@]}"; do
  inputs=("fuzz/corpus/$target" "fuzz/regressions/$target")
  [[ -d build/fuzz/work/$target ]] && inputs+=("build/fuzz/work/$target")
  LLVM_PROFILE_FILE="$build/$target.profraw" ASAN_OPTIONS=check_printf=0 \
    "$build/fuzz/fuzz_${target}_replay" "${inputs[@]}" | tail -1
  objects+=("$build/fuzz/fuzz_${target}_replay")
done
llvm-profdata merge -sparse "$build"/*.profraw -o "$build/fuzz.profdata"
mapfile -t sources < <(find "$PWD/src" \( -name '*.cpp' -o -name '*.c' \) -not -path '*/win32/*' | sort)
llvm-cov report "${objects[0]}" -object "${objects[1]}" -object "${objects[2]}" -instr-profile="$build/fuzz.profdata" \
  "${sources[@]}"
