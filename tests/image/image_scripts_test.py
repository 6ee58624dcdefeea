#!/usr/bin/env python3
"""The placeholder image script and the block-table generator: the
placeholder is reproducible and valid in the firmware format, the generator
refuses every placeholder that does not fit the descriptor, and takes a release
image, which carries no header of ours, on its size alone."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

IMAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "image")
MAKE = os.path.join(IMAGE_DIR, "make_placeholder.py")
GEN = os.path.join(IMAGE_DIR, "gen_block_table.py")
DESCRIPTOR = ["--hardware-id", "28", "--revision", "14.00.180", "--blocks", "1904",
              "--block-size", "128"]
BASE = ["--base-address", "0x08003000"]


def run(*args):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, check=False)


class Placeholder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def make(self, name, *extra):
        path = os.path.join(self.dir.name, name)
        result = run(MAKE, path, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(path, "rb") as f:
            return f.read()

    def test_same_arguments_give_the_same_bytes(self):
        self.assertEqual(self.make("a.bin"), self.make("b.bin"))

    def test_holds_the_descriptor_in_the_firmware_format(self):
        data = self.make("p.bin")
        self.assertEqual(len(data), 1904 * 128)
        magic, fmt, hw, rel, proto, build, reserved, length = struct.unpack_from(
            "<4sBBBBHHI", data, 0x200)
        self.assertEqual((magic, fmt, hw, rel, proto, build, reserved, length),
                         (b"BVFW", 1, 28, 14, 0, 180, 0, 243712))
        (crc,) = struct.unpack_from("<I", data, 0x3B7FC)
        self.assertEqual(crc, zlib.crc32(data[:0x3B7FC]))
        stack, reset = struct.unpack_from("<II", data, 0)
        self.assertEqual(stack & 0xFFF00000, 0x20000000)
        self.assertEqual(reset & 1, 1)
        self.assertTrue(0x08003000 < reset < 0x0803E800)


class BlockTable(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.image = os.path.join(self.dir.name, "image.bin")
        self.assertEqual(run(MAKE, self.image).returncode, 0)
        with open(self.image, "rb") as f:
            self.data = bytearray(f.read())
        self.out = os.path.join(self.dir.name, "table.cpp")

    def generate(self, data, *descriptor):
        path = os.path.join(self.dir.name, "candidate.bin")
        with open(path, "wb") as f:
            f.write(data)
        return run(GEN, path, self.out, *(descriptor or DESCRIPTOR), *BASE)

    def assert_refused(self, result, reason):
        self.assertEqual(result.returncode, 1)
        self.assertIn(reason, result.stderr)
        self.assertFalse(os.path.exists(self.out), "a refused image must leave no table")

    def test_table_covers_the_flash_block_by_block(self):
        result = self.generate(bytes(self.data))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.out, encoding="ascii") as f:
            source = f.read()
        entries = [line for line in source.splitlines() if line.startswith("  {0x")]
        self.assertEqual(len(entries), 1904)
        self.assertEqual(entries[0], "  {0x08003000u, 128u, kImageBytes + 0},")
        self.assertEqual(entries[-1], "  {0x0803E780u, 128u, kImageBytes + 243584},")
        self.assertIn("kImageBytes[243712]", source)

    def test_refuses_an_image_of_another_size(self):
        self.assert_refused(self.generate(bytes(self.data[:-128])), "holds 243584 bytes")
        self.assert_refused(self.generate(bytes(self.data) + b"\0"), "holds 243713 bytes")

    def test_refuses_an_image_whose_crc_does_not_hold(self):
        self.data[0x1000] ^= 0x01
        self.assert_refused(self.generate(bytes(self.data)), "CRC-32")

    def test_refuses_an_image_without_header(self):
        self.data[0x200:0x204] = b"XXXX"
        self.assert_refused(self.generate(bytes(self.data)), "no firmware header")

    def test_refuses_an_image_for_other_hardware_or_revision(self):
        other = os.path.join(self.dir.name, "other.bin")
        self.assertEqual(run(MAKE, other, "--hardware-id", "25").returncode, 0)
        with open(other, "rb") as f:
            self.assert_refused(self.generate(f.read()), "hardware id 25")
        self.assertEqual(run(MAKE, other, "--revision", "14.00.181").returncode, 0)
        with open(other, "rb") as f:
            self.assert_refused(self.generate(f.read()), "revision 14.00.181")

    def table_bytes(self):
        with open(self.out, encoding="ascii") as f:
            source = f.read()
        body = source[source.index("kImageBytes[243712] = {") + len("kImageBytes[243712] = {"):]
        body = body[:body.index("};")]
        return bytes(int(v) for v in body.replace("\n", "").split(",") if v.strip())

    def test_release_image_is_taken_on_its_size_alone(self):
        # The device maker's bytes: no header of ours, no CRC of ours.
        release = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(243712))
        self.assertNotEqual(release[0x200:0x204], b"BVFW")
        result = self.generate(release, *DESCRIPTOR, "--release-image")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.table_bytes(), release)
        # The same bytes as a placeholder are refused.
        os.remove(self.out)
        self.assert_refused(self.generate(release), "no firmware header")

    def test_release_image_of_another_size_or_block_size_is_refused(self):
        release = bytes(243712)
        cases = [
            (release[:-1], DESCRIPTOR, "holds 243711 bytes"),
            (release + b"\0" * 128, DESCRIPTOR, "holds 243840 bytes"),
            (release, ["--hardware-id", "28", "--revision", "14.00.180", "--blocks", "952",
                       "--block-size", "256"], "block size 256"),
        ]
        for data, descriptor, reason in cases:
            with self.subTest(reason=reason):
                self.assert_refused(self.generate(data, *descriptor, "--release-image"), reason)

    def test_refuses_blocks_longer_than_the_block_message_carries(self):
        result = self.generate(bytes(self.data), "--hardware-id", "28", "--revision", "14.00.180",
                               "--blocks", "952", "--block-size", "256")
        self.assert_refused(result, "block size 256")


if __name__ == "__main__":
    unittest.main()
