#!/usr/bin/env python3
"""Runs brevane-flash as an operator would, against tarnix-sim through
pseudo-terminals: the menus are fed on standard input (or the run is
interrupted once its output reaches a text), the console output is compared
byte for byte with the expected text in expected/CASE.txt (or checked by the
case itself), the exit status and standard error with the case's, the run
report of a run given -r is read as JSON and checked, and after a run that
updates devices the emulator's report is checked controller by controller.
After every run with the emulator, its report must show no frame started on
the line within a controller's driver release time after its last octet.

Standard output is a pipe here, so the program writes plain lines: LF line
ends, no control octet but LF and TAB, "^" for the upgrade mark. Output that
depends on timing is normalised before the comparison: each run of progress
dots ("Discovering Devices @ PORT ..", "Backing up Device Settings...",
"Restoring Device Settings..."; in lines of a few dots, each begun by its
first) is compared as the bare text, the lines
"Programming: NN%" as the first and the last (each at least 5 points from the
one before, but the last), and the lines of a long wait ("Waiting for
... (N s)") are left out. A case marked `paced` must also keep the lines
coming: no gap over 6 s between two of them.

Usage: program_test.py BREVANE_FLASH TARNIX_SIM IMAGE_FILE CASE
       program_test.py --judge CASE WORK_DIR EXIT_STATUS
"""

import dataclasses
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))

# The emulator's built-in bus, written out so that it can carry the image
# every programmed flash is compared with.
DEFAULT_BUS = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4410021
model = QD4010A-6AC1100
name = Boiler 1

[controller]
address = 17
max_master = 20
version = 14.00.180
serial = 4410388
model = QD4010A-6AC1100
name = Boiler 2

[controller]
address = 18
max_master = 20
hardware_id = 23
version = 9.02.41
serial = 3120977
model = QM2200B-4AA0100
name = Chiller loop

[controller]
address = 19
max_master = 20
version = 14.00.164
serial = 4409876
model = QD4020A-6AD1200
name = Dryer
start = bootloader

[controller]
address = 20
max_master = 20
hardware_id = 25
version = 11.01.77
serial = 5201143
model = QT1100C-2BA0010
name = Tank level
"""

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

# One port: a controller that needs the image and one that has it.
TWO_CONTROLLERS = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4410021
name = Boiler 1

[controller]
address = 17
max_master = 20
serial = 4410388
name = Boiler 2
"""

# The standard bus address 16 is taken, and so are 17 and 18: the device at
# 16 has to make way, to the lowest free address, while 20 is programmed.
ADDRESS_TAKEN = """
[controller]
address = 16
max_master = 20
serial = 4410016
name = Boiler 16

[controller]
address = 17
max_master = 20
serial = 4410017
name = Boiler 17

[controller]
address = 18
max_master = 20
serial = 4410018
name = Boiler 18

[controller]
address = 20
max_master = 20
version = 14.00.172
serial = 4410020
name = Boiler 20
"""

# A controller that comes back from its update at the standard address,
# speaking Modbus, with its settings back at their factory values.
MOVED_TO_MODBUS = """
[controller]
address = 17
max_master = 20
version = 14.00.172
serial = 4410388
name = Boiler 2
after_update_address = standard
after_update_protocol = modbus
after_update_settings = lose
"""

# A controller that comes back from its update with the bootloader's
# placeholder as its model number and its settings at their factory values.
PLACEHOLDER_MODEL = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4410021
name = Boiler 1
after_update_model = placeholder
after_update_settings = lose
"""

# The same controller as an earlier discovery saw it, and then stuck in its
# bootloader with its flash erased, coming back with the placeholder model.
STUCK_BEFORE = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4410021
name = Boiler 1
"""
STUCK = STUCK_BEFORE + """start = bootloader
after_update_model = placeholder
"""

# The default bus, with the controller at 16 switched off for ten minutes
# when its last block arrives: it never comes back while the tool runs.
NEVER_BACK = DEFAULT_BUS.replace("name = Boiler 1\n", """name = Boiler 1
power_cut_at = block 1903
power_off_ms = 600000
""", 1)

# A controller alone on its port.
LONE_AT_17 = """
[controller]
address = 17
max_master = 20
version = 14.00.172
serial = 4410388
name = Boiler 2
"""

# A controller that answers a block of the transfer with a programming error.
PROGRAMMING_ERROR = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4410021
name = Boiler 1
program_error_block = 10
"""

# A bus on which nothing answers the tool.
SILENT = """
[controller]
address = 16
silent = yes
"""

# Three controllers that the carried firmware fits (one already runs it) and
# a bystander of other hardware between them.
THREE_AND_A_BYSTANDER = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4410021
name = Boiler 1

[controller]
address = 17
max_master = 20
serial = 4410388
name = Boiler 2

[controller]
address = 18
max_master = 20
hardware_id = 23
version = 9.02.41
serial = 3120977
model = QM2200B-4AA0100
name = Chiller loop

[controller]
address = 20
max_master = 20
version = 14.00.164
serial = 4410020
name = Boiler 20
"""

# The second bus of a run over two ports: one controller that needs the
# carried firmware and one that runs it already.
SECOND_BUS = """
[controller]
address = 16
max_master = 20
version = 14.00.164
serial = 4420016
name = Boiler east

[controller]
address = 18
max_master = 20
serial = 4420018
name = Boiler west
"""

