#!/usr/bin/env bash
# Takes a picture of the control dialog: runs the 64-bit Windows build under
# wine on a virtual X server and saves the dialog as a PNG. The port box shows
# COM7 as a USB adapter that Windows names, with the box's list open.
#   scripts/screenshot-windows.sh [program.exe] [picture.png] [dpi]
# dpi: the screen's resolution Windows is told (default 96; 192 shows the
# dialog as on a high-resolution screen at 200 %).
# Builds nothing: build the windows-x64 preset first (with its tests'
# port_registrar.exe and port_box_probe.exe, found beside the program).
set -euo pipefail
cd "$(dirname "$0")/.."

program=$(realpath "${1:-build/windows-x64/bin/quarnelix_link.exe}")
picture=$(realpath -m "${2:-docs/dialog.png}")
dpi="${3:-96}"
[[ "$dpi" =~ ^[0-9]+$ ]] || { echo "dpi must be a number, not $dpi" >&2; exit 1; }
registrar="$(dirname "$program")/port_registrar.exe"
box_probe="$(dirname "$program")/port_box_probe.exe"
for file in "$program" "$registrar" "$box_probe"; do
  [ -f "$file" ] || { echo "no $file: build the windows-x64 preset first" >&2; exit 1; }
done

# Re-run on a virtual X server of our own.
if [ -z "${QL_SCREENSHOT_DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" env QL_SCREENSHOT_DISPLAY=1 "$0" "$program" "$picture" "$dpi"
fi

export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/quarnelix-screenshot-$(id -u)}"
export WINEDEBUG=-all
wine_run=cmake/wine-run.sh
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
if [ ! -d "$WINEPREFIX/dosdevices" ]; then
  "$wine_run" wineboot -i >/dev/null 2>&1
  # Without a window manager wine draws the caption itself only for unmanaged windows.
  "$wine_run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  "$wineserver" -w
fi

# Windows' logical resolution, which scales fonts, dialog units and icon sizes.
"$wine_run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
"$wineserver" -w

# COM7 as a CH340 adapter appears once its driver is installed: listed under
# SERIALCOMM by wine's mount manager at the server's next start (behind
# /dev/null, as the dialog is only pictured) and a present device of the
# Ports class, whose friendly name the port box shows.
"$wine_run" reg add 'HKLM\Software\Wine\Ports' /v COM7 /d /dev/null /f >/dev/null 2>&1
"$wineserver" -w
"$wine_run" "$registrar" add COM7 "USB-SERIAL CH340 (COM7)" 'USB\VID_1A86&PID_7523'
"$wineserver" -w

# A copy in a folder of its own, with settings that chose COM7 last time, leaves no file behind.
workdir=$(mktemp -d)
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$workdir"' EXIT
cp "$program" "$workdir/quarnelix_link.exe"
printf '[options]\r\nLastPort=4\r\nLastPortName=COM7\r\n' >"$workdir/Quarnelix_link.ini"
"$wineserver" -p3 >/dev/null 2>&1
"$wine_run" "$workdir/quarnelix_link.exe" >/dev/null 2>&1 &

geometry=""
for _ in $(seq 1 100); do
  info=$(xwininfo -name "Quarnelix Link" 2>/dev/null || true)
  if grep -q "Map State: IsViewable" <<<"$info"; then
    x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
    y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
    w=$(awk '/Width:/ {print $2}' <<<"$info")
    h=$(awk '/Height:/ {print $2}' <<<"$info")
    geometry="${w}x${h}+${x}+${y}"
    break
  fi
  sleep 0.2
done
[ -n "$geometry" ] || { echo "the dialog did not appear" >&2; exit 1; }

# The box is narrower than a port's name: the open list shows the names whole.
"$wine_run" "$box_probe" drop
sleep 1  # let it paint
mkdir -p "$(dirname "$picture")"
import -window root -crop "$geometry" +repage "$picture"
echo "saved $picture ($geometry)"
