#!/usr/bin/env python3
"""COM ports beyond COM4: listed, chosen, served, and remembered by name.

  wine_port_list_test.py --prefix P --wine-run W --bridge LIB --native-bin DIR
                         --exe quarnelix_link.exe --probe window_probe.exe
                         --box-probe port_box_probe.exe --registrar port_registrar.exe
                         --workdir D

COM7 and COM12 are registered in the prefix, each linked to a pseudo terminal;
wine's mount manager lists them under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM at
each start of the wine server, as Windows lists the ports it has. COM12 is one
end of a virtual cable. The program's port box must list COM1 to COM4 (each
marked absent or not, as the prefix has them), then COM7 and COM12; COM12
chosen there must be opened and serve quarnelix-peer.
Across restarts, with COM7 taken away and brought back (so that COM12's place
in the box moves), the program must open COM12 again at its start.
Last, COM7 gets a device of the Ports class with a friendly name, as a driver
gives it on Windows: the box must show that name, and COM7 chosen there must be
opened and remembered by its COM name.
"""
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_harness  # noqa: E402
from wine_harness import Cable, await_open, check  # noqa: E402

PORTS = ["COM7", "COM12"]
FIXED = ["COM1", "COM2", "COM3", "COM4"]


def lists(entries, ports):
    """True when `entries` are COM1 to COM4, present or absent, then `ports`."""
    fixed = entries[:len(FIXED)]
    return (len(fixed) == len(FIXED)
            and all(re.fullmatch(re.escape(port) + r"( \(absent\)|: .+)?", entry)
                    for port, entry in zip(FIXED, fixed))
            and entries[len(FIXED):] == ports)


def run(args, *words, capture=False):
    # Captured only while the program runs: a wine server started by this call
    # would hold the pipe open.
    return subprocess.run([args.wine_run] + list(words), capture_output=capture, text=True,
                          timeout=60)


def saved_options(settings):
    with open(settings) as f:
        return dict(line.strip().split("=", 1) for line in f if "=" in line)


def write_options(settings, options):
    with open(settings, "w", newline="") as f:
        f.write("[options]\r\n" + "".join("%s=%s\r\n" % item for item in options.items()))


def session(args, program, cable, expect_open):
    """Starts the program and waits for its dialog (and for COM12 opened when
    `expect_open`); returns its process."""
    link = subprocess.Popen([args.wine_run, program])
    try:
        check(run(args, args.probe, "wait-hidden", "15000").returncode == 0,
              "the program starts with its dialog hidden")
        check(not expect_open or await_open(link, cable.desktop, 15),
              "COM12 is opened at the start")
    except BaseException:
        link.kill()
        raise
    return link


def box(args):
    return run(args, args.box_probe, "list", capture=True).stdout.splitlines()


def finish(args, link):
    check(run(args, args.probe, "close").returncode == 0, "closing the program through its dialog")
    check(link.wait(timeout=30) == 0, "the program ends with 0")


def served(args, cable):
    peer = os.path.join(args.native_bin, "quarnelix-peer")
    listing = subprocess.run([peer, "--port", cable.handheld, "--speed", "115200", "ls", "C:/*"],
                             capture_output=True, text=True, timeout=60)
    return listing.returncode == 0


def steps(args):
    with open(args.exe, "rb") as f:
        # Without administrator rights such a program could not store its uploads in C:\.
        check(b"requestedExecutionLevel" not in f.read(),
              "the program asks for no execution level, so file virtualization stays on")
    program = os.path.join(args.workdir, "quarnelix_link.exe")
    shutil.copyfile(args.exe, program)
    settings = os.path.join(args.workdir, "Quarnelix_link.ini")
    write_options(settings, {"Hide": 1, "LastSpeed": 3})
    cable = Cable(0.15)
    spare_master, spare_slave = os.openpty()
    wine_harness.link_port(args.prefix, "COM7", os.ttyname(spare_slave))
    wine_harness.link_port(args.prefix, "COM12", cable.desktop)

    link = session(args, program, cable, expect_open=False)
    try:
        listed = box(args)
        check(lists(listed, PORTS), "the box lists COM1 to COM4, then COM7 and COM12: %s"
              % listed)
        check(run(args, args.box_probe, "start", "COM12").returncode == 0
              and await_open(link, cable.desktop, 15), "COM12 chosen in the box is opened")
        check(run(args, args.probe, "wait-status", "COM12 opened.", "10000").returncode == 0,
              "the status line reads COM12 opened.")
        check(served(args, cable), "quarnelix-peer is served on COM12")
        finish(args, link)
    finally:
        if link.poll() is None:
            link.kill()
    options = saved_options(settings)
    check(options.get("LastPort") == "5" and options.get("LastPortName") == "COM12",
          "COM12 is saved by index and by name: %s" % options)

    # COM7 goes, then comes back: COM12 moves to index 4 and back to 5.
    for present, index in ((False, "4"), (True, "5")):
        if present:
            wine_harness.prepare_prefix(args.prefix, args.wine_run, ["COM7"])
        else:
            wine_harness.unregister_port(args.wine_run, "COM7")
        options["Auto"] = 1
        write_options(settings, options)
        label = "with COM7 %s" % ("back" if present else "gone")
        link = session(args, program, cable, expect_open=True)
        try:
            listed = box(args)
            check(lists(listed, PORTS if present else ["COM12"]),
                  "%s the box follows: %s" % (label, listed))
            check(served(args, cable), "%s quarnelix-peer is served on COM12" % label)
            finish(args, link)
        finally:
            if link.poll() is None:
                link.kill()
        options = saved_options(settings)
        check(options.get("LastPort") == index and options.get("LastPortName") == "COM12",
              "%s COM12 is saved again: %s" % (label, options))

    # The prefix is shared: the device goes again whatever happens.
    try:
        check(run(args, args.registrar, "add", "COM7", "USB-SERIAL CH340 (COM7)").returncode == 0,
              "COM7 gets a device named USB-SERIAL CH340 (COM7)")
        write_options(settings, {"Hide": 1, "LastSpeed": 3})
        link = session(args, program, cable, expect_open=False)
        try:
            listed = box(args)
            check(lists(listed, ["COM7: USB-SERIAL CH340", "COM12"]),
                  "the box shows COM7 by its device's name: %s" % listed)
            check(run(args, args.box_probe, "start", "COM7").returncode == 0
                  and await_open(link, os.ttyname(spare_slave), 15),
                  "COM7 chosen by its name is opened")
            finish(args, link)
        finally:
            if link.poll() is None:
                link.kill()
    finally:
        run(args, args.registrar, "remove", "COM7")
    options = saved_options(settings)
    check(options.get("LastPort") == "4" and options.get("LastPortName") == "COM7",
          "the named COM7 is saved by index and by COM name: %s" % options)

    os.close(spare_master)
    os.close(spare_slave)

if __name__ == "__main__":
    wine_harness.program_test(PORTS, steps, options=("--box-probe", "--registrar"))
