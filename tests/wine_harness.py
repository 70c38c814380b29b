"""Wine prefixes and COM ports for the tests that run Windows programs under wine.

wine's mount manager links dosdevices/comN afresh at every start of the wine
server: first to the values under HKLM\\Software\\Wine\\Ports, then to the
/dev/ttyS* it finds. A link alone can therefore be replaced. Each port a test
uses is registered once, when the prefix is made, as a link of its own inside
the prefix (ports/comN); a test run points that link at a pseudo terminal, or
removes it for a port that does not exist.
"""
import os
import shutil
import subprocess
import sys

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
