#!/usr/bin/env bash
# Builds the packages: the Debian package of the host programs and the ZIP
# archive of the 32-bit Windows program, both under build/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Debian's hardening flags (fortified functions, stack protector, read-only
# relocations).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake --preset package \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset package -j "$(nproc)"
cpack --preset deb

cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$(nproc)"
cpack --preset windows-zip

mkdir -p build/packages
cp build/package/packages/*.deb build/windows-x86/packages/*.zip build/packages/
ls -l build/packages
