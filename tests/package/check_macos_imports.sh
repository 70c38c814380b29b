#!/usr/bin/env bash
# Checks what a cross-built Mac program asks the Mac's loader for: iconv and
# the C++ runtime from the system, libserialport wherever Homebrew (Apple
# silicon or Intel) or MacPorts put it, and nothing from the build machine.
set -euo pipefail
program=$1
imports=$(llvm-objdump --macho --dylibs-used "$program" | tail -n +2)
rpaths=$(llvm-objdump --macho --private-headers "$program" | awk '/cmd LC_RPATH/ {rpath=1} rpath && $1 == "path" {print $2; rpath=0}')
problems=0
fail() { echo "FAILED: $program: $*"; problems=1; }
grep -q '^[[:space:]]*@rpath/libserialport\.0\.dylib ' <<<"$imports" || fail "no @rpath/libserialport.0.dylib"
grep -q '^[[:space:]]*/usr/lib/libiconv\.2\.dylib ' <<<"$imports" || fail "no /usr/lib/libiconv.2.dylib"
while read -r library _; do
  case $library in
    /usr/lib/* | /System/* | @rpath/libserialport.0.dylib) ;;
    *) fail "imports $library" ;;
  esac
done <<<"$imports"
for folder in /opt/homebrew/lib /usr/local/lib /opt/local/lib; do
  grep -qx "$folder" <<<"$rpaths" || fail "does not look for libserialport in $folder"
done
[ $problems -eq 0 ] && echo "ok: $program loads libserialport from Homebrew's or MacPorts' folder"
exit $problems