# The third bus of the run over three ports: three controllers, one on the
# others' standard bus address.
THIRD_BUS = """
[controller]
address = 16
max_master = 20
version = 14.00.172
serial = 4430016
name = Tank 1

[controller]
address = 17
max_master = 20
version = 14.00.164
serial = 4430017
name = Tank 2

[controller]
address = 19
max_master = 20
version = 14.00.172
serial = 4430019
name = Tank 4
"""

BANNER = "Brevane(TM) Flash Loader PC Application 0.14.16\n"


@dataclass
class Case:
    # Scenario text; None: the built-in bus; False: no emulator at all.
    scenario: object
    args: list
    stdin: str
    status: int = 0
    # Controllers that the run programs, by their address at the start, with
    # what the report must say of them afterwards beyond the new version and
    # flash; every other controller of the scenario must be as it started.
    programmed: dict = field(default_factory=dict)
    # Further checks of the run: (work directory, report, capture) -> problems.
    check: Optional[Callable] = None
    # Runs before the program, in the work directory: (case, env, sim) -> problems.
    prepare: Optional[Callable] = None
    # Controllers, by address, that the run leaves switched off; every other
    # controller must be as it started.
    switched_off: list = field(default_factory=list)
    # What standard error must hold, as a pattern of the whole text; None:
    # nothing at all.
    stderr: Optional[str] = None
    # False: the output is judged by `output` alone, with no expected text.
    transcript: bool = True
    # Checks of the console output: stdout -> problems.
    output: Optional[Callable] = None
    # Seconds the run may take at most.
    within: Optional[float] = None
    # Interrupted (SIGINT) once its output holds this text.
    interrupt_at: Optional[bytes] = None
    # Checks of the run report that the run wrote to WORK/run.json (args
    # name it as -r{work}/run.json): report -> problems.
    run_report: Optional[Callable] = None
    # No gap over MAX_LINE_GAP seconds between two lines of the output.
    paced: bool = False
    # More emulated buses, each behind its own port (com2, com3...): its
    # scenario text and what the run programs there, as `programmed` says
    # for the first.
    more_buses: tuple = ()


def check_address_moved_and_back(work, report, capture):
    """The device at 16 was moved to 19 for the update and back afterwards."""
    moves = [(dest, data[6]) for src, dest, kind, data in capture
             if src < 4 and kind == 5 and data[:6] == bytes([1, 4, 17, 1, 1, 1])]
    # Zone 4 is station 19, zone 1 station 16.
    if moves != [(16, 4), (19, 1)]:
        return [f"address changes sent (station, zone): {moves}, expected [(16, 4), (19, 1)]"]
    return []


def backup_file(serial):
    return f"QD4010A-6AC1100{serial}-31.qsv"


def check_no_backup_left(work, report, capture):
    left = [n for n in os.listdir(work) if n.endswith(".qsv")]
    return [f"backup files left behind: {left}"] if left else []


def check_nothing_sent_after_the_error(work, report, capture):
    """After the controller answered a block with its programming error the
    PC sends it no message (frame types 5 and 6); token passes and polls for
    a master are the link's own, and the port's close hands the token on."""
    error = next((i for i, (src, _, _, data) in enumerate(capture)
                  if src == 16 and len(data) > 1 and data[1] == 0x8A), None)
    if error is None:
        return ["no programming error answer in the capture"]
    pc = capture[error][1]
    late = [data[:2].hex() for src, dest, kind, data in capture[error + 1:]
            if src == pc and dest == 16 and kind in (5, 6)]
    return [f"messages to the station after its programming error answer: {late}"] if late else []


def error_then_summary(out):
    """The error's three lines, then the closing summary of the run."""
    lines = (b"PROGRAMMING ERROR (0x8A)\nPlease Power Cycle The Unit and Restart This "
             b"Application.\n")
    at = out.find(lines)
    if at < 0:
        return [f"output {out!r}"]
    if b"\nSummary:\n" not in out[at:]:
        return [f"no summary after the programming error: {out[at:]!r}"]
    return []


def prepare_stuck(case, env, sim):
    """A discovery while the controller ran its application filed its
    identity; a backup of it was left behind, holding a changed setting."""
    report = os.path.join(env["WORK"], "discovery-report.json")
    proc, ports = start_sim(sim, STUCK_BEFORE, env["WORK"], ["--report", report])
    try:
        run = subprocess.run([env["FLASH"]], input=b"1\n9\n", capture_output=True,
                             env=dict(env, BREVANE_PORTS=ports), cwd=env["WORK"], timeout=120,
                             check=False)
    finally:
        stop_sim(proc)
    with open(report, encoding="utf-8") as f:
        problems = [f"discovery run: {p}" for p in check_turnaround(json.load(f))]
    # Loop 1's proportional band (class 2, instance 1, member 2, type 3) at 135.
    payload = bytes([2, 1, 1, 2, 3, 0, 135])
    with open(os.path.join(env["WORK"], backup_file(4410021)), "wb") as f:
        f.write(struct.pack("<H", len(payload)) + payload)
    if run.returncode != 0:
        problems.append(f"discovery run ended with {run.returncode}")
    return problems


