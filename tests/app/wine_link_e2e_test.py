#!/usr/bin/env python3
"""The Windows program serves the handheld end to end, and answers as quarnelix-link does.

  wine_link_e2e_test.py --prefix P --wine-run W --bridge LIB --native-bin DIR
                        --exe quarnelix_link.exe --probe window_probe.exe --workdir D

quarnelix_link.exe runs under wine (Auto=1, Hide=1) on COM2, one end of a
virtual null-modem cable; quarnelix-peer on the other end lists a folder of
C:, downloads a file of a few hundred KB and an empty one, uploads a file to
C:\\ and then sends the same upload again, which must be refused. With C:\\
made to refuse new files, one more upload must leave nothing behind and be
shown in the dialog's status line. The program is closed through its dialog
and must have saved its settings. Then
quarnelix-link serves the same drive C: and gets the same requests. The
cable records what each desktop sends; both must have sent the same bytes,
apart from the times in listing records (see TIME_FIELDS).
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import wine_harness  # noqa: E402
from wine_harness import Cable, await_open, check  # noqa: E402

PORT = "COM2"
# COM2 at 115200 baud, opened at the start with the dialog hidden. The program
# writes all eight keys back on exit, so the four missing here show the save.
SETTINGS = "[options]\r\nHide=1\r\nAuto=1\r\nLastSpeed=3\r\nLastPort=1\r\n"
SPEED = "115200"
KEYS = ["LastPort", "LastSpeed", "Auto", "Hide", "ShowHide", "StartStop",
        "HotkeyShowHide", "HotkeyStartStop"]
FOLDER = "ql-e2e"  # C:\ql-e2e, inside the prefix's drive_c
UPLOAD = "ql-e2e-upload.bin"  # stored in C:\
REFUSED = "ql-e2e-refused.txt"  # sent while C:\ takes no new files

RECORD_SIZE = 296
# What may differ in a listing record: the creation, last-access and last-write
# times (offsets 4 to 27), which wine takes from other fields of the inode than
# quarnelix-link does and which the downloads themselves change. The attribute
# bits are compared in full: both report archive (0x20) for every file and
# directory (0x10) alone for a folder, nothing else.
TIME_FIELDS = slice(4, 28)
QUIET_GAP = 0.15  # seconds of silence that separate two messages of a desktop


def masked(message):
    """A listing message with its times set to zero; any other message as it is."""
    if len(message) % RECORD_SIZE != 1 or message[0] != (len(message) // RECORD_SIZE) % 256:
        return message
    out = bytearray(message)
    width = TIME_FIELDS.stop - TIME_FIELDS.start
    for start in range(1 + TIME_FIELDS.start, len(out), RECORD_SIZE):
        out[start:start + width] = bytes(width)
    return bytes(out)


def contents_of(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def make_folder(drive_c):
    """The served folder C:\\ql-e2e; returns its files' contents by name."""
    folder = os.path.join(drive_c, FOLDER)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "sub"))
    files = {"big.bin": random.Random(7).randbytes(300 * 1024), "empty.bin": b"",
             "notes.txt": b"three lines\r\nof notes\r\n\r\n"}
    for name, contents in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(contents)
    return files


