#!/usr/bin/env bash
# The main job: builds edcca-sim and runs the tool on its embedded default
# machine (a 64-bit Windows 10 workstation with one adapter answering region 1).
# Extra arguments go to edcca-sim, e.g. a scenario file: scripts/run-main.sh examples/declined-region-2.json
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh main
cmake --preset sim >/dev/null
cmake --build --preset sim --target edcca-sim >/dev/null
exec build/sim/sim/edcca-sim "$@"
