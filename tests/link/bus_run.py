#!/usr/bin/env python3
"""Runs a program that uses the link against the emulated bus and checks the bus.

Starts tarnix-sim with two controllers (16 and 17) whose polls reach the PC's
addresses, waits until its port is linked, runs COMMAND with BREVANE_PORTS set
to the port directory and BREVANE_CAPTURE to WORK/link.pcap, stops the
emulator and then checks:

  - COMMAND exited 0 (request_loop checks its own outcomes);
  - every good reply of the controller to the PC on the bus holds exactly the
    bytes that COMMAND reports as its reply ("reply: 01 05 ..." on stdout);
  - the token never got lost after start-up: the bus was never silent for the
    no-token time (500 ms), the only way an MS/TP station decides the token is
    lost; so no station ran a token-creation poll cycle;
  - with --tshark: the link's own capture decodes with tshark as MS/TP, holds
    the PC's requests and the controller's replies, and no frame is malformed.

  bus_run.py --sim tarnix-sim --work DIR [--ports DIR] [--port NAME] [--corrupt RATE]
             [--seed N] [--tshark] [--soak] [--before-stop CMD] -- COMMAND...

--ports defaults to WORK/ports (a Wine prefix's dosdevices for a Windows
build); --before-stop runs once COMMAND has ended, before the emulator closes
its ports (Wine: "wineserver -k"). --usage-timeout-ms sets how long the
controllers wait for the PC to use a token before passing it again (50 ms by
default; Wine's serial emulation makes the PC's first frame after the token
late by tens of milliseconds). --port names the port link (com1 by default;
under Wine a number above those that Wine maps to the host's serial ports).
Exit status 0 when every check holds.
"""

import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

SCENARIO = """[bus]
ports = {port}
[controller]
address = 16
max_master = 20
usage_timeout_ms = {usage}
[controller]
address = 17
max_master = 20
usage_timeout_ms = {usage}
"""

NO_TOKEN_S = 0.5
CONTROLLER = 16


def header_crc(octets):
    crc = 0xFF
    for octet in octets:
        c = (crc ^ octet) & 0xFF
        t = 0
        for shift in range(8):
            t ^= c << shift
        crc = (t & 0xFE) ^ ((t >> 8) & 1)
    return crc


def data_crc(octets):
    crc = 0xFFFF
    for octet in octets:
        c = (crc ^ octet) & 0xFF
        crc = ((crc >> 8) ^ (c << 8) ^ (c << 3) ^ (c << 12) ^ (c >> 4) ^ (c & 0x0F)
               ^ ((c & 0x0F) << 7)) & 0xFFFF
    return crc


def read_pcap(path):
    """Records of a capture file as (seconds, octets)."""
    with open(path, "rb") as f:
        blob = f.read()
    magic, _, _, _, _, _, link_type = struct.unpack_from("<IHHiIII", blob, 0)
    if magic != 0xA1B2C3D4 or link_type != 165:
        raise ValueError(f"{path}: not a microsecond MS/TP capture")
    records, offset = [], 24
    while offset + 16 <= len(blob):
        sec, usec, incl, _ = struct.unpack_from("<IIII", blob, offset)
        offset += 16
        records.append((sec + usec / 1e6, blob[offset:offset + incl]))
        offset += incl
    return records


def good_frame(octets):
    """(type, destination, source, data) of a frame with good checksums, else None."""
    if len(octets) < 8 or octets[0] != 0x55 or octets[1] != 0xFF:
        return None
    if header_crc(octets[2:8]) != 0x55:
        return None
    length = octets[5] * 256 + octets[6]
    if length == 0:
        return (octets[2], octets[3], octets[4], b"") if len(octets) == 8 else None
    if len(octets) != 8 + length + 2 or data_crc(octets[8:]) != 0xF0B8:
        return None
    return octets[2], octets[3], octets[4], octets[8:8 + length]


