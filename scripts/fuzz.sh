#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds (default 600), the
# targets side by side. Corpora grow under build/fuzz/corpus/; a crash stops
# its target with the input saved under build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
fuzzers=(link_session_fuzzer paths_listing_fuzzer)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
echo "--- ${fuzzers[*]}: ${seconds} s each, side by side"
pids=()
for fuzzer in "${fuzzers[@]}"; do
  corpus=build/fuzz/corpus/$fuzzer
  mkdir -p "$corpus"
  build/fuzz/bin/$fuzzer -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ "$corpus" >"build/fuzz/$fuzzer.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!fuzzers[@]}"; do
  log=build/fuzz/${fuzzers[$i]}.log
  if wait "${pids[$i]}"; then
    echo "${fuzzers[$i]}: $(grep -E '^Done' "$log")"
  else
    failed=1
    tail -n 40 "$log"
    echo "${fuzzers[$i]} found a fault; its input is saved under build/fuzz/"
  fi
done
exit "$failed"
