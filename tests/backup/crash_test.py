#!/usr/bin/env python3
"""Kills a backup and a restore part-way with SIGKILL, as a crash or a power
cut would, and checks what they leave: a killed backup leaves no file under
the backup's name; a killed restore leaves the file, and the next run
restores every setting. The emulator's report is the judge.

Usage: crash_test.py SETTINGS_TOOL TARNIX_SIM
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

# Every answer 150 ms late, so that a run lasts long enough to be cut.
SCENARIO = """
[controller]
address = 16
serial = 4410021
name = Boiler 1
latency_ms = 150
"""
FILE = "QD4010A-6AC11004410021-31.qsv"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def start_sim(sim, work, ports, report, duration=None):
    scenario = os.path.join(work, "scenario.txt")
    with open(scenario, "w") as f:
        f.write(SCENARIO)
    args = [sim, "--ports", ports, "--scenario", scenario, "--report", report]
    if duration is not None:
        args += ["--duration", str(duration)]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if "->" not in line:
        fail("emulator did not announce its port: " + line)
    return proc


def controller(report):
    with open(report) as f:
        data = json.load(f)
    entries = data["controllers"] if isinstance(data, dict) else data
    return entries[0]


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    fail("timed out waiting for " + what)


def main():
    tool, sim = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="brevane-crash-") as work:
        ports = os.path.join(work, "ports")
        cwd = os.path.join(work, "cwd")
        os.makedirs(cwd)
        env = dict(os.environ, BREVANE_PORTS=ports)

        # The settings as the emulator starts them.
        reference = os.path.join(work, "reference.json")
        start_sim(sim, work, os.path.join(work, "ref-ports"), reference, duration=0.1).wait()
        start_digest = controller(reference)["settings_digest"]

        report = os.path.join(work, "report.json")
        bus = start_sim(sim, work, ports, report)
        try:
            def run(mode, kill_when=None):
                proc = subprocess.Popen([tool, mode], cwd=cwd, env=env, stdout=subprocess.PIPE)
                if kill_when is not None:
                    kill_when(proc)
                    proc.kill()
                    proc.wait()
                    return None
                out, _ = proc.communicate(timeout=300)
                return proc.returncode, out.decode(errors="replace")

            partial = os.path.join(cwd, FILE + ".tmp")
            final = os.path.join(cwd, FILE)

            # A backup killed once it has written some records.
            run("backup", lambda p: wait_for(
                lambda: os.path.exists(partial) and os.path.getsize(partial) > 0, 60,
                "the backup to write"))
            if os.path.exists(final):
                fail("a killed backup left a file under the final name")
            print("killed backup: no " + FILE + ", partial file of %d bytes" % os.path.getsize(partial))

            rc, out = run("backup")
            if rc != 0 or not os.path.exists(final) or os.path.exists(partial):
                fail("second backup: status %d, output %r" % (rc, out))
            backup = open(final, "rb").read()

            # A restore killed while it writes the records back.
            def after_restore_began(proc):
                text = b""
                while b"Restoring Device Settings..." not in text:
                    chunk = os.read(proc.stdout.fileno(), 256)
                    if not chunk:
                        fail("restore ended before it began: %r" % text)
                    text += chunk
                time.sleep(0.6)
            run("restore", after_restore_began)
            if not os.path.exists(final) or open(final, "rb").read() != backup:
                fail("a killed restore did not leave the backup file as it was")
            print("killed restore: " + FILE + " kept")

            rc, out = run("restore")
            if rc != 0 or os.path.exists(final):
                fail("second restore: status %d, output %r" % (rc, out))
        finally:
            bus.send_signal(signal.SIGTERM)
            bus.wait(timeout=30)

        entry = controller(report)
        if entry["settings_changed"]:
            fail("settings differ after the restore: %s" % entry["settings_changed"])
        if entry["settings_digest"] != start_digest:
            fail("digest %s, expected %s" % (entry["settings_digest"], start_digest))
        print("restored: digest %s, no setting changed" % start_digest)


if __name__ == "__main__":
    main()
