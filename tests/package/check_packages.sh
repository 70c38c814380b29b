#!/usr/bin/env bash
# Checks the packages that scripts/package.sh built: the Debian package's
# files, lintian's verdict, the programs and manual pages as installed, the
# user unit, and the Windows archive.
set -uo pipefail
cd "$(dirname "$0")/../.."

deb=$(ls build/packages/quarnelix-link_*.deb)
zip=$(ls build/packages/quarnelix-link-*-windows-x86.zip)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() {  # NAME COMMAND...: passes when the command succeeds and prints nothing
  local name=$1 output
  shift
  if output=$("$@" 2>&1) && [ -z "$output" ]; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/  /'
  fi
}

lintian_verdict() { lintian --pedantic "$deb" >"$work/lintian" 2>/dev/null; }  # fails on errors
man_warnings() { MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null; }
lines_without_cr() { ! unzip -p "$zip" "$folder/README.txt" | grep -v $'\r$'; }
list_ports() { "$root/usr/bin/quarnelix-link" --list-ports >/dev/null; }

lacking() {  # LISTING WANTED...: the wanted lines the listing does not have
  local listing=$1 wanted
  shift
  for wanted in "$@"; do grep -qxF -- "$wanted" "$listing" || echo "missing: $wanted"; done
}

dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
check "the package holds the programs, manual pages, unit and rule" lacking "$work/files" \
  ./usr/bin/quarnelix-link ./usr/bin/quarnelix-peer ./usr/bin/quarnelix-cable \
  ./usr/share/man/man1/quarnelix-link.1.gz ./usr/share/man/man1/quarnelix-peer.1.gz \
  ./usr/share/man/man1/quarnelix-cable.1.gz \
  ./usr/lib/systemd/user/quarnelix-link@.service \
  ./usr/share/doc/quarnelix-link/examples/70-quarnelix-link.rules \
  ./usr/share/doc/quarnelix-link/copyright ./usr/share/doc/quarnelix-link/changelog.gz

# lintian's warnings are shown; its errors fail the check.
check "lintian finds no error" lintian_verdict
sed 's/^/  lintian: /' "$work/lintian"

root=$work/root
dpkg-deb -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)
for program in quarnelix-link quarnelix-peer quarnelix-cable; do
  check "$program answers --version with $version" \
    test "$("$root/usr/bin/$program" --version)" = "$program $version"
  check "$program(1) renders without warnings" \
    man_warnings "$root/usr/share/man/man1/$program.1.gz"
done
check "quarnelix-link --list-ports runs" list_ports

# The unit is verified as the user manager reads it, with ExecStart pointing
# into the unpacked package and its manual page found there.
mkdir -m 700 "$work/runtime"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" \
  "$root/usr/lib/systemd/user/quarnelix-link@.service" >"$work/quarnelix-link@.service"
check "the user unit passes systemd-analyze verify" \
  env MANPATH="$root/usr/share/man" XDG_RUNTIME_DIR="$work/runtime" \
  systemd-analyze --user verify "$work/quarnelix-link@.service"

folder=$(basename "$zip" .zip)
unzip -Z1 "$zip" >"$work/zipped"
check "the Windows archive holds the program and its text" lacking "$work/zipped" \
  "$folder/quarnelix_link.exe" "$folder/README.txt"
check "the Windows text has Windows line ends" lines_without_cr

echo "package checks: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
