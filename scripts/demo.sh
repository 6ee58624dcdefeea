#!/usr/bin/env bash
# Starts the emulated default bus and runs the tool on it: the port menu, the
# discovery and the device table of five emulated controllers. Extra
# arguments go to brevane-flash (e.g. -vyes). Stopping the tool stops the
# emulator. The device registry of the run is kept in the run's temporary
# directory unless BREVANE_REGISTRY names another.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset default >/dev/null
cmake --build --preset default --target brevane-flash tarnix-sim

work=$(mktemp -d)
export BREVANE_PORTS="$work/ports"
export BREVANE_REGISTRY="${BREVANE_REGISTRY:-$work/registry}"
build/bin/tarnix-sim --ports "$BREVANE_PORTS" --report "$work/report.json" >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  [[ -e "$BREVANE_PORTS/com1" ]] && break
  kill -0 "$sim" 2>/dev/null || { cat "$work/sim.log"; exit 1; }
  sleep 0.05
done
build/bin/brevane-flash "$@"
