#!/usr/bin/env python3
"""Makes the placeholder firmware image the build carries until a release image
is supplied: the controller's application flash from 0x08003000 on, in the
format described in README.md, with a filler that depends only on the
descriptor values, so the same arguments always give the same bytes.

Usage: make_placeholder.py OUT [--hardware-id 28] [--revision 14.00.180]
                               [--blocks 1904] [--block-size 128]
"""

import argparse
import struct
import sys
import zlib

HEADER_OFFSET = 0x200
MAGIC = b"BVFW"
HEADER_FORMAT = 1
# A Cortex-M vector table start: initial stack pointer at the top of RAM, and
# a reset address just past the header (odd: Thumb code).
INITIAL_STACK = 0x20008000
RESET_OFFSET = 0x211


def parse_revision(text):
    parts = text.split(".")
    if len(parts) != 3:
        raise ValueError(f"revision {text!r} is not RELEASE.PROTOTYPE.BUILD")
    release, prototype, build = (int(p, 10) for p in parts)
    if not (0 <= release <= 255 and 0 <= prototype <= 255 and 0 <= build <= 0xFFFF):
        raise ValueError(f"revision {text!r} is out of range")
    return release, prototype, build


def filler(length, seed):
    """xorshift32 octets; the seed is never 0, so the stream never sticks."""
    state = seed or 0x9E3779B9
    out = bytearray(length)
    for i in range(length):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out[i] = state & 0xFF
    return out


def build_image(hardware_id, release, prototype, build, blocks, block_size, base_address):
    length = blocks * block_size
    if length < HEADER_OFFSET + 16 + 4:
        raise ValueError(f"{length} bytes leave no room for the header and the CRC")
    seed = (hardware_id << 24) ^ (release << 16) ^ (prototype << 8) ^ build ^ 0x5A17C0DE
    image = filler(length, seed)
    struct.pack_into("<II", image, 0, INITIAL_STACK, base_address + RESET_OFFSET)
    struct.pack_into("<4sBBBBHHI", image, HEADER_OFFSET, MAGIC, HEADER_FORMAT, hardware_id,
                     release, prototype, build, 0, length)
    struct.pack_into("<I", image, length - 4, zlib.crc32(bytes(image[:length - 4])))
    return bytes(image)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--hardware-id", type=int, default=28)
    parser.add_argument("--revision", default="14.00.180")
    parser.add_argument("--blocks", type=int, default=1904)
    parser.add_argument("--block-size", type=int, default=128)
    parser.add_argument("--base-address", type=lambda s: int(s, 0), default=0x08003000)
    args = parser.parse_args(argv)
    try:
        release, prototype, build = parse_revision(args.revision)
        if not 0 <= args.hardware_id <= 255:
            raise ValueError(f"hardware id {args.hardware_id} is out of range")
        image = build_image(args.hardware_id, release, prototype, build, args.blocks,
                            args.block_size, args.base_address)
    except ValueError as error:
        print(f"make_placeholder.py: {error}", file=sys.stderr)
        return 2
    with open(args.out, "wb") as out:
        out.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
