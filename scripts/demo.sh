#!/usr/bin/env bash
# Shows the desktop server and a simulated handheld at work, with no hardware:
# builds the host programs (not the tests) in build/demo and runs the
# demonstration over a virtual cable. Installs only what those programs need.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v dpkg-query >/dev/null && scripts/install-deps.sh host-programs
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo --target quarnelix-link quarnelix-peer quarnelix-demo \
  -j "$(nproc 2>/dev/null || sysctl -n hw.ncpu)"
exec build/demo/bin/quarnelix-demo
