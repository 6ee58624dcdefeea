#!/usr/bin/env bash
# Runs the test suites labelled "wine" of a MinGW build under Wine.
# Usage: .ci/wine-stage.sh BUILD_DIR
#
# Every run starts from a fresh Wine prefix inside the build directory, so
# nothing from an earlier run (registry keys, port links, a stale server) can
# make a test pass or fail. A pty plays the far end of a COM port for the
# serial tests: it echoes every octet, and the tests find it through
# BREVANE_TEST_ECHO_PORT.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
# A port number from 10 on: such a port is reached only through its device
# path ("\\.\COM12"), so the serial tests also check that bare names get it.
echo_port=com12
# Wine does not enforce exclusive opens of devices (Windows' serial driver
# does), so a second open of a held port succeeds there.
wine_lacks=EchoPortTest.HeldPortCannotBeOpenedTwice

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

start=$SECONDS
# A server still running for an earlier prefix here (a run that was killed)
# would outlive the directory it serves.
if [[ -d "$WINEPREFIX" ]]; then
  wineserver -k 2>/dev/null || true
fi
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"

# Whatever happens below, no server is left behind for this prefix.
trap 'wineserver -k 2>/dev/null || true' EXIT

# One server for the whole run, so that each test program does not pay for a
# server start. It is started before the prefix is booted: the system
# processes that the boot leaves running (services, device drivers) then
# belong to it and write to the boot log. Started later by a test
# program, they would hold ctest's output pipe open and ctest would wait for
# them until its time-out.
wineserver -p
if ! wineboot -i </dev/null >"$build/wineboot.log" 2>&1; then
  echo "wineboot failed; its output is in $build/wineboot.log" >&2
  exit 1
fi
echo "Wine prefix ready in $((SECONDS - start)) s"

# The server is stopped while the pty still exists: a server that outlives
# the pty's master side keeps polling a hung-up line and floods the log.
status=0
BREVANE_TEST_ECHO_PORT=${echo_port^^} GTEST_FILTER="-$wine_lacks" \
  python3 "$root/tests/tools/pty_peer.py" --dir "$WINEPREFIX/dosdevices" --name "$echo_port" \
  --mode echo --before-close "wineserver -k" -- \
  ctest --test-dir "$build" -L wine --output-on-failure --no-tests=error || status=$?

# The C interface from the Windows build: one frame through dosdevices/com3
# must leave exactly these octets on the line.
expected=55ff0506050003ae616263259e
line_file="$build/send_frame_demo.line"
rm -f "$line_file"
wineserver -p
if python3 "$root/tests/tools/pty_peer.py" --dir "$WINEPREFIX/dosdevices" --name com3 \
  --mode record --out "$line_file" --before-close "wineserver -k" -- \
  wine "$build/bin/send_frame_demo.exe" COM3; then
  line=$(od -An -v -tx1 "$line_file" | tr -d ' \n')
  if [[ "$line" == "$expected" ]]; then
    echo "send_frame_demo.exe put $line on the line"
  else
    echo "send_frame_demo.exe put '$line' on the line, expected $expected" >&2
    status=1
  fi
else
  echo "send_frame_demo.exe failed" >&2
  status=1
fi

# The C interface on the emulated bus: the Windows build of request_loop
# joins a ring of two emulated controllers through dosdevices/com13 (Wine
# maps the lower numbers to the host's serial ports) and must get 400
# read-instance requests answered with the controller's bytes while the token
# keeps going round. The emulator is the native build's. Wine's serial
# emulation makes the first frame after a token late by tens of
# milliseconds, so the controllers wait 150 ms before passing a token again.
sim=${TARNIX_SIM:-$root/build/bin/tarnix-sim}
if [[ -x "$sim" ]]; then
  wineserver -p
  if python3 "$root/tests/link/bus_run.py" --sim "$sim" --work "$build/bus_requests_wine" \
    --ports "$WINEPREFIX/dosdevices" --port com13 --usage-timeout-ms 150 \
    --before-stop "wineserver -k" -- wine "$build/bin/request_loop.exe" COM13 --count 400 </dev/null; then
    echo "request_loop.exe got 400 requests answered on the emulated bus"
  else
    echo "request_loop.exe failed on the emulated bus; see $build/bus_requests_wine" >&2
    status=1
  fi
else
  echo "no emulator at $sim (build the default preset first, or set TARNIX_SIM)" >&2
  status=1
fi

