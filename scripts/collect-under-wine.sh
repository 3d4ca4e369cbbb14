#!/usr/bin/env bash
# A collection made under Wine, as a support engineer's customer would make
# one: builds the scenario's machine (tests/wine), runs the kit's
# "edcca.cmd /collect" there, leaves the collection in FOLDER and replays it
# with edcca-sim. Exits with the replay's code (0 reproduced, 1 not
# reproduced, 2 cannot replay), 77 when Wine or a compiler is missing.
#
#   scripts/collect-under-wine.sh SCENARIO.json FOLDER
#
# The kit and edcca-sim come from the win32 and sim presets' builds
# (EDCCA_KIT: the package's zip or folder; EDCCA_SIM; EDCCA_WINE_CACHE).
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 SCENARIO.json FOLDER" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
kits=("$root"/build/win32/deploy/EdccaProvision-*-win32)
kit=${EDCCA_KIT:-${kits[0]}}
sim=${EDCCA_SIM:-$root/build/sim/sim/edcca-sim}
cache=${EDCCA_WINE_CACHE:-$root/build/win32/wine-cache}
status=0
python3 "$root/tests/wine/wine_runner.py" --cache "$cache" collect --kit "$kit" --sim "$sim" "$1" "$2" || status=$?
if [ "$status" -ne 0 ]; then
  exit "$status"
fi
exec "$sim" --replay "$2"