def check_usage(stdout):
    """The usage text names every option, the environment and the exit statuses."""
    text = stdout.decode("ascii", "replace")
    wanted = ["-cPORT", "-aADDRESS", "-bNO", "-fNO", "-vYES", "-rFILE", "-lFILE", "--help",
              "BREVANE_BACKUPS", "BREVANE_PORTS", "Exit status", "130"]
    return [f"usage text without {w!r}" for w in wanted if w not in text]


def check_nothing_printed(stdout):
    return [f"output {stdout!r}"] if stdout else []


def report_problems(report, status, outcomes):
    """The report's run fields, and its devices' outcomes in order."""
    problems = []
    for key, kind in (("tool_version", str), ("image_version", str), ("start", str),
                      ("end", str), ("exit_status", int), ("interrupted", bool),
                      ("devices", list)):
        if not isinstance(report.get(key), kind):
            problems.append(f"report field {key}: {report.get(key)!r}")
    if problems:
        return problems
    if report["tool_version"] != "0.14.16" or report["image_version"] != "14.00.180":
        problems.append(f"versions {report['tool_version']}, {report['image_version']}")
    if not report["start"] <= report["end"] or not re.fullmatch(
            r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", report["end"]):
        problems.append(f"times {report['start']} to {report['end']}")
    if report["exit_status"] != status or report["interrupted"] != (status == 130):
        problems.append(f"exit status {report['exit_status']}, interrupted "
                        f"{report['interrupted']}; the run ended with {status}")
    got = [d.get("outcome") for d in report["devices"]]
    if got != outcomes:
        problems.append(f"outcomes {got}, expected {outcomes}")
    for device in report["devices"]:
        phases = device.get("phases", {})
        if sorted(phases) != ["backup", "finding_again", "programming", "restore"] or not all(
                isinstance(p.get("outcome"), str) and isinstance(p.get("seconds"), (int, float))
                for p in phases.values()):
            problems.append(f"phases {phases}")
    return problems


def phase_problems(device, wanted):
    """Each phase's outcome as wanted, with time spent in it when it ran."""
    problems = []
    for name, outcome in wanted.items():
        phase = device["phases"][name]
        ran = outcome not in ("not taken", "not started", "not reached")
        if phase["outcome"] != outcome or (phase["seconds"] <= 0 if ran else phase["seconds"] > 1):
            problems.append(f"phase {name}: {phase}, expected {outcome}")
    return problems


def report_of_the_update(report):
    problems = report_problems(report, 0, ["updated"])
    if problems:
        return problems
    device = report["devices"][0]
    wanted = {"port": "Com1", "address": 16, "zone": 1, "model": "QD4010A-6AC1100",
              "serial": 4410021, "name": "Boiler 1", "version_before": "14.00.172",
              "version_after": "14.00.180", "backup_file": backup_file(4410021),
              "backup_kept": False}
    problems += [f"device {k}: {device.get(k)!r}, expected {v!r}" for k, v in wanted.items()
                 if device.get(k) != v]
    return problems + phase_problems(device, {"backup": "complete", "programming": "done",
                                              "finding_again": "found", "restore": "complete"})


def report_of_the_lost_device(report):
    problems = report_problems(report, 3, ["not found after programming"])
    if problems:
        return problems
    device = report["devices"][0]
    if device["version_after"] is not None:
        problems.append(f"version after {device['version_after']!r}")
    return problems + phase_problems(device, {"backup": "not taken", "programming": "device lost",
                                              "finding_again": "not found",
                                              "restore": "not taken"})


def report_of_the_interrupt(report):
    problems = report_problems(report, 130, ["not updated: interrupted"])
    if problems:
        return problems
    device = report["devices"][0]
    return problems + phase_problems(device, {"programming": "not started",
                                              "finding_again": "not reached",
                                              "restore": "not taken"})


def report_of_the_programming_error(report):
    problems = report_problems(report, 4, ["programming failed"])
    if problems:
        return problems
    device = report["devices"][0]
    if device["backup_file"] != backup_file(4410021) or device["backup_kept"] is not True:
        problems.append(f"backup {device['backup_file']!r}, kept {device['backup_kept']!r}")
    return problems + phase_problems(device, {"backup": "complete",
                                              "programming": "programming error",
                                              "finding_again": "not reached",
                                              "restore": "not taken"})


def report_of_nothing(report):
    return report_problems(report, 2, [])


def report_of_all_three(report):
    problems = report_problems(report, 0, ["updated"] * 3)
    if problems:
        return problems
    got = [(d["port"], d["address"], d["serial"]) for d in report["devices"]]
    wanted = [("Com1", 16, 4410021), ("Com1", 17, 4410388), ("Com1", 20, 4410020)]
    return [f"devices {got}, expected {wanted}"] if got != wanted else []


def report_of_the_gaps(report):
    """The controller at 16 updated; 21, asked for, not found and noted in
    its own entry; Com7 noted as not opened."""
    problems = report_problems(report, 3, ["updated", "not found at discovery"])
    if problems:
        return problems
    missing = report["devices"][1]
    wanted = {"port": "Com1", "address": 21, "zone": 6, "model": None, "serial": None,
              "version_before": None, "version_after": None, "backup_file": None}
    problems += [f"missing entry {k}: {missing.get(k)!r}, expected {v!r}"
                 for k, v in wanted.items() if missing.get(k) != v]
    problems += phase_problems(missing, {"backup": "not taken", "programming": "not started",
                                         "finding_again": "not reached", "restore": "not taken"})
    ports = report.get("ports_not_opened")
    if not (isinstance(ports, list) and len(ports) == 1 and ports[0].get("port") == "Com7"
            and ports[0].get("why")):
        problems.append(f"ports_not_opened {ports!r}")
    return problems


def report_of_two_ports(report):
    problems = report_problems(report, 0, ["updated"] * 2)
    if problems:
        return problems
    got = [(d["port"], d["address"], d["serial"]) for d in report["devices"]]
    wanted = [("Com1", 16, 4410021), ("Com2", 16, 4420016)]
    return [f"devices {got}, expected {wanted}"] if got != wanted else []


def summary_says(*lines):
    """The output ends with a summary holding these lines (patterns), in order."""
    def check(stdout):
        text = stdout.decode("ascii", "replace")
        summary = text[text.rfind("\nSummary:\n"):]
        if not summary:
            return ["no summary"]
        got = [line for line in summary.split("\n")[2:] if line]
        if len(got) != len(lines) or not all(re.fullmatch(p, g) for p, g in zip(lines, got)):
            return [f"summary {got!r}, expected {list(lines)!r}"]
        return []
    return check


CASES = {
    # No device processed.
    "default_bus_invalid_choice": Case(None, ["-vyes"], "1\n9\n"),
    "ports_3_and_12_rescan_and_next_port": Case(TWO_PORTS, [], "2\n5\n6\n9\n"),
    "ports_3_and_12_scan_all": Case(TWO_PORTS, [], "0\n9\n"),
    "no_devices_next_port_and_quit": Case(SILENT, [], "x\n1\n2\n3\n"),
    "no_ports_rescan_and_quit": Case(False, [], "1\n2\n"),
    "no_ports_end_of_input": Case(False, [], ""),
    "end_of_input_at_the_device_menu": Case(None, [], "1\n"),
    # Unattended runs that end with 2 or 3 say why, in one line on standard error.
    "unattended_without_a_match_ends_silently": Case(
        None, ["-vYES", "-cCom1", "-a21"], "1\n", 2,
        stderr=r"brevane-flash: nothing updated: no controller that the carried firmware fits was "
               r"found at station address 21 on Com1 \(3 found at other addresses\)\n"),
    "unattended_port_that_does_not_open": Case(
        False, ["-cCom7", "-a16"], "", 2,
        stderr=r"brevane-flash: nothing updated: Com7 could not be opened [^\n]*\n"),
    # The devices an unattended run saw are filed as a discovery from the
    # menus files them: a later run can restore the identity of one that the
    # update left in its bootloader.
    "default_bus_unattended_files_what_it_found": Case(
        None, ["-cCom1", "-a21"], "", 2,
        stderr=r"brevane-flash: nothing updated: [^\n]* at station address 21 on Com1 [^\n]*\n"),
    # The one controller on the port is not the one asked for (the one asked
    # for may have missed the discovery): nothing is updated.
    # An early end still writes the run report.
    "unattended_another_address_is_not_taken": Case(
        LONE_AT_17, ["-cCom1", "-a18", "-r{work}/run.json"], "", 2,
        stderr=r"brevane-flash: nothing updated: [^\n]* address 18 on Com1 \(1 found[^\n]*\n",
        run_report=report_of_nothing),
    # Help and a refused value end at once, before any port is opened.
    "help": Case(False, ["-cCom1", "--help"], "", 0, transcript=False, output=check_usage,
                 within=1),
    "address_out_of_range_is_refused": Case(
        None, ["-cCom1", "-a999"], "", 2, transcript=False, output=check_nothing_printed,
        within=1, stderr=r"brevane-flash: -a999: [^\n]*4 to 32[^\n]*\n"),
    # A programming error ends an unattended run (the device waits for a power
    # cycle): nothing more is sent to the device, the run closes with its
    # summary, and the report is written all the same and keeps the backup.
    "programming_error_ends_the_run": Case(
        PROGRAMMING_ERROR, ["-cCom1", "-a16", "-r{work}/run.json"], "", 4, transcript=False,
        output=error_then_summary, run_report=report_of_the_programming_error,
        check=check_nothing_sent_after_the_error),
    # Interrupted while the settings are backed up: the report of the run says so.
    "unattended_interrupted_in_the_backup": Case(
        None, ["-cCom1", "-a16", "-r{work}/run.json"], "", 130, transcript=False,
        interrupt_at=b"Backing up Device Settings", run_report=report_of_the_interrupt,
        check=check_no_backup_left),
    # Lists: refused when malformed, before anything else happens.
    "address_list_out_of_range_is_refused": Case(
        None, ["-cCom1", "-a16,99"], "", 2, transcript=False, output=check_nothing_printed,
        within=1, stderr=r"brevane-flash: -a16,99: 99 [^\n]*4 to 32[^\n]*\n"),
    # No address of the list answers: nothing at all to update, and no other
    # controller is taken instead; the port that does not open is said.
    "unattended_list_finds_nothing": Case(
        LONE_AT_17, ["-cCom1,Com7", "-a18,21", "-r{work}/run.json"], "", 2, transcript=False,
        output=lambda out: [] if (b"station address 18 (zone 3) on Com1" in out and
                                  b"station address 21 (zone 6) on Com1" in out and
                                  b"Can't open Com7: " in out and b"Summary" not in out)
        else [f"output {out!r}"],
        stderr=r"brevane-flash: nothing updated: no controller asked for was found on the ports "
               r"that opened \(addresses not found: 2, ports not opened: 1\)\n",
        run_report=lambda report: report_problems(
            report, 2, ["not found at discovery", "not found at discovery"])),
    # One address on several ports is looked for on each.
    "unattended_one_address_on_two_ports": Case(
        LONE_AT_17, ["-cCom1,Com7", "-a18"], "", 2, transcript=False,
        output=lambda out: [] if (b"station address 18 (zone 3) on Com1" in out and
                                  b"Can't open Com7: " in out) else [f"output {out!r}"],
        stderr=r"brevane-flash: nothing updated: no controller asked for was found on the ports "
               r"that opened \(addresses not found: 1, ports not opened: 1\)\n"),
    # Whole updates.
    "default_bus_one_device": Case(None, [], "1\n1\n", programmed={16: {}},
                                   check=check_no_backup_left),
    "unattended_selects_the_given_address": Case(None, ["-cCom1", "-a16", "-vyes"], "",
                                                 programmed={16: {}},
                                                 check=check_no_backup_left, paced=True),
    # Without backup and defaults write, so that the settings stay as they are.
    # Both at once: the one on the other's standard address is moved off for
    # the other's turn, back, and then updated itself.
    "two_controllers_all": Case(
        TWO_CONTROLLERS, ["-bNO", "-fNO"], "1\n3\n", programmed={16: {}, 17: {}},
        transcript=False,
        output=summary_says(r"ZONE  1   QD4010A-6AC1100     4410021  14\.00\.172 -> 14\.00\.180  updated",
                            r"ZONE  2   QD4010A-6AC1100     4410388  14\.00\.180 -> 14\.00\.180  updated")),
    "two_controllers_upgrade_only": Case(TWO_CONTROLLERS, ["-bNO", "-fNO"], "1\n4\n",
                                         programmed={16: {}}),
    "standard_address_taken": Case(ADDRESS_TAKEN, ["-cCom1", "-a20", "-bNO", "-fNO"], "",
                                   programmed={20: {}}, check=check_address_moved_and_back),
    "back_at_the_standard_address_in_modbus": Case(
        MOVED_TO_MODBUS, ["-cCom1", "-a17"], "",
        # The restored communication settings put it back where it was.
        programmed={17: {"address": 17, "protocol": "tarnix"}}, check=check_no_backup_left),
    "back_with_a_placeholder_model": Case(PLACEHOLDER_MODEL, ["-cCom1", "-a16", "-r{work}/run.json"],
                                          "", programmed={16: {}}, check=check_no_backup_left,
                                          run_report=report_of_the_update),
    "stuck_in_the_bootloader": Case(
        STUCK, ["-cCom1", "-a16", "-fNO"], "",
        programmed={16: {"settings_changed": ["2.1.2"]}},
        check=check_no_backup_left, prepare=prepare_stuck),
    # The programmed controller loses its power at the last block and stays
    # off: the tool gives up on it, asks for a power cycle and, with standard
    # input at its end, closes with the device not found. The controller at
    # 19, stuck in its bootloader all along, is not programmed in its place.
    # Every controller that the carried firmware fits, one after another;
    # the bystander of other hardware is left alone.
    "unattended_all_updates_every_fitting_controller": Case(
        THREE_AND_A_BYSTANDER, ["-cCom1", "-aALL", "-bNO", "-fNO", "-r{work}/run.json"], "",
        programmed={16: {}, 17: {}, 20: {}}, transcript=False,
        output=summary_says(r"ZONE  1   QD4010A-6AC1100     4410021  14\.00\.172 -> 14\.00\.180  updated",
                            r"ZONE  2   QD4010A-6AC1100     4410388  14\.00\.180 -> 14\.00\.180  updated",
                            r"ZONE  5   QD4010A-6AC1100     4410020  14\.00\.164 -> 14\.00\.180  updated"),
        run_report=report_of_all_three),
    # Two ports, each its own bus: only the controllers with older firmware.
    "unattended_two_ports_upgrade_only": Case(
        TWO_CONTROLLERS, ["-cCom1,Com2", "-aUPGRADE", "-bNO", "-fNO", "-r{work}/run.json"], "",
        programmed={16: {}}, more_buses=((SECOND_BUS, {16: {}}),),
        transcript=False,
        output=summary_says(r"ZONE  1   QD4010A-6AC1100     4410021  14\.00\.172 -> 14\.00\.180  updated",
                            r"ZONE  1   QD4010A-6AC1100     4420016  14\.00\.164 -> 14\.00\.180  updated"),
        run_report=report_of_two_ports),
    # Three ports at once, every controller the image fits, with the backups
    # and the factory-settings write: each bus's pipeline runs beside the
    # others, and every controller ends with its settings, identity and
    # address as they were.
    "unattended_three_buses_all": Case(
        TWO_CONTROLLERS, ["-cCom1,Com2,Com3", "-aALL"], "",
        programmed={16: {}, 17: {}}, more_buses=((SECOND_BUS, {16: {}, 18: {}}),
                                                  (THIRD_BUS, {16: {}, 17: {}, 19: {}})),
        transcript=False, check=check_no_backup_left,
        output=summary_says(r"ZONE  1   QD4010A-6AC1100     4410021  14\.00\.172 -> 14\.00\.180  updated",
                            r"ZONE  2   QD4010A-6AC1100     4410388  14\.00\.180 -> 14\.00\.180  updated",
                            r"ZONE  1   QD4010A-6AC1100     4420016  14\.00\.164 -> 14\.00\.180  updated",
                            r"ZONE  3   QD4010A-6AC1100     4420018  14\.00\.180 -> 14\.00\.180  updated",
                            r"ZONE  1   QD4010A-6AC1100     4430016  14\.00\.172 -> 14\.00\.180  updated",
                            r"ZONE  2   QD4010A-6AC1100     4430017  14\.00\.164 -> 14\.00\.180  updated",
                            r"ZONE  4   QD4010A-6AC1100     4430019  14\.00\.172 -> 14\.00\.180  updated")),
    # An address of the list that is not there is never replaced by another
    # controller (17 stays as it was): the summary, the run report, the exit
    # status and standard error say it, as they say the port that did not open.
    "unattended_list_with_an_absent_address": Case(
        TWO_CONTROLLERS, ["-cCom1,Com7", "-a16,21", "-bNO", "-fNO", "-r{work}/run.json"], "", 3,
        programmed={16: {}}, transcript=False,
        output=summary_says(
            r"ZONE  1   QD4010A-6AC1100     4410021  14\.00\.172 -> 14\.00\.180  updated",
            r"ZONE  6 {32}--\.--\.-- -> --\.--\.--  not found at discovery \(Com1\)",
            r"Com7 {35}--\.--\.-- -> --\.--\.--  not updated: the port could not be opened "
            r"\([^)]+\)"),
        stderr=r"brevane-flash: not updated completely: station address 21 on Com1: not found at "
               r"discovery\n",
        run_report=report_of_the_gaps),
    "never_comes_back": Case(
        NEVER_BACK, ["-cCom1", "-a16", "-bNO", "-fNO", "-r{work}/run.json"], "", 3,
        switched_off=[16], run_report=report_of_the_lost_device,
        stderr=r"brevane-flash: not updated completely: ZONE 1 QD4010A-6AC1100 4410021 on Com1: "
               r"not found after programming\n"),
}

# In a pipe the dots go in lines, each begun by its first dot.
DOTS = re.compile(rb"(Discovering Devices @ [^\n]* \.\.)\.(?:\.|\n\.)*\n")
SETTINGS_DOTS = re.compile(rb"((?:Backing up|Restoring) Device Settings\.\.\.)(?:\.|\n\.)*")
WAITING = re.compile(rb"^Waiting for [^\n]* \(\d+ s\)\n", re.M)
PROGRESS = re.compile(rb"^Programming: 0%\n((?:Programming: \d+%\n)*)", re.M)
PROGRESS_STEP = 5
MAX_LINE_GAP = 6.0


def normalise(output, problems):
    bad = sorted({b for b in output if (b < 0x20 and b not in b"\n\t") or b == 0x7f})
    if bad:
        problems.append(f"control octets in the output: {[hex(b) for b in bad]}")
    output = DOTS.sub(rb"\1.\n", output)
    output = SETTINGS_DOTS.sub(rb"\1", output)
    output = WAITING.sub(b"", output)

    def first_and_last(match):
        shown = [0] + [int(p) for p in re.findall(rb"(\d+)%", match.group(1))]
        steps = list(zip(shown, shown[1:]))
        if any(abs(b - a) < PROGRESS_STEP and b != 100 for a, b in steps[:-1]) or \
                any(p > 100 for p in shown):
            problems.append(f"progress lines out of step: {shown}")
        last = b"Programming: %d%%\n" % shown[-1] if len(shown) > 1 else b""
        return b"Programming: 0%\n" + last

    return PROGRESS.sub(first_and_last, output)


def windows_lines(output, problems):
    """The Windows build's output with its CR LF line ends made LF; a bare LF
    or a CR elsewhere is a problem."""
    if re.search(rb"(?<!\r)\n|\r(?!\n)", output):
        problems.append("a line of the Windows output does not end in CR LF")
    return output.replace(b"\r\n", b"\n")


def scenario_controllers(text):
    """The controllers of a scenario text, as dictionaries of their keys."""
    controllers = []
    for section in re.split(r"^\[", text, flags=re.M):
        if section.startswith("controller]"):
            keys = dict(re.findall(r"^(\w+) = (.*)$", section, re.M))
            controllers.append(keys)
    return controllers


def start_sim(sim, scenario, work, extra, scenario_file="scenario.txt"):
    ports = os.path.join(work, "ports")
    args = [sim, "--ports", ports] + extra
    names = ["com1"]
    if scenario is not None:
        path = os.path.join(work, scenario_file)
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


def read_capture(path):
    """(source, destination, frame type, data) of every frame in a capture."""
    frames = []
    with open(path, "rb") as f:
        data = f.read()
    offset = 24
    while offset + 16 <= len(data):
        (length,) = struct.unpack_from("<I", data, offset + 8)
        frame = data[offset + 16:offset + 16 + length]
        offset += 16 + length
        if len(frame) >= 8:
            size = frame[5] << 8 | frame[6]
            frames.append((frame[4], frame[3], frame[2], frame[8:8 + size]))
    return frames


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


def identity_of(keys):
    return {"hardware_id": int(keys.get("hardware_id", 28)),
            "serial": int(keys.get("serial", 1)),
            "model": keys.get("model", "QD4010A-6AC1100"),
            "name": keys.get("name", "Controller")}


def check_report(case, scenario, report):
    """Programmed controllers carry the image, their identity, settings and
    address as before unless the case says otherwise; the others are as they
    started."""
    problems = []
    by_address = {c["address"]: c for c in report["controllers"]}
    started = scenario_controllers(scenario)
    if len(started) != len(report["controllers"]):
        return [f"{len(report['controllers'])} controllers in the report"]
    for keys in started:
        address = int(keys.get("address", 16))
        expect = case.programmed.get(address)
        final = address if expect is None else expect.get("address", address)
        got = by_address.get(final)
        if got is None:
            problems.append(f"no controller at {final} (it started at {address})")
            continue
        identity = identity_of(keys)
        if address in case.switched_off:
            if got.get("mode") != "off":
                problems.append(f"controller {address}: mode {got.get('mode')!r}, expected 'off'")
            continue
        wanted = {
            "mode": "application" if expect is not None or keys.get("start") != "bootloader"
            else "bootloader",
            "protocol": expect.get("protocol", "tarnix") if expect is not None else "tarnix",
            "version": "14.00.180" if expect is not None else keys.get("version", "14.00.180"),
            "settings_changed": expect.get("settings_changed", []) if expect is not None else [],
        }
        if expect is not None:
            wanted["flash_matches_expected"] = True
        for name, value in wanted.items():
            if got.get(name) != value:
                problems.append(f"controller {address}: {name} {got.get(name)!r}, expected {value!r}")
        shown = {k: got["identity"].get(k) for k in identity}
        if shown != identity:
            problems.append(f"controller {address}: identity {shown}, expected {identity}")
    return problems


def check_turnaround(report):
    """The PC started no frame on the line while a controller's driver was
    still on (sooner than its release time after its last octet)."""
    damaged = report["bus"]["turnaround_damaged"]
    return [f"{damaged} frame(s) started on the line within a controller's driver release "
            "time after its last octet"] if damaged else []


def check_token_handed_on(capture):
    """A run that closes its port normally leaves the bus with a token pass:
    the PC's last frame is a Token, so that the controllers need not wait to
    make a new one."""
    sent = [kind for src, _, kind, _ in capture if src < 4]
    if sent and sent[-1] != 0:
        return [f"the PC's last frame is of type {sent[-1]}, not a token pass"]
    return []


def judge(name, case, stdout, stderr, status, work, registry=None, problems=None):
    """Everything wrong with a run of the case: its console output, exit
    status and standard error, the run report it wrote, and the emulator's
    report and capture (in `work`): the controllers of a run that updates
    devices, and of every run that the PC started no frame within a
    controller's driver release time."""
    problems = [] if problems is None else problems
    if status != case.status:
        problems.append(f"exit status {status}, expected {case.status}")
    if case.transcript:
        with open(os.path.join(HERE, "expected", name + ".txt"), "rb") as f:
            expected = f.read()
        output = normalise(stdout, problems)
        if output != expected:
            problems.append("console output differs:\n--- expected\n" + repr(expected) +
                            "\n--- got\n" + repr(output))
    if case.output is not None:
        problems += case.output(stdout)
    if registry is not None and name.startswith("default_bus"):
        problems += check_registry(registry)
    if case.run_report is not None:
        try:
            with open(os.path.join(work, "run.json"), encoding="utf-8") as f:
                problems += case.run_report(json.load(f))
        except (OSError, ValueError) as error:
            problems.append(f"run report: {error}")
        leftover = [n for n in os.listdir(work) if n.startswith("run.json.")]
        if leftover:
            problems.append(f"files beside the run report: {leftover}")
    report = None
    report_path = os.path.join(work, "report.json")
    if case.programmed or case.switched_off or case.interrupt_at or os.path.exists(report_path):
        with open(report_path, encoding="utf-8") as f:
            report = json.load(f)
        problems += check_turnaround(report)
    if case.programmed or case.switched_off or case.interrupt_at:
        scenario = DEFAULT_BUS if case.scenario is None else case.scenario
        problems += check_report(case, scenario, report)
    for n, (bus, programmed) in enumerate(case.more_buses, start=2):
        with open(os.path.join(work, f"report{n}.json"), encoding="utf-8") as f:
            more = json.load(f)
        problems += [f"bus com{n}: {p}" for p in check_turnaround(more)]
        problems += [f"bus com{n}: {p}" for p in check_report(
            dataclasses.replace(case, programmed=programmed, switched_off=[]), bus, more)]
    capture_path = os.path.join(work, "bus.pcap")
    capture = read_capture(capture_path) if os.path.exists(capture_path) else []
    if case.programmed and status in (0, 3):
        problems += check_token_handed_on(capture)
    if case.check is not None:
        problems += case.check(work, report, capture)
    if case.stderr is None:
        if stderr:
            problems.append(f"standard error: {stderr!r}")
    elif not re.fullmatch(case.stderr.encode(), stderr):
        problems.append(f"standard error: {stderr!r}, expected {case.stderr!r}")
    return problems


def run_timed(command, stdin, env, cwd, timeout):
    """Runs `command` with `stdin` and returns its standard output and error,
    its exit status, and the longest time in seconds that passed without a
    line end on its standard output (from the start to the first, between
    two, and from the last to the end) with the output that ended it."""
    proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, cwd=cwd)
    proc.stdin.write(stdin)
    proc.stdin.close()
    out, err = bytearray(), bytearray()
    start = last = time.monotonic()
    gap, before = 0.0, b""
    streams = {proc.stdout.fileno(): out, proc.stderr.fileno(): err}
    try:
        while streams:
            left = start + timeout - time.monotonic()
            if left <= 0:
                raise subprocess.TimeoutExpired(command, timeout)
            ready, _, _ = select.select(list(streams), [], [], left)
            now = time.monotonic()
            for fd in ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    del streams[fd]
                    continue
                streams[fd] += chunk
                if fd == proc.stdout.fileno() and b"\n" in chunk:
                    if now - last > gap:
                        gap, before = now - last, bytes(out[-120:])
                    last = now
        status = proc.wait(timeout=max(1, start + timeout - time.monotonic()))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()
    if time.monotonic() - last > gap:
        gap, before = time.monotonic() - last, b"(the end)"
    return bytes(out), bytes(err), status, (gap, before)


