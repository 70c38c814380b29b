#!/bin/sh
# Runs a Windows test program under wine64 in a prefix of its own, quietly.
# WINEPREFIX may be set by the caller (tests that link COM ports to ptys do).
: "${WINEPREFIX:=${TMPDIR:-/tmp}/quarnelix-wine-$(id -u)}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
exec "$loader" "$@"
