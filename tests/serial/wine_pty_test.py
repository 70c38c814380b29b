#!/usr/bin/env python3
"""Runs a Windows serial test under wine with a COM port linked to a pseudo terminal.

  wine_pty_test.py --prefix P --wine-run W [--bridge LIB] -- test.exe [args]

COM5 becomes the slave side of a fresh pseudo terminal, COM7 that of another
one, and COM6 a port that does not exist. Everything written to COM5 is copied
from the master side into a capture file; everything written to COM7 comes
back on it. The test learns the names and the capture file (as a Windows path)
from QL_TEST_PTY_PORT, QL_TEST_LOOPBACK_PORT, QL_TEST_MISSING_PORT and
QL_TEST_PTY_CAPTURE. COM8 (QL_TEST_HANGUP_PORT) is a terminal that hangs up
(both sides closed) once the test creates the file QL_TEST_HANGUP_FLAG. With
--bridge the wine bridge is preloaded into wine.
"""
import argparse
import os
import subprocess
import sys
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_harness  # noqa: E402

PTY_PORT = "COM5"
MISSING_PORT = "COM6"
LOOPBACK_PORT = "COM7"
HANGUP_PORT = "COM8"


def copy_master(master, sink):
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the slave side was closed for good
            return
        if not chunk:
            return
        sink(chunk)


def open_pty(prefix, port, sink=None):
    """Links `port` to a new pseudo terminal; what is written to it goes to
    `sink`, or comes back on the same port without one."""
    master, slave = os.openpty()
    tty.setraw(slave)  # bytes pass unchanged, whatever wine leaves in the line settings
    wine_harness.link_port(prefix, port, os.ttyname(slave))
    sink = sink or (lambda chunk: os.write(master, chunk))
    threading.Thread(target=copy_master, args=(master, sink), daemon=True).start()
    return slave


def hang_up_when_flagged(master, slave, flag):
    while not os.path.exists(flag):
        time.sleep(0.05)
    os.close(master)
    os.close(slave)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--bridge", help="preload this wine bridge")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()

    wine_harness.prepare_prefix(args.prefix, args.wine_run,
                                [PTY_PORT, MISSING_PORT, LOOPBACK_PORT, HANGUP_PORT])
    if args.bridge:
        wine_harness.preload_bridge(args.bridge)
    capture_path = os.path.join(args.prefix, "pty-capture.bin")
    capture = open(capture_path, "wb", buffering=0)
    # The slave sides stay open here so that the masters survive the test's closes.
    slaves = [open_pty(args.prefix, PTY_PORT, capture.write), open_pty(args.prefix, LOOPBACK_PORT)]
    wine_harness.link_port(args.prefix, MISSING_PORT, None)
    hangup_flag = os.path.join(args.prefix, "hangup.flag")
    if os.path.exists(hangup_flag):
        os.unlink(hangup_flag)
    master, slave = os.openpty()
    wine_harness.link_port(args.prefix, HANGUP_PORT, os.ttyname(slave))
    threading.Thread(target=hang_up_when_flagged, args=(master, slave, hangup_flag),
                     daemon=True).start()

    os.environ["QL_TEST_PTY_PORT"] = PTY_PORT
    os.environ["QL_TEST_LOOPBACK_PORT"] = LOOPBACK_PORT
    os.environ["QL_TEST_MISSING_PORT"] = MISSING_PORT
    os.environ["QL_TEST_PTY_CAPTURE"] = "Z:" + os.path.abspath(capture_path).replace("/", "\\")
    os.environ["QL_TEST_HANGUP_PORT"] = HANGUP_PORT
    os.environ["QL_TEST_HANGUP_FLAG"] = "Z:" + os.path.abspath(hangup_flag).replace("/", "\\")
    code = subprocess.run([args.wine_run] + args.command).returncode
    wine_harness.wait_for_wineserver()
    for slave in slaves:
        os.close(slave)
    sys.exit(code)


if __name__ == "__main__":
    main()
