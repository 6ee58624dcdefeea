#!/usr/bin/env python3
"""Tests of pty_peer.py, the far end of a serial line for the port tests."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

PEER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pty_peer.py")

# Child programs that play the Windows program's part: they open the link
# by its path, as Wine does through dosdevices.
ECHO_CHECK = r"""
import os, select, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
sent = bytes(range(256)) * 16
os.write(fd, sent)
got = b""
while len(got) < len(sent):
    ready, _, _ = select.select([fd], [], [], 3)
    if not ready:
        break
    got += os.read(fd, 65536)
sys.exit(0 if got == sent else 1)
"""

WRITE_AND_LEAVE = r"""
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
for chunk in (b"\x55\xff\x05", b"\x06\x05\x00", b"\x03\xae\x00\x0d\x0a\x11\x13"):
    os.write(fd, chunk)
    time.sleep(0.05)
os.write(fd, b"last")
"""

SHOW_TARGET = r"""
import os, sys
print(os.path.realpath(sys.argv[1]))
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
sys.exit(0 if os.isatty(fd) else 1)
"""


class PtyPeerTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="pty-peer-")
        self.link = os.path.join(self.dir, "com3")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def peer(self, mode, command, *options):
        return subprocess.run([sys.executable, PEER, "--dir", self.dir, "--name", "com3",
                               "--mode", mode, *options, "--", *command],
                              capture_output=True, text=True, timeout=60)

    def test_echo_sends_every_octet_back_unchanged(self):
        result = self.peer("echo", [sys.executable, "-c", ECHO_CHECK, self.link])
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_record_keeps_every_octet_in_order_including_the_last_before_exit(self):
        out = os.path.join(self.dir, "line.bin")
        result = self.peer("record", [sys.executable, "-c", WRITE_AND_LEAVE, self.link],
                           "--out", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as line:
            self.assertEqual(line.read(),
                             b"\x55\xff\x05\x06\x05\x00\x03\xae\x00\x0d\x0a\x11\x13last")

    def test_record_sends_nothing_back(self):
        out = os.path.join(self.dir, "line.bin")
        silent = ("import os, select, sys\n"
                  "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                  "os.write(fd, b'ping')\n"
                  "sys.exit(0 if not select.select([fd], [], [], 0.5)[0] else 1)\n")
        result = self.peer("record", [sys.executable, "-c", silent, self.link], "--out", out)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_link_names_a_tty_while_the_command_runs_and_is_gone_afterwards(self):
        result = self.peer("echo", [sys.executable, "-c", SHOW_TARGET, self.link])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.strip().startswith("/dev/"), result.stdout)
        self.assertFalse(os.path.lexists(self.link))

    def test_stale_link_from_an_earlier_run_is_replaced(self):
        os.symlink("/dev/nonexistent-tty", self.link)
        result = self.peer("echo", [sys.executable, "-c", SHOW_TARGET, self.link])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("nonexistent", result.stdout)
        self.assertFalse(os.path.lexists(self.link))

    def test_file_that_is_not_a_link_is_left_alone_and_nothing_runs(self):
        with open(self.link, "w") as keep:
            keep.write("mine")
        marker = os.path.join(self.dir, "ran")
        result = self.peer("echo", ["touch", marker])
        self.assertEqual(result.returncode, 2)
        self.assertFalse(os.path.exists(marker))
        with open(self.link) as keep:
            self.assertEqual(keep.read(), "mine")

    def test_exit_status_of_the_command_is_passed_on(self):
        self.assertEqual(self.peer("echo", ["sh", "-c", "exit 7"]).returncode, 7)
        self.assertEqual(self.peer("echo", ["sh", "-c", "kill -TERM $$"]).returncode, 128 + 15)

    def test_before_close_runs_while_the_pty_is_still_linked(self):
        marker = os.path.join(self.dir, "seen")
        result = self.peer("echo", ["true"], "--before-close",
                           f"test -c {self.link} && touch {marker}")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.exists(marker))

    def test_record_without_an_output_file_is_refused(self):
        result = self.peer("record", ["true"])
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("--out", result.stderr)


if __name__ == "__main__":
    unittest.main()
