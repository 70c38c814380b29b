#!/usr/bin/env python3
"""The Windows program with a Japanese ANSI code page stores and serves
Shift-JIS names byte for byte.

  wine_japanese_names_test.py --prefix P --wine-run W --bridge LIB --native-bin DIR
                              --exe quarnelix_link.exe --probe window_probe.exe --workdir D

Handhelds sold in Japan name files in code page 932, where the second byte of
a character may be 0x5C ('\\') or 0x7C ('|'): "表" is 95 5C, "ポ" is 83 7C.
quarnelix_link.exe runs under wine with LANG=ja_JP.UTF-8, so its ANSI code page
is 932, in the prefix the other wine tests made under their own locale.
quarnelix-peer --codepage CP932 uploads files of such names, which must land
in drive_c under the same names (wine keeps them in UTF-8 on the host), come
back byte for byte and be listed in C:\\.

The locale ja_JP.UTF-8 is generated when missing (as root); otherwise the test
is skipped (exit code 77). Without it wine still reports code page 932 but
cannot name host files in UTF-8.
"""
import os
import random
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_harness  # noqa: E402
from wine_harness import Cable, await_open, check  # noqa: E402

PORT = "COM2"
SETTINGS = "[options]\r\nHide=1\r\nAuto=1\r\nLastSpeed=3\r\nLastPort=1\r\n"
SPEED = "115200"
LOCALE = "ja_JP.UTF-8"
SKIPPED = 77
QUIET_GAP = 0.15
# Each name holds a character whose second byte in code page 932 is a
# separator or a bar in ASCII; each file has contents of its own.
FILES = {"表.txt": random.Random(21).randbytes(3000),  # 95 5C
         "ポイント.txt": random.Random(22).randbytes(5000)}  # 83 7C


def has_locale():
    listed = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    return any(name.lower().replace("-", "") == "ja_jp.utf8" for name in listed)


def make_locale():
    """Generates ja_JP.UTF-8 when missing; None when it is there, else why not."""
    if has_locale():
        return None
    if os.geteuid() != 0:
        return "the locale %s is missing and only root can generate it" % LOCALE
    if os.path.isfile("/etc/locale.gen") and shutil.which("locale-gen"):
        with open("/etc/locale.gen", encoding="utf-8") as f:
            listed = any(line.split() == [LOCALE, "UTF-8"] for line in f)
        if not listed:
            with open("/etc/locale.gen", "a", encoding="utf-8") as f:
                f.write("%s UTF-8\n" % LOCALE)
        subprocess.run(["locale-gen"], **wine_harness.QUIET)
    if not has_locale() and shutil.which("localedef"):
        subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", LOCALE], **wine_harness.QUIET)
    if not has_locale():
        return ("the locale %s could not be generated (is the Debian package locales installed?)"
                % LOCALE)
    return None


def host_names(folder):
    return set(os.listdir(os.fsencode(folder)))


def serve_names(args):
    # Every wine process from here on, the probe's too, gets code page 932.
    os.environ.update(LANG=LOCALE, LC_ALL=LOCALE)
    code_page = subprocess.run([args.wine_run, args.probe, "code-page"], capture_output=True,
                               text=True, timeout=60).stdout.strip()
    check(code_page == "932", "wine gives a program started with LANG=%s code page 932 (%s)"
          % (LOCALE, code_page))

    drive_c = os.path.join(args.prefix, "drive_c")
    for name in FILES:
        for path in (os.path.join(drive_c, name), os.path.join(args.workdir, name),
                     os.path.join(args.workdir, "got-" + name)):
            if os.path.lexists(path):
                os.unlink(path)
        with open(os.path.join(args.workdir, name), "wb") as f:
            f.write(FILES[name])
    before = host_names(drive_c)

    program = os.path.join(args.workdir, "quarnelix_link.exe")
    shutil.copyfile(args.exe, program)
    with open(os.path.join(args.workdir, "Quarnelix_link.ini"), "w", newline="") as f:
        f.write(SETTINGS)
    cable = Cable(QUIET_GAP)
    wine_harness.link_port(args.prefix, PORT, cable.desktop)
    peer = os.path.join(args.native_bin, "quarnelix-peer")

    def run(*words):
        return subprocess.run([peer, "--port", cable.handheld, "--speed", SPEED, "--codepage",
                               "CP932"] + list(words), capture_output=True, encoding="utf-8",
                              errors="replace", timeout=60)

    link = subprocess.Popen([args.wine_run, program])
    try:
        started = time.monotonic()
        check(await_open(link, cable.desktop, 30), "the program opens %s (%.1f s)"
              % (PORT, time.monotonic() - started))
        refusals = [put.stderr.strip() for put in
                    (run("put", os.path.join(args.workdir, name)) for name in FILES)
                    if put.returncode != 0]
        added = host_names(drive_c) - before
        check(not refusals and added == {name.encode() for name in FILES},
              "the uploads are stored under their own names: %s %s"
              % (sorted(added), refusals))
        for name, contents in FILES.items():
            with open(os.path.join(drive_c, name), "rb") as f:
                check(f.read() == contents, "%s is stored byte for byte" % name)

        for name, contents in FILES.items():
            local = os.path.join(args.workdir, "got-" + name)
            got = run("get", "C:\\" + name, local)
            check(got.returncode == 0, "download of C:\\%s (%s)" % (name, got.stderr.strip()))
            with open(local, "rb") as f:
                check(f.read() == contents, "C:\\%s comes back byte for byte" % name)

        listing = run("ls", "C:/")
        listed = {line.split(None, 4)[-1] for line in listing.stdout.splitlines()[1:-1]}
        check(listing.returncode == 0 and set(FILES) <= listed,
              "the listing of C:\\ names both files (%s)" % listing.stderr.strip())

        check(subprocess.run([args.wine_run, args.probe, "close"], timeout=60).returncode == 0
              and link.wait(timeout=30) == 0, "the program closes through its dialog")
    finally:
        if link.poll() is None:
            link.kill()
        for name in host_names(drive_c) - before:
            path = os.path.join(os.fsencode(drive_c), name)
            if os.path.isfile(path):
                os.unlink(path)


if __name__ == "__main__":
    reason = make_locale()
    if reason:
        print("skipped: " + reason)
        sys.exit(SKIPPED)
    wine_harness.program_test(PORT, serve_names)
