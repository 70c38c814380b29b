#!/usr/bin/env bash
# Builds the release files under build/packages/: the Debian package of the
# terminal programs and the ZIP archive of the 32-bit Windows program.
#
#   scripts/package.sh            both
#   scripts/package.sh deb        the Debian package alone (no Windows cross compiler needed)
#   scripts/package.sh windows    the Windows archive alone
#
# Built from the same commit with the same Debian packages, the files are the
# same byte for byte, wherever and whenever they are built
# (scripts/check-reproducible.sh builds them twice and compares).
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-both}
case $what in
  both | deb | windows) ;;
  *)
    echo "package.sh: '$what' is no package; give deb, windows, or nothing for both." >&2
    exit 2
    ;;
esac

# Every time in the archives is the last commit's, in UTC (a ZIP holds local
# times); modes do not depend on the builder's umask.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! command -v git >/dev/null; then
    echo "package.sh: git is not installed; set SOURCE_DATE_EPOCH to the release's time, or install git." >&2
    exit 1
  elif ! top=$(git rev-parse --show-toplevel 2>&1); then
    echo "package.sh: git cannot give the last commit's time here (${top%%$'\n'*}); set SOURCE_DATE_EPOCH to the release's time." >&2
    exit 1
  elif [ "$top" != "$(pwd -P)" ]; then
    echo "package.sh: these sources are no checkout of their own but lie inside $top; set SOURCE_DATE_EPOCH to the release's time." >&2
    exit 1
  fi
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH TZ=UTC
umask 022

mkdir -p build/packages
if [ "$what" != windows ]; then
  scripts/install-deps.sh host-programs dpkg-dev
  # Debian's hardening flags (fortified functions, stack protector, read-only
  # relocations), without the debugging information that the package strips.
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g
  cmake --preset package \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  cmake --build --preset package -j "$(nproc)"
  rm -rf build/package/packages build/packages/*.deb
  cpack --preset deb
  cp build/package/packages/*.deb build/packages/
fi
if [ "$what" != deb ]; then
  scripts/install-deps.sh cmake make g++-mingw-w64-i686
  cmake --preset windows-x86 >/dev/null
  cmake --build --preset windows-x86 -j "$(nproc)"
  rm -rf build/windows-x86/packages build/packages/*.zip
  cpack --preset windows-zip
  cp build/windows-x86/packages/*.zip build/packages/
fi
ls -l build/packages
