#!/usr/bin/env bash
# Builds the terminal server and measures it at line rates, and the file
# system's listing and matching in process (about half an hour; --quick for a
# look in two minutes; --cable for the measures over the paced virtual cable
# alone, about five minutes). The table goes to standard output and, as CSV, to
# build/bench-results.csv. A measure that misses its target is marked MISSED;
# with --check the run then fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)" --target quarnelix-link quarnelix-bench
build/native/bin/quarnelix-bench --csv build/bench-results.csv "$@"