def run_program(flash, case, env, work):
    """(stdout, stderr, status) of the program run as the case asks, and the
    problems of how long it took and of the gaps between its lines."""
    args = [flash] + [a.replace("{work}", work) for a in case.args]
    began = time.monotonic()
    problems = []
    if case.interrupt_at is None:
        stdout, stderr, status, (gap, before) = run_timed(args, case.stdin.encode(), env, work, 560)
        if case.paced and gap > MAX_LINE_GAP:
            problems.append(f"{gap:.1f} s without a line of output (at most {MAX_LINE_GAP} s), "
                            f"before: {before!r}")
    else:
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, cwd=work)
        stdout = b""
        while case.interrupt_at not in stdout and time.monotonic() - began < 300:
            ready, _, _ = select.select([proc.stdout], [], [], 1)
            chunk = os.read(proc.stdout.fileno(), 4096) if ready else b""
            if ready and not chunk:
                break
            stdout += chunk
        proc.send_signal(signal.SIGINT)
        rest, stderr = proc.communicate(timeout=60)
        stdout += rest
        status = proc.returncode
    took = time.monotonic() - began
    if case.within and took > case.within:
        problems.append(f"took {took:.1f} s, more than {case.within} s")
    return stdout, stderr, status, problems


def run_case(flash, sim, image, name):
    case = CASES[name]
    work = tempfile.mkdtemp(prefix="brevane-program-")
    proc = None
    more = []
    problems = []
    try:
        env = dict(os.environ)
        env["BREVANE_REGISTRY"] = os.path.join(work, "registry")
        env["WORK"] = work
        env["FLASH"] = flash
        if case.prepare is not None:
            problems += case.prepare(case, env, sim)
        if case.scenario is False:
            env["BREVANE_PORTS"] = os.path.join(work, "ports")
            os.mkdir(env["BREVANE_PORTS"])
        else:
            text = case.scenario
            if case.programmed or case.switched_off:
                bus = DEFAULT_BUS if case.scenario is None else case.scenario
                text = f"[bus]\nexpected_image = {image}\n" + bus
            proc, env["BREVANE_PORTS"] = start_sim(
                sim, text, work,
                ["--report", os.path.join(work, "report.json"), "--pcap",
                 os.path.join(work, "bus.pcap")])
        for n, (bus, _) in enumerate(case.more_buses, start=2):
            # The same port directory, a port of its own.
            more.append(start_sim(
                sim, f"[bus]\nexpected_image = {image}\nports = com{n}\n" + bus, work,
                ["--report", os.path.join(work, f"report{n}.json")], f"scenario{n}.txt")[0])
        stdout, stderr, status, late = run_program(flash, case, env, work)
        problems += late
        if proc is not None:
            if case.programmed:
                # The last message restarts the programmed device: the report
                # is to show it running again, not in the middle of its boot.
                time.sleep(2)
            stop_sim(proc)
            proc = None
        while more:
            stop_sim(more.pop())
        problems += judge(name, case, stdout, stderr, status, work, env["BREVANE_REGISTRY"])
    finally:
        for running in [proc] + more:
            if running is not None:
                running.kill()
                running.wait()
        shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print(p)
    return 1 if problems else 0


def main(argv):
    if argv and argv[0] == "--judge":
        # A run made elsewhere (the Windows build under Wine): its output in
        # WORK/brevane-flash.out and .err, the emulator's report in WORK.
        name, work, status = argv[1:]
        with open(os.path.join(work, "brevane-flash.out"), "rb") as f:
            stdout = f.read()
        with open(os.path.join(work, "brevane-flash.err"), "rb") as f:
            stderr = f.read()
        problems = []
        stdout = windows_lines(stdout, problems)
        problems = judge(name, CASES[name], stdout, stderr, int(status), work, problems=problems)
        for p in problems:
            print(p)
        return 1 if problems else 0
    return run_case(*argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