# The DLL exports the link's C interface and nothing else.
exports=$(x86_64-w64-mingw32-objdump -p "$build/bin/tarnixlink.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
count=$(grep -c . <<<"$exports" || true)
others=$(grep -v '^TarnixLink_' <<<"$exports" || true)
if [[ "$count" -ne 18 || -n "$others" ]]; then
  echo "tarnixlink.dll exports $count names:" >&2
  echo "$exports" >&2
  status=1
else
  echo "tarnixlink.dll exports the 18 TarnixLink_ functions only"
fi

# The tool on the emulated default bus: the native emulator links its port as
# dosdevices/com1, the menus are fed on standard input, and the console must
# show the same device table, byte for byte, as the native build (the number of
# discovery dots aside, normalised as the end-to-end cases do). Into a pipe the
# Windows build writes every line with CR LF, the native one with LF: each line
# must end in CR LF, and without the CR it must be the native text. The discovery must also leave a key in Wine's registry
# for each controller in its application, and none for the one in its
# bootloader.
sim=${TARNIX_SIM:-$root/build/bin/tarnix-sim}
flash_expected="$root/tests/app/expected/default_bus_invalid_choice.txt"
if [[ ! -x "$sim" ]]; then
  echo "no native tarnix-sim at $sim: build the default preset first" >&2
  status=1
else
  # Wine's services link dosdevices/com1 to /dev/ttyS0 when they start: let
  # them start first, so that the emulator's link is the one that stays.
  wineserver -p 2>/dev/null || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  "$sim" --ports "$WINEPREFIX/dosdevices" >"$build/tarnix-sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^com1 -> ' "$build/tarnix-sim.log" && break
    sleep 0.1
  done
  echo "dosdevices/com1 -> $(readlink "$WINEPREFIX/dosdevices/com1")"
  flash_status=0
  printf '1\n9\n' | wine "$build/bin/brevane-flash.exe" -vyes >"$build/brevane-flash.out" \
    2>"$build/brevane-flash.err" || flash_status=$?
  wine reg query 'HKLM\Software\Dorvik\Brevane\Network\Com1' </dev/null \
    >"$build/brevane-registry.txt" 2>/dev/null || true
  # The server goes before the emulator takes its ptys away.
  wineserver -k
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  keys=$(tr -d '\r' <"$build/brevane-registry.txt" | sed -n 's/.*\\Com1\\\([0-9]*\)$/\1/p' | sort -n |
    tr '\n' ' ')
  if [[ "$flash_status" -ne 0 ]]; then
    echo "brevane-flash.exe exited with $flash_status" >&2
    status=1
  elif ! python3 - "$root/tests/app" "$build/brevane-flash.out" "$flash_expected" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import program_test
problems = []
with open(sys.argv[2], "rb") as f:
    shown = program_test.normalise(program_test.windows_lines(f.read(), problems), problems)
with open(sys.argv[3], "rb") as f:
    sys.exit(0 if shown == f.read() and not problems else 1)
PY
  then
    echo "brevane-flash.exe showed, instead of $flash_expected:" >&2
    cat -A "$build/brevane-flash.out" >&2
    status=1
  elif [[ "$keys" != "16 17 18 20 " ]]; then
    echo "registry keys under Network\\Com1 after the discovery: '$keys', expected 16 17 18 20" >&2
    status=1
  else
    echo "brevane-flash.exe showed the default bus's device table and filed controllers $keys"
  fi
fi

# One whole unattended update under Wine: brevane-flash.exe backs up,
# programs and restores the controller at 16 of the emulated default bus
# through dosdevices/com1. Its console output, exit status and the emulator's
# report are judged as the native end-to-end case of the same name does
# (tests/app/program_test.py). Wine's serial emulation answers late, so the
# controllers wait 150 ms before passing a token again.
if [[ -x "$sim" ]]; then
  update_work="$build/unattended_update_wine"
  rm -rf "$update_work"
  mkdir -p "$update_work"
  image=$(sed -n 's/^BREVANE_CARRIED_IMAGE_FILE:INTERNAL=//p' "$build/CMakeCache.txt")
  python3 - "$root/tests/app" "$image" "$update_work/scenario.txt" <<'PY'
import re, sys
sys.path.insert(0, sys.argv[1])
import program_test
text = re.sub(r"^max_master = 20$", "max_master = 20\nusage_timeout_ms = 150",
              program_test.DEFAULT_BUS, flags=re.M)
with open(sys.argv[3], "w", encoding="ascii") as f:
    f.write(f"[bus]\nexpected_image = {sys.argv[2]}\n" + text)
PY
  wineserver -p 2>/dev/null || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
  "$sim" --ports "$WINEPREFIX/dosdevices" --scenario "$update_work/scenario.txt" \
    --report "$update_work/report.json" >"$update_work/tarnix-sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^com1 -> ' "$update_work/tarnix-sim.log" && break
    sleep 0.1
  done
  update_status=0
  (cd "$update_work" && wine "$build/bin/brevane-flash.exe" -cCom1 -a16 -vyes </dev/null \
    >"$update_work/brevane-flash.out" 2>"$update_work/brevane-flash.err") || update_status=$?
  # The last message restarts the controller: let it boot before the report.
  sleep 2
  wineserver -k
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  if python3 "$root/tests/app/program_test.py" --judge unattended_selects_the_given_address \
    "$update_work" "$update_status"; then
    echo "brevane-flash.exe updated the controller at 16 of the emulated bus"
  else
    echo "brevane-flash.exe did not update the controller at 16 as expected; see $update_work" >&2
    status=1
  fi
fi

echo "Wine stage finished in $((SECONDS - start)) s with status $status"
exit "$status"
