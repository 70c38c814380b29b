#!/usr/bin/env python3
"""The Windows program's listener under wine: it serves through a racing first
wait, and a line that hangs up is shown, costs nothing and is served again.

  wine_listener_test.py --prefix P --wine-run W --bridge LIB --native-bin DIR
                        --exe quarnelix_link.exe --probe window_probe.exe --workdir D

1. The program opens COM2 and sets its event mask while its first wait is
   pending; with the wine bridge's mask part off, wine ends that wait as
   cancelled. The program must still answer a listing.
2. The line hangs up while the link runs (both ends of the cable closed, the
   port's device gone). Within 5 s the dialog and the tray icon say so; over
   the next 10 s the program uses almost no processor time; once a new
   terminal is linked as COM2 the program opens it again by itself and
   answers a listing.
"""
import os
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_harness  # noqa: E402
from wine_harness import Cable, await_open, check  # noqa: E402

PORT = "COM2"
SETTINGS = "[options]\r\nHide=1\r\nAuto=1\r\nLastSpeed=3\r\nLastPort=1\r\n"
SPEED = "115200"
FOLDER = "ql-listener"
LOST_TEXT = PORT + " went away; trying to open it again every 2 s."
OPENED_TEXT = PORT + " opened."
IDLE_SECONDS = 10
IDLE_CPU_LIMIT = 0.5  # seconds of processor time over IDLE_SECONDS


class Run:
    def __init__(self, args):
        self.args = args
        self.peer = os.path.join(args.native_bin, "quarnelix-peer")

    def probe(self, *words):
        return subprocess.run([self.args.wine_run, self.args.probe] + list(words),
                              timeout=60).returncode

    def listing_answered(self, cable):
        listing = subprocess.run([self.peer, "--port", cable.handheld, "--speed", SPEED, "ls",
                                  "C:/%s/*" % FOLDER], capture_output=True, text=True, timeout=30)
        return listing.returncode == 0 and "notes.txt" in listing.stdout

    def start_program(self, cable, environment=None):
        program = os.path.join(self.args.workdir, "quarnelix_link.exe")
        with open(os.path.join(self.args.workdir, "Quarnelix_link.ini"), "w", newline="") as f:
            f.write(SETTINGS)
        wine_harness.link_port(self.args.prefix, PORT, cable.desktop)
        link = subprocess.Popen([self.args.wine_run, program],
                                env=dict(os.environ, **(environment or {})))
        check(await_open(link, cable.desktop, 30), "the program opens %s" % PORT)
        return link

    def close_program(self, link):
        try:
            check(self.probe("close") == 0 and link.wait(timeout=30) == 0,
                  "the program closes through its dialog")
        finally:
            if link.poll() is None:
                link.kill()


class Tray:
    """The probe standing in for the notification area; the icons it was shown."""

    def __init__(self, run, seconds):
        self.process = subprocess.Popen(
            [run.args.wine_run, run.args.probe, "tray",
             os.path.join(run.args.workdir, "quarnelix_link.exe"), str(seconds * 1000)],
            stdout=subprocess.PIPE, text=True)
        self.lines = []
        self.ready = threading.Event()
        threading.Thread(target=self.read, daemon=True).start()
        check(self.ready.wait(30), "the probe stands in for the notification area")

    def read(self):
        for line in self.process.stdout:
            if line.strip() == "ready":
                self.ready.set()
            else:
                self.lines.append(line.strip())

    def shows(self, icon, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.lines and self.lines[-1].split()[-1] == icon:
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        self.process.kill()
        self.process.wait()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def racing_first_wait(run):
    cable = Cable(0.15)
    link = run.start_program(cable, {"QL_WINE_BRIDGE_NO_MASK": "1"})
    try:
        check(run.listing_answered(cable),
              "a listing is answered although the mask change cancelled the first wait")
    finally:
        run.close_program(link)
        cable.unplug()


def hang_up_and_return(run):
    tray = Tray(run, 120)
    cable = Cable(0.15)
    link = run.start_program(cable)
    try:
        check(tray.shows("open", 5) and run.listing_answered(cable),
              "the link runs: tray icon %s, a listing answered" % tray.lines)
        cable.unplug()
        wine_harness.link_port(run.args.prefix, PORT, None)
        hung_up = time.monotonic()
        check(run.probe("wait-status", LOST_TEXT, "5000") == 0,
              "the dialog says \"%s\"" % LOST_TEXT)
        check(tray.shows("failed", 5 - (time.monotonic() - hung_up)),
              "within 5 s the tray icon shows the failed port: %s" % tray.lines[-3:])
        before = cpu_seconds(link.pid)
        time.sleep(IDLE_SECONDS)
        used = cpu_seconds(link.pid) - before
        check(used < IDLE_CPU_LIMIT, "%.2f s of processor time over %d s without the port"
              % (used, IDLE_SECONDS))
        cable = Cable(0.15)
        wine_harness.link_port(run.args.prefix, PORT, cable.desktop)
        check(run.probe("wait-status", OPENED_TEXT, "5000") == 0 and tray.shows("open", 1),
              "the port is back: the program opens it again and shows the open icon")
        check(run.listing_answered(cable), "a listing is answered on the port that came back")
    finally:
        run.close_program(link)
        tray.stop()
        cable.unplug()


def listener(args):
    run = Run(args)
    folder = os.path.join(args.prefix, "drive_c", FOLDER)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "notes.txt"), "wb") as f:
        f.write(b"served\r\n")
    shutil.copyfile(args.exe, os.path.join(args.workdir, "quarnelix_link.exe"))
    racing_first_wait(run)
    hang_up_and_return(run)


if __name__ == "__main__":
    wine_harness.program_test(PORT, listener)
