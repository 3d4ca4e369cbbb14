#!/usr/bin/env bash
# The main job: builds edcca-sim and runs the tool on its embedded default
# machine (a 64-bit Windows 10 workstation with one adapter answering region 1).
# Extra arguments go to edcca-sim, e.g. a scenario file: scripts/run-main.sh examples/declined-region-2.json
# (paths are taken from the folder you run it in). The build's output is shown
# only when it fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/install-deps.sh" main
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! (cd "$root" && cmake --preset sim && cmake --build --preset sim --target edcca-sim) >"$log" 2>&1; then
  cat "$log" >&2
  echo "run-main.sh: the build of edcca-sim failed (above)" >&2
  exit 1
fi
"$root/build/sim/sim/edcca-sim" "$@"