def parse_args(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--ports")
    parser.add_argument("--corrupt", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--port", default="com1", help="name of the emulator's port link")
    parser.add_argument("--station", type=int, default=0)
    parser.add_argument("--usage-timeout-ms", type=int, default=50,
                        help="how long a controller waits for the PC to use the token it passed")
    parser.add_argument("--tshark", action="store_true")
    parser.add_argument("--soak", action="store_true",
                        help="append --seconds $BREVANE_SOAK_SECONDS (default 40) to COMMAND")
    parser.add_argument("--before-stop")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.command and args.command[0] == "--":
        args.command = args.command[1:]
    if not args.command:
        parser.error("no COMMAND given after --")
    if args.soak:
        args.command += ["--seconds", os.environ.get("BREVANE_SOAK_SECONDS", "40")]
    return args


def start_sim(args, ports):
    scenario = os.path.join(args.work, "scenario.txt")
    with open(scenario, "w") as f:
        f.write(SCENARIO.format(port=args.port, usage=args.usage_timeout_ms))
    command = [args.sim, "--ports", ports, "--scenario", scenario, "--seed", str(args.seed),
               "--pcap", os.path.join(args.work, "bus.pcap"),
               "--report", os.path.join(args.work, "report.json")]
    if args.corrupt > 0:
        command += ["--corrupt", str(args.corrupt)]
    sim = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    line = sim.stdout.readline()
    if not line.startswith(f"{args.port} -> "):
        sim.kill()
        raise RuntimeError(f"tarnix-sim did not announce its port: {line!r}")
    return sim


def check_bus(work, reply, station, failures):
    records = read_pcap(os.path.join(work, "bus.pcap"))
    replies = [f for f in (good_frame(r) for _, r in records)
               if f and f[0] == 6 and f[1] == station and f[2] == CONTROLLER]
    wrong = [f for f in replies if f[3] != reply]
    print(f"bus: {len(records)} frames, {len(replies)} good replies to {station}, "
          f"{len(wrong)} differ from the program's")
    if not replies or wrong:
        failures.append("the controller's replies on the bus differ from what the program got")
    # The ring is 0 -> 16 -> 17 -> 0: the PC must both get and pass the token.
    tokens = [(t, f) for t, r in records if (f := good_frame(r)) and f[0] == 0]
    passed = sum(1 for _, f in tokens if f[2] == station and f[1] == CONTROLLER)
    received = sum(1 for _, f in tokens if f[1] == station)
    print(f"bus: the PC passed the token {passed} times and received it {received} times")
    if passed == 0 or received == 0:
        failures.append("the token did not go round the PC")
        return
    # Silence between frames once the ring has formed (the PC's first pass).
    first = next(t for t, f in tokens if f[2] == station)
    times = [t for t, _ in records if t >= first]
    gap = max((b - a for a, b in zip(times, times[1:])), default=0.0)
    print(f"bus: longest silence between frames after the ring formed {gap * 1000:.1f} ms")
    if gap >= NO_TOKEN_S:
        failures.append(f"the bus was silent {gap * 1000:.0f} ms: the token was lost")


def check_capture(work, station, failures):
    capture = os.path.join(work, "link.pcap")
    records = read_pcap(capture)
    frames = [good_frame(r) for _, r in records]
    requests = sum(1 for f in frames if f and f[0] == 5 and f[2] == station and f[1] == CONTROLLER)
    replies = sum(1 for f in frames if f and f[0] == 6 and f[1] == station and f[2] == CONTROLLER)
    print(f"capture: {len(records)} records, {requests} requests, {replies} replies")
    if requests == 0 or replies == 0:
        failures.append("the link's capture lacks the requests or the replies")
    tshark = subprocess.run(
        ["tshark", "-r", capture, "--disable-protocol", "bacnet", "-T", "fields",
         "-e", "mstp.frame_type", "-e", "_ws.malformed", "-e", "_ws.expert.severity"],
        capture_output=True, text=True)
    if tshark.returncode != 0:
        failures.append(f"tshark failed: {tshark.stderr.strip()}")
        return
    lines = tshark.stdout.splitlines()
    types = [line.split("\t")[0] for line in lines]
    malformed = sum(1 for line in lines if "\t" in line and line.split("\t")[1])
    print(f"tshark: {len(lines)} frames, {types.count('5')} of type 5, {types.count('6')} of type 6, "
          f"{malformed} malformed")
    if len(lines) != len(records) or types.count("5") < requests or malformed:
        failures.append("tshark does not read the capture as the link's frames")


def main(argv):
    args = parse_args(argv)
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    ports = args.ports or os.path.join(args.work, "ports")
    sim = start_sim(args, ports)
    env = dict(os.environ, BREVANE_PORTS=ports, BREVANE_CAPTURE=os.path.join(args.work, "link.pcap"))
    started = time.monotonic()
    # Through a file, not a pipe: processes that Wine starts beside a program
    # inherit its output and would hold a pipe open until the server stops.
    output_path = os.path.join(args.work, "program.out")
    with open(output_path, "w") as output:
        returncode = subprocess.run(args.command, env=env, stdout=output).returncode
    with open(output_path) as output:
        stdout = output.read()
    sys.stdout.write(stdout)
    print(f"program ended with status {returncode} after {time.monotonic() - started:.1f} s")
    if args.before_stop:
        subprocess.run(args.before_stop, shell=True)
    sim.send_signal(signal.SIGTERM)
    sim.wait(timeout=30)

    failures = []
    if returncode != 0:
        failures.append(f"the program exited with {returncode}")
    match = re.search(r"^reply:((?: [0-9a-f]{2})*)$", stdout, re.M)
    if not match or not match.group(1):
        failures.append("the program reported no reply")
    else:
        check_bus(args.work, bytes.fromhex(match.group(1).replace(" ", "")), args.station, failures)
    if args.tshark:
        check_capture(args.work, args.station, failures)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