def serve_requests(cable, peer, drive_c, files, workdir, label):
    """Runs every request against the desktop on the cable; returns what it sent."""
    sent = []
    upload_path = os.path.join(drive_c, UPLOAD)
    upload = random.Random(11).randbytes(20 * 1024)
    local_upload = os.path.join(workdir, "upload.bin")
    with open(local_upload, "wb") as f:
        f.write(upload)

    def run(*words):
        result = subprocess.run([peer, "--port", cable.handheld, "--speed", SPEED] + list(words),
                                capture_output=True, text=True, timeout=60)
        sent.extend(cable.take())
        return result

    listing = run("ls", "C:/%s/*" % FOLDER)
    check(listing.returncode == 0, "%s: listing of C:\\%s (%s)" % (label, FOLDER,
                                                                   listing.stderr.strip()))
    listed = {}
    for line in listing.stdout.splitlines()[1:-1]:
        fields = line.split(None, 4)
        if fields[4] not in (".", ".."):
            listed[fields[4]] = int(fields[1])
    expected = {name: len(contents) for name, contents in files.items()}
    expected["sub"] = 0
    check(listed == expected, "%s: the listing names every entry with its size: %s"
          % (label, listed))

    for name in ("big.bin", "empty.bin"):
        local = os.path.join(workdir, "got-" + name)
        got = run("get", "--force", "C:/%s/%s" % (FOLDER, name), local)
        check(got.returncode == 0 and contents_of(local) == files[name],
              "%s: download of %s (%d bytes) byte for byte (%s)"
              % (label, name, len(files[name]), got.stderr.strip()))

    if os.path.exists(upload_path):
        os.unlink(upload_path)
    put = run("put", local_upload, UPLOAD)
    check(put.returncode == 0 and contents_of(upload_path) == upload,
          "%s: upload stored in C:\\ byte for byte (%s)" % (label, put.stderr.strip()))

    # The simulator would not send an upload of a name that exists: send it as the handheld does.
    before, names = os.stat(upload_path).st_mtime_ns, sorted(os.listdir(drive_c))
    send_upload_as_handheld(cable, UPLOAD, b"replacement")
    time.sleep(0.5)  # the quiet interval that ends the message, and more
    # Uploads are answered with nothing: the answer to a listing shows the desktop is done with it.
    listed = run("ls", "C:/" + UPLOAD)
    untouched = (contents_of(upload_path) == upload and os.stat(upload_path).st_mtime_ns == before
                 and sorted(os.listdir(drive_c)) == names)
    check(" %d " % len(upload) in listed.stdout and untouched,
          "%s: a second upload of the same name is refused, the file untouched" % label)
    os.unlink(upload_path)
    return sent


def probe(args, *words):
    return subprocess.run([args.wine_run, args.probe] + list(words), timeout=60).returncode


def send_upload_as_handheld(cable, name, contents):
    cable.send_as_handheld(b"&&")
    time.sleep(0.3)
    cable.send_as_handheld(name.encode())
    time.sleep(0.7)  # the desktop pauses 500 ms after taking the name
    cable.send_as_handheld(contents)


def refuses_new_entries(folder):
    probe_path = os.path.join(folder, "ql-lock-check")
    try:
        os.close(os.open(probe_path, os.O_CREAT | os.O_EXCL))
    except OSError:
        return True
    os.unlink(probe_path)
    return False


def lock_folder(folder):
    """Makes `folder` refuse new entries; the command that undoes it, or None
    when this user cannot. Root passes over permissions, so root makes the
    folder immutable instead."""
    if os.geteuid() != 0:
        lock, undo = ["chmod", "0555", folder], ["chmod", "%o" % (os.stat(folder).st_mode & 0o7777),
                                                 folder]
    elif shutil.which("chattr"):
        lock, undo = ["chattr", "+i", folder], ["chattr", "-i", folder]
    else:
        return None
    subprocess.run(lock, **wine_harness.QUIET)
    if refuses_new_entries(folder):
        return undo
    subprocess.run(undo, **wine_harness.QUIET)
    return None


def unlock_left_over(folder):
    """Undoes a lock an interrupted run left on `folder`."""
    if os.geteuid() == 0 and shutil.which("chattr"):
        subprocess.run(["chattr", "-i", folder], **wine_harness.QUIET)


def refused_store_is_shown(args, cable, drive_c):
    """An upload into a C:\\ that refuses new files leaves nothing there, not even
    a temporary file, and the status line names the file, the folder and why."""
    names = sorted(os.listdir(drive_c))
    undo = lock_folder(drive_c)
    if undo is None:
        print("skipped: %s cannot be made to refuse new files (chattr +i as root, chmod 0555 "
              "otherwise)" % drive_c)
        return
    try:
        send_upload_as_handheld(cable, REFUSED, b"a memo of a few words\r\n")
        expected = "Unable to store %s in C:\\ (access denied)" % REFUSED
        shown = probe(args, "wait-status", expected, "10000") == 0
    finally:
        subprocess.run(undo, check=True)
    cable.take()  # an upload is answered with nothing; what came is not compared
    check(shown, "a refused store is shown in the status line")
    check(sorted(os.listdir(drive_c)) == names, "the refused store leaves nothing in C:\\: %s"
          % sorted(set(os.listdir(drive_c)) - set(names)))


