"""Wine prefixes, COM ports and a virtual cable for the tests that run Windows
programs under wine.

wine's mount manager links dosdevices/comN afresh at every start of the wine
server: first to the values under HKLM\\Software\\Wine\\Ports, then to the
/dev/ttyS* it finds. A link alone can therefore be replaced. Each port a test
uses is registered once, when the prefix is made, as a link of its own inside
the prefix (ports/comN); a test run points that link at a pseudo terminal, or
removes it for a port that does not exist.
"""
import argparse
import os
import select
import shutil
import subprocess
import sys
import threading
import time
import tty

QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver"


def wait_for_wineserver():
    subprocess.run([wineserver(), "-w"], check=False)


def port_link(prefix, port):
    return os.path.join(prefix, "ports", port.lower())


def prepare_prefix(prefix, wine_run, ports, unmanaged_windows=False):
    """Makes the prefix if it is new and registers `ports` (COM names) in it."""
    os.environ["WINEPREFIX"] = prefix
    os.environ.setdefault("WINEDEBUG", "-all")
    if not os.path.isdir(os.path.join(prefix, "dosdevices")):
        subprocess.run([wine_run, "wineboot", "-i"], check=True, **QUIET)
        if unmanaged_windows:
            # Without a window manager, managed windows make every hide wait seconds.
            subprocess.run([wine_run, "reg", "add", r"HKCU\Software\Wine\X11 Driver",
                            "/v", "Managed", "/d", "N", "/f"], check=True, **QUIET)
        wait_for_wineserver()
    os.makedirs(os.path.join(prefix, "ports"), exist_ok=True)
    with open(os.path.join(prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
        registry = f.read()
    missing = [p for p in ports
               if '"%s"="%s"' % (p, port_link(prefix, p).replace("\\", "\\\\")) not in registry]
    if missing:
        entries = "".join('"%s"="%s"\r\n' % (p, port_link(prefix, p).replace("\\", "\\\\"))
                          for p in missing)
        reg_file = os.path.join(prefix, "ports.reg")
        with open(reg_file, "w", newline="") as f:
            f.write("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n" + entries)
        subprocess.run([wine_run, "regedit", "/S", reg_file], check=True, **QUIET)
        wait_for_wineserver()


def unregister_port(wine_run, port):
    """Takes `port` out of the prefix; the system's port list leaves it out from
    the wine server's next start on."""
    subprocess.run([wine_run, "reg", "delete", r"HKLM\Software\Wine\Ports", "/v", port, "/f"],
                   check=False, **QUIET)
    wait_for_wineserver()


def link_port(prefix, port, target):
    """Points `port` at the device `target`, or at nothing when it is None."""
    for link, points_to in ((port_link(prefix, port), target),
                            (os.path.join(prefix, "dosdevices", port.lower()),
                             port_link(prefix, port))):
        if os.path.lexists(link):
            os.unlink(link)
        if points_to:
            os.symlink(points_to, link)


def preload_bridge(bridge):
    """Preloads the wine bridge into every wine process started from here on."""
    if not bridge or not os.path.isfile(bridge):
        sys.exit("the wine bridge %s is missing: build the native preset first "
                 "(cmake --preset native && cmake --build --preset native)" % bridge)
    os.environ["LD_PRELOAD"] = os.path.abspath(bridge)


def check(condition, message):
    print(("ok: " if condition else "FAILED: ") + message, flush=True)
    if not condition:
        raise SystemExit(1)


class Cable:
    """Two pseudo terminals joined as a null-modem cable. What the desktop end
    sends is recorded as messages: runs of bytes between gaps of `quiet_gap`
    seconds."""

    def __init__(self, quiet_gap):
        self.quiet_gap = quiet_gap
        self.desktop_master, self.desktop_slave = os.openpty()
        self.handheld_master, self.handheld_slave = os.openpty()
        for slave in (self.desktop_slave, self.handheld_slave):
            tty.setraw(slave)
        self.desktop = os.ttyname(self.desktop_slave)
        self.handheld = os.ttyname(self.handheld_slave)
        self.lock = threading.Lock()
        self.messages = []
        self.last_byte = 0.0
        # A terminal hangs up only once no read of its master is under way.
        self.stop_reading, self.stop_request = os.pipe()
        self.pumps = [threading.Thread(target=self.pump, args=(source, sink, record), daemon=True)
                      for source, sink, record in
                      ((self.desktop_master, self.handheld_master, True),
                       (self.handheld_master, self.desktop_master, False))]
        for pump in self.pumps:
            pump.start()

    def pump(self, source, sink, record):
        while True:
            try:
                if self.stop_reading in select.select([source, self.stop_reading], [], [])[0]:
                    return
                chunk = os.read(source, 65536)
                os.write(sink, chunk)
            except OSError:
                return
            if record:
                with self.lock:
                    now = time.monotonic()
                    if not self.messages or now - self.last_byte > self.quiet_gap:
                        self.messages.append(bytearray())
                    self.messages[-1] += chunk
                    self.last_byte = now

    def take(self):
        """The messages the desktop sent since the last call."""
        time.sleep(self.quiet_gap * 2)
        with self.lock:
            taken, self.messages = [bytes(m) for m in self.messages], []
        return taken

    def send_as_handheld(self, data):
        os.write(self.desktop_master, data)

    def unplug(self):
        """Closes both sides of both terminals: the desktop's end hangs up."""
        os.write(self.stop_request, b"x")
        for pump in self.pumps:
            pump.join()
        for fd in (self.desktop_master, self.desktop_slave, self.handheld_master,
                   self.handheld_slave, self.stop_reading, self.stop_request):
            os.close(fd)


def await_open(process, device, seconds):
    """Whether `process` opened `device` within `seconds`."""
    deadline = time.monotonic() + seconds
    fds = "/proc/%d/fd" % process.pid
    while time.monotonic() < deadline and process.poll() is None:
        try:
            if any(os.readlink(os.path.join(fds, fd)) == device for fd in os.listdir(fds)):
                time.sleep(0.3)  # the set-up that follows the open
                return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def program_test(port, steps, options=()):
    """Runs a test of the Windows program on `port` (a COM name or a list of
    them): parses the options every such test takes and `options`, prepares
    the prefix with the wine bridge, calls `steps(args)` and exits with 0 when
    it returns, 1 when a check failed."""
    parser = argparse.ArgumentParser()
    for option in ("--prefix", "--wine-run", "--bridge", "--native-bin", "--exe", "--probe",
                   "--workdir") + tuple(options):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    for program in ("quarnelix-peer", "quarnelix-link"):
        if not os.path.isfile(os.path.join(args.native_bin, program)):
            sys.exit("%s is missing in %s: build the native preset first"
                     % (program, args.native_bin))
    ports = [port] if isinstance(port, str) else list(port)
    prepare_prefix(args.prefix, args.wine_run, ports, unmanaged_windows=True)
    preload_bridge(args.bridge)
    os.makedirs(args.workdir, exist_ok=True)
    code = 1
    try:
        steps(args)
        code = 0
    except SystemExit as failure:
        code = failure.code
    finally:
        wait_for_wineserver()
    sys.exit(code)
