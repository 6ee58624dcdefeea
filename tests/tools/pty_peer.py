#!/usr/bin/env python3
"""The far end of a serial line, for tests that need a COM port.

Creates a pseudo-terminal, links its slave side as DIR/NAME (a Wine prefix's
dosdevices/com3, or the POSIX port directory), and plays the peer on the
master side while COMMAND runs:

  echo    every octet received is sent straight back;
  record  every octet received is appended to --out, nothing is sent.

With --out in echo mode the octets are recorded as well. When COMMAND has
ended, the line is drained until it has been quiet for --quiet-ms, the
--before-close command runs (Wine: "wineserver -k", which must go before the
pty does), the link is removed and the pty closed. The exit status is
COMMAND's (128 + signal when it was killed), or 2 when the peer itself could
not be set up.

  pty_peer.py --dir D --name com3 --mode record --out F -- COMMAND...
"""

import argparse
import errno
import os
import select
import signal
import subprocess
import sys
import time
import tty


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Plays the peer of a serial line on a pty while a command runs.",
        usage="%(prog)s --dir D --name comN --mode echo|record [--out F] -- COMMAND...")
    parser.add_argument("--dir", required=True, help="directory in which the link is made")
    parser.add_argument("--name", required=True, help="name of the link, e.g. com3")
    parser.add_argument("--mode", required=True, choices=("echo", "record"))
    parser.add_argument("--out", help="file that receives every octet (required for record)")
    parser.add_argument("--quiet-ms", type=int, default=200,
                        help="after COMMAND ends, drain until the line is quiet this long")
    parser.add_argument("--before-close", help="shell command run before the pty is closed")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    if args.command and args.command[0] == "--":
        args.command = args.command[1:]
    if not args.command:
        parser.error("no COMMAND given after --")
    if args.mode == "record" and not args.out:
        parser.error("--mode record needs --out")
    if "/" in args.name or args.name in ("", ".", ".."):
        parser.error("--name must be a plain file name")
    return args


def make_link(directory, name, target):
    os.makedirs(directory, exist_ok=True)
    link = os.path.join(directory, name)
    # A link left by an earlier run that was killed is replaced; anything that
    # is not a link is someone else's and stays.
    if os.path.islink(link):
        os.unlink(link)
    elif os.path.lexists(link):
        raise OSError(errno.EEXIST, "exists and is not a link", link)
    os.symlink(target, link)
    return link


class Peer:
    """Moves octets off the master side without ever blocking on it."""

    def __init__(self, master, echo, record):
        self.master = master
        self.echo = echo
        self.record = record
        self.pending = bytearray()

    def step(self, timeout):
        """Waits up to `timeout` seconds for the line; True when octets came."""
        writers = [self.master] if self.pending else []
        readable, _, _ = select.select([self.master], writers, [], timeout)
        received = False
        if readable:
            try:
                data = os.read(self.master, 4096)
            except OSError as error:
                # EIO: no slave side open; cannot happen while we hold it,
                # but it must not end the peer either.
                if error.errno not in (errno.EIO, errno.EAGAIN):
                    raise
                data = b""
            if data:
                received = True
                if self.record is not None:
                    self.record.write(data)
                    self.record.flush()
                if self.echo:
                    self.pending += data
        if self.pending:
            self.flush_pending()
        return received

    def flush_pending(self):
        try:
            sent = os.write(self.master, self.pending)
        except BlockingIOError:
            return
        del self.pending[:sent]


def run(args):
    master, slave = os.openpty()
    # Raw: the octets of a frame must pass unchanged, and the terminal must
    # not echo on its own. The program under test may set its own modes later.
    tty.setraw(slave)
    os.set_blocking(master, False)
    record = open(args.out, "wb") if args.out else None
    link = None
    child = None
    try:
        link = make_link(args.dir, args.name, os.ttyname(slave))
        peer = Peer(master, args.mode == "echo", record)
        child = subprocess.Popen(args.command)
        while child.poll() is None:
            peer.step(0.02)
        quiet_since = time.monotonic()
        while time.monotonic() - quiet_since < args.quiet_ms / 1000.0:
            if peer.step(0.02):
                quiet_since = time.monotonic()
        status = child.returncode
        return 128 - status if status < 0 else status
    finally:
        if child is not None and child.poll() is None:
            child.terminate()
            child.wait()
        if args.before_close:
            subprocess.run(args.before_close, shell=True, check=False)
        if link is not None:
            os.unlink(link)
        if record is not None:
            record.close()
        os.close(master)
        os.close(slave)


def main(argv):
    args = parse_args(argv)
    # SIGTERM (a CI time-out) goes the same way as Ctrl-C, so that the link
    # is removed and the child stopped.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        return run(args)
    except KeyboardInterrupt:
        return 130
    except OSError as error:
        print(f"pty_peer: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