def wrong_speed_is_shown(args, cable):
    """Bytes from a handheld at another speed make no command: after a few
    such messages outside any exchange the status line says so and names the
    speeds to try."""
    for garbled in (b"\xf0\x0f\x55", b"\x80\xfe", b"\x0f\xf0\x0f\xf0"):
        cable.send_as_handheld(garbled)
        time.sleep(0.4)  # more than the quiet interval: three messages
    expected = ("Bytes arrive that make no command: the handheld is probably not at 115200; "
                "try 19200, 38400 or 57600.")
    check(probe(args, "wait-status", expected, "10000") == 0,
          "bytes that make no command are explained in the status line")
    cable.take()


def run_windows_program(args, cable, peer, drive_c, files):
    program = os.path.join(args.workdir, "quarnelix_link.exe")
    shutil.copyfile(args.exe, program)
    settings = os.path.join(args.workdir, "Quarnelix_link.ini")
    with open(settings, "w", newline="") as f:
        f.write(SETTINGS)
    wine_harness.link_port(args.prefix, PORT, cable.desktop)
    started = time.monotonic()
    link = subprocess.Popen([args.wine_run, program])
    try:
        check(await_open(link, cable.desktop, 30), "the program opens %s at its start (%.1f s)"
              % (PORT, time.monotonic() - started))
        check(probe(args, "wait-hidden", "10000") == 0, "its dialog stays hidden")
        wrong_speed_is_shown(args, cable)
        sent = serve_requests(cable, peer, drive_c, files, args.workdir, "quarnelix_link.exe")
        refused_store_is_shown(args, cable, drive_c)
        check(probe(args, "close") == 0, "closing the program through its dialog")
        check(link.wait(timeout=30) == 0, "the program ends with 0")
    finally:
        if link.poll() is None:
            link.kill()
    with open(settings) as f:
        lines = [line for line in f.read().splitlines() if "=" in line]
    check(sorted(line.split("=")[0] for line in lines) == sorted(KEYS)
          and set(SETTINGS.split("\r\n")[1:-1]) <= set(lines),
          "the settings are written back on exit: %s" % lines)
    return sent


def run_terminal_program(args, cable, peer, drive_c, files):
    link = subprocess.Popen([os.path.join(args.native_bin, "quarnelix-link"), "--port",
                             cable.desktop, "--speed", SPEED, "--drive", "C=" + drive_c,
                             "--settings", os.path.join(args.workdir, "host.ini")],
                            stdout=subprocess.PIPE, text=True)
    try:
        opened = cable.desktop + " opened."
        check(any(line.strip() == opened for line in link.stdout),
              "quarnelix-link opens its end of the cable")
        sent = serve_requests(cable, peer, drive_c, files, args.workdir, "quarnelix-link")
    finally:
        link.send_signal(signal.SIGTERM)
        link.wait(timeout=30)
    return sent


def compare_programs(args):
    peer = os.path.join(args.native_bin, "quarnelix-peer")
    drive_c = os.path.join(args.prefix, "drive_c")
    unlock_left_over(drive_c)
    files = make_folder(drive_c)
    cable = Cable(QUIET_GAP)
    started = time.monotonic()
    windows = run_windows_program(args, cable, peer, drive_c, files)
    print("quarnelix_link.exe: %.1f s" % (time.monotonic() - started))
    started = time.monotonic()
    terminal = run_terminal_program(args, cable, peer, drive_c, files)
    print("quarnelix-link: %.1f s" % (time.monotonic() - started))
    first = next((i for i, (a, b) in enumerate(zip(windows, terminal))
                  if masked(a) != masked(b)), min(len(windows), len(terminal)))
    same = b"".join(map(masked, windows)) == b"".join(map(masked, terminal))
    check(same, "both programs sent the same bytes (%d and %d messages, %d bytes; first "
          "difference in message %d)" % (len(windows), len(terminal),
                                         sum(map(len, windows)), first))


if __name__ == "__main__":
    wine_harness.program_test(PORT, compare_programs)
