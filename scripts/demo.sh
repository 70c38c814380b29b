#!/usr/bin/env bash
# Shows the desktop server and a simulated handheld at work, with no hardware:
# builds the host programs and runs the demonstration over a virtual cable.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target quarnelix-link quarnelix-peer quarnelix-demo \
  -j "$(nproc)"
exec build/native/bin/quarnelix-demo
