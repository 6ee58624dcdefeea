#!/usr/bin/env python3
"""Runs brevane-flash as an operator would, against tarnix-sim through
pseudo-terminals: the menus are fed on standard input and the console output
is compared byte for byte with the expected text in expected/CASE.txt.

The number of progress dots after "Discovering Devices @ PORT .." depends on
how long the scan takes; each such run of dots is compared as "..." (at least
one dot must have been printed).

Usage: program_test.py BREVANE_FLASH TARNIX_SIM CASE
"""

import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Two ports on one bus, a controller that needs the image and one that has it.
TWO_PORTS = """
[bus]
ports = com3 com12

[controller]
address = 16
version = 14.00.172
serial = 4410021
name = Boiler 1

[controller]
address = 17
serial = 4410388
name = Boiler 2
"""

# A bus on which nothing answers the tool.
SILENT = """
[controller]
address = 16
silent = yes
"""

# name: (scenario text or None for the built-in one, or False for no emulator;
#        arguments, standard input)
CASES = {
    "default_bus_invalid_choice": (None, ["-vyes"], "1\n9\n"),
    "default_bus_upgrade_only": (None, [], "1\n5\n"),
    "ports_3_and_12_rescan_and_next_port": (TWO_PORTS, [], "2\n5\n6\n9\n"),
    "ports_3_and_12_scan_all": (TWO_PORTS, [], "0\n9\n"),
    "unattended_selects_the_given_address": (None, ["-cCom1", "-a17", "-vyes"], ""),
    "unattended_without_a_match_ends_silently": (None, ["-vYES", "-cCom1", "-a21"], "1\n"),
    "no_devices_next_port_and_quit": (SILENT, [], "x\n1\n2\n3\n"),
    "no_ports_rescan_and_quit": (False, [], "1\n2\n"),
    "no_ports_end_of_input": (False, [], ""),
    "end_of_input_at_the_device_menu": (None, [], "1\n"),
}

DOTS = re.compile(rb"(Discovering Devices @ [^\r\n]* \.\.)\.+\r\n")


def start_sim(sim, scenario, work):
    ports = os.path.join(work, "ports")
    args = [sim, "--ports", ports]
    names = ["com1"]
    if scenario is not None:
        path = os.path.join(work, "scenario.txt")
        with open(path, "w", encoding="ascii") as f:
            f.write(scenario)
        args += ["--scenario", path]
        match = re.search(r"^ports = (.*)$", scenario, re.M)
        if match:
            names = match.group(1).split()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
    announced = b""
    # One readiness line per port, made once the whole bus is built.
    while not all(f"{n} -> ".encode() in announced for n in names):
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        chunk = os.read(proc.stdout.fileno(), 4096) if ready else b""
        if not chunk:
            proc.kill()
            proc.wait()
            raise SystemExit(f"tarnix-sim did not announce its ports: {announced!r}")
        announced += chunk
    return proc, ports


def stop_sim(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def read_value(path):
    with open(path, "rb") as f:
        data = f.read()
    (kind,) = struct.unpack_from("<I", data)
    return kind, data[4:]


def check_registry(registry):
    """After a discovery of the default bus: a key with the eight values for
    each controller in its application, none for the one in its bootloader."""
    base = os.path.join(registry, "software", "dorvik", "brevane", "network", "com1")
    problems = []
    keys = sorted(os.listdir(base)) if os.path.isdir(base) else []
    if keys != ["16", "17", "18", "20"]:
        problems.append(f"registry keys under com1: {keys}, expected 16, 17, 18, 20")
        return problems
    names = {"model%20number.v", "device%20name.v", "serial%20number.v", "hardware%20id.v",
             "software%20id.v", "release.v", "prototype.v", "build.v"}
    for key in keys:
        present = set(os.listdir(os.path.join(base, key)))
        if present != names:
            problems.append(f"values of com1\\{key}: {sorted(present)}")
    boiler = os.path.join(base, "16")
    expected = {
        "model%20number.v": (1, b"QD4010A-6AC1100\0"),
        "device%20name.v": (1, b"Boiler 1\0"),
        "serial%20number.v": (4, struct.pack("<i", 4410021)),
        "hardware%20id.v": (4, struct.pack("<i", 28)),
        "build.v": (4, struct.pack("<i", 172)),
    }
    for name, value in expected.items():
        got = read_value(os.path.join(boiler, name))
        if got != value:
            problems.append(f"com1\\16 {name}: {got!r}, expected {value!r}")
    return problems


def main(argv):
    flash, sim, case = argv
    scenario, args, stdin = CASES[case]
    with open(os.path.join(HERE, "expected", case + ".txt"), "rb") as f:
        expected = f.read()
    work = tempfile.mkdtemp(prefix="brevane-program-")
    proc = None
    try:
        env = dict(os.environ)
        env["BREVANE_REGISTRY"] = os.path.join(work, "registry")
        if scenario is False:
            env["BREVANE_PORTS"] = os.path.join(work, "ports")
            os.mkdir(env["BREVANE_PORTS"])
        else:
            proc, env["BREVANE_PORTS"] = start_sim(sim, scenario, work)
        run = subprocess.run([flash] + args, input=stdin.encode(), capture_output=True, env=env,
                             timeout=240, check=False)
        if proc is not None:
            stop_sim(proc)
            proc = None
        output = DOTS.sub(rb"\1.\r\n", run.stdout)
        problems = []
        if run.returncode != 0:
            problems.append(f"exit status {run.returncode}")
        if output != expected:
            problems.append("console output differs:\n--- expected\n" + repr(expected) +
                            "\n--- got\n" + repr(output))
        if case.startswith("default_bus"):
            problems += check_registry(env["BREVANE_REGISTRY"])
        if run.stderr:
            problems.append(f"standard error: {run.stderr!r}")
        for p in problems:
            print(p)
        return 1 if problems else 0
    finally:
        if proc is not None:
            proc.kill()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
