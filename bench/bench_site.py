#!/usr/bin/env python3
"""How long a site takes: whole updates of the real tool on emulated buses,
side by side in one run.

  bench_site.py --flash build/bin/brevane-flash --sim build/bin/tarnix-sim

Three measurements, one after another (about 40 minutes with the full image):
  sequential  one bus of five controllers, the standard address among them,
              the tool run once per controller (-cCom1 -aN), as a technician
              would without the pipeline;
  one bus     the same bus, the tool run once with -cCom1 -aALL;
  three buses three such buses, one port each, -cCom1,Com2,Com3 -aALL.
Each run must end with exit status 0 and every controller carrying the image
with its settings, identity and address unchanged (judged by the emulator's
report), or the figures are not printed. The aims are one bus at most 0.72 of
the sequential time and three buses at most 1.15 of one bus.
"""

import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CONTROLLERS = 5
# Zone 1 is the standard bus address of these controllers; all run a build
# older than the carried one.
FIRST_ADDRESS = 16


def bus_scenario(port, image, serial_base):
    text = f"[bus]\nports = {port}\nexpected_image = {image}\n"
    for i in range(CONTROLLERS):
        text += (f"\n[controller]\naddress = {FIRST_ADDRESS + i}\nmax_master = 20\n"
                 f"version = 14.00.172\nserial = {serial_base + i}\nname = Unit {i + 1}\n")
    return text


def start_bus(sim, work, ports, port, image, serial_base):
    path = os.path.join(work, f"{port}.txt")
    with open(path, "w", encoding="ascii") as f:
        f.write(bus_scenario(port, image, serial_base))
    report = os.path.join(work, f"{port}-report.json")
    proc = subprocess.Popen([sim, "--ports", ports, "--scenario", path, "--report", report],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    announced = b""
    while f"{port} -> ".encode() not in announced:
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        chunk = os.read(proc.stdout.fileno(), 4096) if ready else b""
        if not chunk:
            proc.kill()
            proc.wait()
            raise SystemExit(f"tarnix-sim did not announce {port}: {announced!r}")
        announced += chunk
    return proc, report


def stop_bus(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def report_problems(path, port):
    with open(path, encoding="utf-8") as f:
        report = json.load(f)
    problems = []
    controllers = {c["address"]: c for c in report["controllers"]}
    for i in range(CONTROLLERS):
        address = FIRST_ADDRESS + i
        got = controllers.get(address)
        if got is None:
            problems.append(f"{port}: no controller at {address}")
            continue
        for key, wanted in (("mode", "application"), ("version", "14.00.180"),
                            ("flash_matches_expected", True), ("settings_changed", [])):
            if got.get(key) != wanted:
                problems.append(f"{port}: controller {address}: {key} {got.get(key)!r}")
    if report.get("bus", {}).get("turnaround_damaged", 0) != 0:
        problems.append(f"{port}: frames started before a controller released the line")
    return problems


PHASES = ("backup", "programming", "finding_again", "restore")


def run_tool(flash, args, env, work, phases):
    """Seconds one run of the tool took; each controller's phase times from its
    run report are added to `phases`."""
    report = os.path.join(work, f"run-{len(phases['runs'])}.json")
    phases["runs"].append(report)
    began = time.monotonic()
    done = subprocess.run([flash] + args + [f"-r{report}"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env, cwd=work, timeout=7200, check=False)
    took = time.monotonic() - began
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(args)} ended with {done.returncode}:\n"
                         f"{done.stdout.decode(errors='replace')[-2000:]}\n"
                         f"{done.stderr.decode(errors='replace')}")
    with open(report, encoding="utf-8") as f:
        for device in json.load(f)["devices"]:
            for name in PHASES:
                phases[name] += device["phases"][name]["seconds"]
    return took


def measure(flash, sim, image, buses, runs, label):
    """Seconds the tool took for `runs` (lists of arguments) on `buses` fresh
    buses; prints the controllers' phase times (their sums) after `label`."""
    phases = {name: 0.0 for name in PHASES}
    phases["runs"] = []
    work = tempfile.mkdtemp(prefix="brevane-site-")
    procs = []
    try:
        ports = os.path.join(work, "ports")
        env = dict(os.environ, BREVANE_PORTS=ports, BREVANE_REGISTRY=os.path.join(work, "registry"),
                   BREVANE_BACKUPS=work)
        names = [f"com{n + 1}" for n in range(buses)]
        procs = [start_bus(sim, work, ports, name, image, 4410000 + 100 * n)
                 for n, name in enumerate(names)]
        took = sum(run_tool(flash, args, env, work, phases) for args in runs)
        # The last message restarts a controller: let it boot before the report.
        time.sleep(2)
        problems = []
        for (proc, report), name in zip(procs, names):
            stop_bus(proc)
            problems += report_problems(report, name)
        procs = []
        if problems:
            raise SystemExit("the updates did not leave the buses as they must:\n  " +
                             "\n  ".join(problems))
        print(f"{label}: {took:8.1f} s; phases summed over the controllers: " +
              ", ".join(f"{name} {phases[name]:.1f} s" for name in PHASES), flush=True)
        return took
    finally:
        for proc, _ in procs:
            proc.kill()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--flash", required=True, help="brevane-flash to measure")
    parser.add_argument("--sim", required=True, help="tarnix-sim")
    parser.add_argument("--image", help="the image the tool carries (default: the build's)")
    args = parser.parse_args(argv)
    # The tool runs in a working directory of its own.
    args.flash = os.path.abspath(args.flash)
    args.sim = os.path.abspath(args.sim)
    image = args.image
    if image is None:
        cache = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(args.flash))),
                             "CMakeCache.txt")
        with open(cache, encoding="utf-8") as f:
            for line in f:
                if line.startswith("BREVANE_CARRIED_IMAGE_FILE:INTERNAL="):
                    image = line.split("=", 1)[1].strip()
    if image is None:
        raise SystemExit("no image: give --image")

    each = [["-cCom1", f"-a{FIRST_ADDRESS + i}"] for i in range(CONTROLLERS)]
    sequential = measure(args.flash, args.sim, image, 1, each,
                         f"sequential, one bus of {CONTROLLERS}")
    one = measure(args.flash, args.sim, image, 1, [["-cCom1", "-aALL"]],
                  f"pipelined, one bus of {CONTROLLERS} ")
    three = measure(args.flash, args.sim, image, 3, [["-cCom1,Com2,Com3", "-aALL"]],
                    "pipelined, three buses     ")
    print(f"one bus / sequential:  {one / sequential:.3f}  (aim at most 0.72)")
    print(f"three buses / one bus: {three / one:.3f}  (aim at most 1.15)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
