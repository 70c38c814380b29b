#!/usr/bin/env python3
"""Runs the Windows front end's tests under wine in a prefix of their own.

  ports --prefix P --wine-run W -- test.exe [args]
      COM4 and COM7 are linked to a fresh pseudo terminal (kept open while the
      test runs, a byte written to it every 50 ms) and COM3 to nothing; the test
      learns them from QL_TEST_PTY_PORT, QL_TEST_HIGH_PTY_PORT and QL_TEST_MISSING_PORT.
  single-instance --prefix P --wine-run W --exe quarnelix_link.exe --probe window_probe.exe --workdir D
      Starts the program from a folder whose name holds a space and a
      character no ANSI code page has, through its path unquoted (as a Run key
      may), with a settings file beside it that keeps the dialog hidden;
      starts it again twice (each start must toggle the first one's dialog and
      exit with 0), closes it and checks the settings saved beside it.
"""
import argparse
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_harness  # noqa: E402

PTY_PORT = "COM4"
HIGH_PTY_PORT = "COM7"
MISSING_PORT = "COM3"
KEYS = ["LastPort", "LastSpeed", "Auto", "Hide", "ShowHide", "StartStop",
        "HotkeyShowHide", "HotkeyStartStop"]


def prepare_prefix(args):
    wine_harness.prepare_prefix(args.prefix, args.wine_run,
                                [PTY_PORT, HIGH_PTY_PORT, MISSING_PORT], unmanaged_windows=True)
    # Started here, the server's object dump at exit does not end up in the test's output.
    subprocess.run([wine_harness.wineserver(), "-p3"], check=False, **wine_harness.QUIET)


def finish(code):
    # Waiting for the wine server keeps it from outliving the X server.
    wine_harness.wait_for_wineserver()
    sys.exit(code)


def run_with_ports(args):
    prepare_prefix(args)
    master, slave = os.openpty()
    wine_harness.link_port(args.prefix, PTY_PORT, os.ttyname(slave))
    wine_harness.link_port(args.prefix, HIGH_PTY_PORT, os.ttyname(slave))
    wine_harness.link_port(args.prefix, MISSING_PORT, None)
    os.environ["QL_TEST_PTY_PORT"] = PTY_PORT
    os.environ["QL_TEST_HIGH_PTY_PORT"] = HIGH_PTY_PORT
    os.environ["QL_TEST_MISSING_PORT"] = MISSING_PORT
    # A byte now and then, so that an open port has something to report.
    os.set_blocking(master, False)
    stop = threading.Event()

    def feed():
        while not stop.wait(0.05):
            try:
                os.write(master, b"\0")
            except BlockingIOError:
                pass

    feeder = threading.Thread(target=feed)
    feeder.start()
    code = subprocess.run([args.wine_run] + args.command).returncode
    stop.set()
    feeder.join()
    os.close(master)
    os.close(slave)
    finish(code)


def check(condition, message):
    if not condition:
        print("FAILED: " + message)
        finish(1)
    print("ok: " + message)


def run_single_instance(args):
    prepare_prefix(args)
    folder = os.path.join(args.workdir, "Program Files \u2603")
    os.makedirs(folder, exist_ok=True)
    program = os.path.join(folder, "quarnelix_link.exe")
    shutil.copyfile(args.exe, program)
    settings = os.path.join(folder, "Quarnelix_link.ini")
    # Where the text before the space would lead a program that took its
    # folder from its command line.
    astray = os.path.join(args.workdir, "Quarnelix_link.ini")
    if os.path.exists(astray):
        os.unlink(astray)
    with open(settings, "wb") as f:
        f.write(b"[options]\r\nHide=1\r\n")

    def probe(*words):
        return subprocess.run([args.wine_run, args.probe] + list(words), timeout=60).returncode

    unquoted = "Z:" + os.path.abspath(program).replace("/", "\\")
    first = subprocess.Popen([args.wine_run, args.probe, "run-unquoted", unquoted])
    try:
        check(probe("wait-hidden", "30000") == 0,
              "first start, unquoted, keeps the dialog hidden as the settings beside it say")
        for state in ("visible", "hidden"):
            started = time.monotonic()
            code = subprocess.run([args.wine_run, program], timeout=60).returncode
            check(code == 0, "second start exits with 0 (took %.1f s)" % (time.monotonic() - started))
            check(probe("wait-" + state, "10000") == 0, "the running dialog is now " + state)
        check(probe("close") == 0, "closing the dialog")
        check(first.wait(timeout=30) == 0, "the program ends with 0 after its dialog closes")
    finally:
        if first.poll() is None:
            first.kill()
    with open(settings) as f:
        saved = [line for line in f.read().splitlines() if "=" in line]
    # Hide keeps its place at the top; the others are added after it.
    check(sorted(line.split("=")[0] for line in saved) == sorted(KEYS),
          "all eight keys saved beside the program: %s" % saved)
    check("Hide=1" in saved, "the setting read from that file is saved back")
    check(not os.path.exists(astray), "no settings file where the unquoted path's space ends")
    finish(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["ports", "single-instance"])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--exe")
    parser.add_argument("--probe")
    parser.add_argument("--workdir")
    argv = sys.argv[1:]
    split = argv.index("--") if "--" in argv else len(argv)
    args = parser.parse_args(argv[:split])
    args.command = argv[split + 1:]
    if args.mode == "ports":
        run_with_ports(args)
    else:
        run_single_instance(args)


if __name__ == "__main__":
    main()
