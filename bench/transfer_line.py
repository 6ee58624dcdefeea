#!/usr/bin/env python3
"""How close a firmware transfer came to what the line allows, read from the
emulator's capture (tarnix-sim --pcap), so that any build of the tool can be
measured the same way: the native one, or the Windows one under Wine.

    bench/transfer_line.py CAPTURE [--controller 16] [--baud 38400]

Prints what bench_program prints for its own job: the transfer's time (first
block sent to the controller to its last block answer), the octets on the
line, the bus floor (octets x 10 bits / baud), their ratio, the PC's
turnaround after an answer (median and 99th percentile), and the silent line
by cause: the controller's answer delay, the 3 ms of silence before each
frame of the PC, the waits after polls for a master, the PC's own share
beyond those, and the rest.

The emulator stamps each frame when its first octet was complete; at the
line's speed the frame's first octet started one octet earlier and its last
one ended len - 1 octets later. Exits 1 when the capture holds no transfer.
"""

import argparse
import statistics
import struct
import sys

DATA_EXPECTING_REPLY = 5
DATA_NOT_EXPECTING_REPLY = 6
POLL_FOR_MASTER = 1
BLOCK_SERVICE = 0xED
HEADER_OCTETS = 8  # preamble, type, destination, source, length, header check
LINE_SILENCE_MS = 3.0  # the silence each frame of the PC waits for


class Frame:
    def __init__(self, stamp_us, octets, octet_us):
        self.octets = octets
        self.start = stamp_us - octet_us
        self.end = self.start + len(octets) * octet_us
        self.type = octets[2] if len(octets) > 2 else None
        self.dest = octets[3] if len(octets) > 3 else None
        self.src = octets[4] if len(octets) > 4 else None
        self.service = octets[HEADER_OCTETS + 1] if len(octets) > HEADER_OCTETS + 1 else None


def read_capture(path, octet_us):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 24:
        raise ValueError(f"{path}: too short for a capture")
    magic = struct.unpack_from("<I", data, 0)[0]
    if magic == 0xA1B2C3D4:
        order = "<"
    elif magic == 0xD4C3B2A1:
        order = ">"
    else:
        raise ValueError(f"{path}: not a capture with microsecond stamps")
    frames = []
    offset = 24
    while offset + 16 <= len(data):
        seconds, micros, kept, _ = struct.unpack_from(order + "IIII", data, offset)
        offset += 16
        octets = data[offset:offset + kept]
        offset += kept
        frames.append(Frame(seconds * 1_000_000 + micros, octets, octet_us))
    return frames


def percentile(values, share):
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[int(share * (len(ordered) - 1))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("capture")
    parser.add_argument("--controller", type=int, default=16)
    parser.add_argument("--baud", type=int, default=38400)
    args = parser.parse_args()
    octet_us = 10 * 1_000_000 / args.baud

    frames = read_capture(args.capture, octet_us)
    first = next((i for i, f in enumerate(frames)
                  if f.type == DATA_EXPECTING_REPLY and f.dest == args.controller
                  and f.service == BLOCK_SERVICE), None)
    last = None
    for i, f in enumerate(frames):
        if f.type == DATA_NOT_EXPECTING_REPLY and f.src == args.controller and f.service == BLOCK_SERVICE:
            last = i
    if first is None or last is None or last < first:
        print("no transfer in the capture")
        return 1

    pc = frames[first].src
    gaps = {"controller's answer delay": [], "3 ms silence before PC frames": [],
            "after a poll for a master": [], "PC's own share": [], "other": []}
    turnaround = []
    octets = 0
    for i in range(first, last + 1):
        octets += len(frames[i].octets)
        if i == last:
            break
        f, nxt = frames[i], frames[i + 1]
        ms = (nxt.start - f.end) / 1000.0
        if f.src == pc and f.type == POLL_FOR_MASTER:
            gaps["after a poll for a master"].append(ms)
        elif f.src == pc and f.dest == args.controller and f.type == DATA_EXPECTING_REPLY \
                and nxt.src == args.controller:
            gaps["controller's answer delay"].append(ms)
        elif nxt.src == pc:
            gate = min(max(ms, 0.0), LINE_SILENCE_MS)
            gaps["3 ms silence before PC frames"].append(gate)
            gaps["PC's own share"].append(ms - gate)
            if f.src == args.controller and f.dest == pc and f.type == DATA_NOT_EXPECTING_REPLY:
                turnaround.append(ms)
        else:
            gaps["other"].append(ms)

    seconds = (frames[last].end - frames[first].start) / 1e6
    floor = octets * 10 / args.baud
    print(f"transfer time           {seconds:.2f} s")
    print(f"octets on the line      {octets}")
    print(f"bus floor               {floor:.2f} s")
    print(f"ratio                   {seconds / floor:.3f}")
    print(f"PC turnaround, token    median {statistics.median(turnaround) if turnaround else 0:.2f} ms, "
          f"p99 {percentile(turnaround, 0.99):.2f} ms ({len(turnaround)} answers)")
    print("silent line, by cause:")
    for what, values in gaps.items():
        total = sum(values) / 1000.0
        print(f"  {what:<30} {len(values):5d} gaps  {total:6.2f} s  "
              f"{100.0 * total / floor:5.1f} % of the floor")
    return 0


if __name__ == "__main__":
    sys.exit(main())
