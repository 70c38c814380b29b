#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds each (default 600).
# Corpora grow under build/fuzz/corpus/; a crash stops with its input saved there.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
for fuzzer in link_session_fuzzer paths_listing_fuzzer; do
  corpus=build/fuzz/corpus/$fuzzer
  mkdir -p "$corpus"
  echo "--- $fuzzer: ${seconds} s"
  log=build/fuzz/$fuzzer.log
  if ! build/fuzz/bin/$fuzzer -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      -artifact_prefix=build/fuzz/ "$corpus" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "$fuzzer found a fault; its input is saved under build/fuzz/"
    exit 1
  fi
  grep -E '^Done' "$log"
done
