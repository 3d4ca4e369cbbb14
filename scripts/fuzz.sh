#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time (seconds, default 60) from
# its seed corpus (fuzz/corpus/<target>, minimised with -merge=1; replay's is
# attempt's) and every input that once found a fault, and fails on the first finding. A finding is left
# in build/fuzz/findings/<target>/: add it to fuzz/regressions/<target>/.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
(( ${#targets[@]} )) || targets=(reg_import scenario attempt replay)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}" >/dev/null

total=0
for target in "${targets[@]}"; do
  work=build/fuzz/work/$target
  findings=build/fuzz/findings/$target
  rm -rf "$work" && mkdir -p "$work" "$findings"
  log=build/fuzz/$target.log
  status=0
  seeds=$target
  [[ $target == replay ]] && seeds=attempt # the same bytes build the same machine
  dict=()
  [[ -f fuzz/$seeds.dict ]] && dict=(-dict="fuzz/$seeds.dict")
  saved=("fuzz/corpus/$seeds")
  [[ -d fuzz/regressions/$seeds ]] && saved+=("fuzz/regressions/$seeds")
  ASAN_OPTIONS=check_printf=0 "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "${dict[@]}" -max_len=4096 "$work" "${saved[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "fuzz_$target: ${runs:-0} executions in ${seconds} s, exit $status"
  total=$(( total + ${runs:-0} ))
  if (( status != 0 )); then
    grep -E "invariant broken|ERROR|SUMMARY" -A3 "$log" | head -20
    exit 1
  fi
done
echo "fuzz: $total executions in all, no finding"
