"""Runs the tarnix-sim program as a user would: ports, capture, report, exit.

Usage: sim_program_test.py PATH-TO-tarnix-sim
"""

import json
import os
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import time
import unittest

SIM = None


def start(args):
    proc = subprocess.Popen([SIM] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stdout], [], [], 10)
    if not ready:
        proc.kill()
        raise AssertionError("no readiness line within 10 s")
    return proc, proc.stdout.readline().strip()


def open_port(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0  # iflag
    attrs[1] = 0  # oflag
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    attrs[3] = 0  # lflag
    attrs[4] = attrs[5] = termios.B38400
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def read_for(fd, seconds):
    data = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            data += os.read(fd, 4096)
    return data


class ProgramTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarnix-sim-")
        self.ports = os.path.join(self.dir, "ports")
        self.pcap = os.path.join(self.dir, "bus.pcap")
        self.report = os.path.join(self.dir, "report.json")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_default_scenario_runs_for_its_duration_and_leaves_a_report_and_capture(self):
        proc, line = start(["--ports", self.ports, "--pcap", self.pcap, "--report", self.report,
                            "--duration", "3"])
        link = os.path.join(self.ports, "com1")
        self.assertRegex(line, r"^com1 -> /dev/pts/\d+$")
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.readlink(link), line.split(" -> ")[1])
        self.assertTrue(stat.S_ISCHR(os.stat(link).st_mode))

        fd = open_port(link)
        try:
            heard = read_for(fd, 1.0)
        finally:
            os.close(fd)
        self.assertIn(b"\x55\xff\x00", heard, "no token heard on the port")

        _, err = proc.communicate(timeout=15)
        self.assertEqual(proc.returncode, 0, err)
        self.assertFalse(os.path.lexists(link), "the link outlived the program")

        with open(self.report) as f:
            report = json.load(f)
        bus = report["bus"]
        self.assertAlmostEqual(bus["seconds"], 3, places=3)
        self.assertGreater(bus["frames"], 100)
        self.assertEqual(bus["bad_frames"], 0)
        self.assertEqual(bus["collided_octets"], 0)
        # The controllers wait out each other's driver release.
        self.assertEqual(bus["turnaround_damaged"], 0)
        self.assertEqual(bus["adapter"]["latency_ms"], 0)
        self.assertEqual(bus["ports"][0]["packets_out"], bus["ports"][0]["octets_out"])
        self.assertEqual(bus["pcap_records"], bus["frames"])
        self.assertEqual(bus["ports"][0]["name"], "com1")
        self.assertGreater(bus["ports"][0]["octets_out"], 0)
        self.assertGreaterEqual(len(report["controllers"]), 4)

        if shutil.which("tshark") is None:
            self.skipTest("tshark not installed")
        out = subprocess.run(
            ["tshark", "-r", self.pcap, "--disable-protocol", "bacnet", "-T", "fields",
             "-e", "frame.protocols", "-e", "mstp.frame_type", "-e", "mstp.src",
             "-e", "mstp.checksum.status"],
            capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual(len(out), bus["frames"])
        token_senders = set()
        for row in out:
            protocols, frame_type, source, status = row.split("\t")
            self.assertTrue(protocols.startswith("mstp"), row)
            self.assertNotIn("0", status.split(","), row)
            if frame_type == "0":
                token_senders.add(source)
        self.assertGreaterEqual(len(token_senders), 4, "the masters do not pass the token")

    def test_adapter_latency_hands_the_octets_over_in_packets(self):
        proc, _ = start(["--ports", self.ports, "--report", self.report, "--duration", "2.5",
                         "--adapter-latency", "16", "--adapter-packet", "20"])
        fd = open_port(os.path.join(self.ports, "com1"))
        try:
            heard = read_for(fd, 1.5)
        finally:
            os.close(fd)
        _, err = proc.communicate(timeout=15)
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn(b"\x55\xff\x00", heard, "no token heard on the port")
        with open(self.report) as f:
            bus = json.load(f)["bus"]
        self.assertEqual(bus["adapter"], {"latency_ms": 16, "packet": 20})
        port = bus["ports"][0]
        self.assertGreaterEqual(port["octets_out"], len(heard))
        # Tokens of 8 octets 1 to 2 ms apart: packets fill up, or gather for
        # 16 ms, never go one octet at a time.
        self.assertGreater(port["packets_out"], 0)
        self.assertLess(port["packets_out"] * 8, port["octets_out"])

    def test_sigterm_ends_the_run_with_a_report_and_no_link(self):
        proc, _ = start(["--ports", self.ports, "--report", self.report])
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=5)
        self.assertEqual(proc.returncode, 0, err)
        self.assertFalse(os.path.lexists(os.path.join(self.ports, "com1")))
        with open(self.report) as f:
            self.assertGreater(json.load(f)["bus"]["seconds"], 0.4)

    def test_sigusr1_writes_the_report_while_the_run_goes_on(self):
        proc, _ = start(["--ports", self.ports, "--report", self.report])
        try:
            time.sleep(0.5)
            proc.send_signal(signal.SIGUSR1)
            deadline = time.monotonic() + 5
            while not os.path.exists(self.report) and time.monotonic() < deadline:
                time.sleep(0.05)
            with open(self.report) as f:
                first = json.load(f)["bus"]["seconds"]
            self.assertIsNone(proc.poll(), "the run ended")
            self.assertFalse(os.path.exists(self.report + ".part"))
            time.sleep(0.5)
        finally:
            proc.send_signal(signal.SIGTERM)
            proc.communicate(timeout=5)
        with open(self.report) as f:
            self.assertGreater(json.load(f)["bus"]["seconds"], first + 0.4)

    def test_bad_command_line_is_refused_with_usage(self):
        result = subprocess.run([SIM, "--ports", self.ports, "--loss", "2"],
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 2)
        self.assertIn("bad value for --loss", result.stderr)
        self.assertIn("usage: tarnix-sim", result.stderr)


    def test_port_named_by_a_path_is_refused_and_the_file_there_left_alone(self):
        victim = os.path.join(self.dir, "victim")
        with open(victim, "w") as f:
            f.write("keep me")
        scenario = os.path.join(self.dir, "scenario.txt")
        with open(scenario, "w") as f:
            f.write("[bus]\nports = com1 ../victim\n[controller]\naddress = 16\n")
        result = subprocess.run([SIM, "--ports", self.ports, "--scenario", scenario, "--duration", "1"],
                                capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 2)
        self.assertIn(scenario + ":2: port name '../victim' is a path", result.stderr)
        with open(victim) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertFalse(os.path.lexists(os.path.join(self.ports, "com1")))

if __name__ == "__main__":
    SIM = sys.argv.pop(1)
    unittest.main(verbosity=2)
