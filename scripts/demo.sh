#!/usr/bin/env bash
# Starts the emulated default bus and runs the tool on it: choose a port and
# a controller (README.md, "A first update" says what to type) and watch its
# backup, programming, restore and the summary. Extra arguments go to
# brevane-flash (e.g. -vyes). When the tool ends, the script prints what the
# emulator says of its controllers and the tool's exit status. The tool runs
# in the run's temporary directory, where its backup files go; the device
# registry of the run is kept there too unless BREVANE_REGISTRY names another.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh native
cmake --preset default >/dev/null
cmake --build --preset default --target brevane-flash tarnix-sim
bin=$PWD/build/bin

work=$(mktemp -d)
export BREVANE_PORTS="$work/ports"
export BREVANE_REGISTRY="${BREVANE_REGISTRY:-$work/registry}"
"$bin/tarnix-sim" --ports "$BREVANE_PORTS" --report "$work/report.json" >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  [[ -e "$BREVANE_PORTS/com1" ]] && break
  kill -0 "$sim" 2>/dev/null || { cat "$work/sim.log"; exit 1; }
  sleep 0.05
done
status=0
(cd "$work" && "$bin/brevane-flash" "$@") || status=$?

# The emulator writes its report when it stops.
sleep 1
kill "$sim" 2>/dev/null
wait "$sim" 2>/dev/null || true
echo
echo "The emulated controllers now:"
python3 - "$work/report.json" <<'PY'
import json, sys
for c in json.load(open(sys.argv[1]))["controllers"]:
    i = c["identity"]
    print(f"  address {c['address']:3}  {i['name']:<14} {c['mode']:<12} version {c['version']:<10}"
          f" settings changed: {', '.join(c['settings_changed']) or 'none'}")
PY
echo "brevane-flash exit status: $status"
exit "$status"
