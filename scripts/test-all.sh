#!/usr/bin/env bash
# Builds and tests, installing what is missing first.
#
#   scripts/test-all.sh           every preset, lint of every file, every test, the
#                                 packages, the macOS cross builds, a short fuzzing run
#   scripts/test-all.sh --quick   the host build and its tests, lint of the files changed
#                                 since this branch left main: the loop while editing
#
# Ends with the time each stage took.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=false
case ${1:-} in
  "") ;;
  --quick) quick=true ;;
  *)
    echo "test-all.sh: '$1' is no option; --quick runs the host build's tests alone." >&2
    exit 2
    ;;
esac

jobs=$(nproc)
# The end-to-end tests mostly wait on the line's pauses: more of them than
# there are cores run side by side.
test_jobs=$((jobs * 4))
logs=build/test-all
mkdir -p "$logs"
rm -f "$logs"/*.times
began=$SECONDS

stage() {  # NAME COMMAND...: runs a stage, notes how long it took, returns how it ended
  local name=$1 start=$SECONDS status=0
  shift
  echo "=== $name"
  "$@" || status=$?
  printf '%5d s  %s%s\n' $((SECONDS - start)) "$name" "$([ $status -eq 0 ] || echo ' (FAILED)')" \
    >>"$logs/${lane:-main}.times"
  return $status
}
report_times() {
  echo "=== times"
  [ ! -f "$logs/main.times" ] || cat "$logs/main.times"
  [ ! -f "$logs/compute.times" ] || { echo "  beside the tests:" && cat "$logs/compute.times"; }
  printf '%5d s  in all\n' $((SECONDS - began))
}
trap report_times EXIT

# These functions run where a failure does not end the script: each returns its first.
build() {  # PRESET
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs"
}
mac_build() {  # PRESET: compiled and linked, warnings as errors; nothing runs
  build "$1" || return
  for program in quarnelix-link quarnelix-peer; do
    tests/package/check_macos_imports.sh "build/$1/bin/$program" || return
  done
}
host_tests() {  # PRESET
  ctest --preset "$1" -j "$test_jobs"
}

if $quick; then
  scripts/install-deps.sh host-programs python3 libgtest-dev libgmock-dev clang-format clang-tidy
  stage "build: native" build native
  stage "lint: what changed" scripts/lint.sh --changed
  stage "test: native" host_tests native
  exit 0
fi

stage "install what is missing" scripts/install-deps.sh
stage "build: native" build native
stage "build: sanitize" build sanitize
stage "build: windows-x64" build windows-x64
stage "build: windows-x86" build windows-x86

# The tests wait on the line's pauses and on wine more than they compute: the
# work that only computes runs beside them, its output kept in a log that is
# shown when it ends.
compute_lane() {  # every stage runs, whichever failed before it
  local failed=0
  lane=compute
  stage "lint: every file" scripts/lint.sh || failed=1
  stage "packages" scripts/package.sh || failed=1
  stage "build: macos-arm64" mac_build macos-arm64 || failed=1
  stage "build: macos-x64" mac_build macos-x64 || failed=1
  stage "launchd agent" tests/package/check_macos_agent.sh || failed=1
  # A short bounded fuzzing run; scripts/fuzz.sh runs longer ones.
  stage "fuzz: 2 x 30 s" scripts/fuzz.sh 30 || failed=1
  return "$failed"
}
compute_lane >"$logs/compute.log" 2>&1 &
compute=$!
echo "=== lint, packages, macOS builds and fuzzing run beside the tests: $logs/compute.log"

tests_failed=0
stage "test: native" host_tests native || tests_failed=1
stage "test: sanitize" host_tests sanitize || tests_failed=1
# The Windows programs run under wine; their dialogs need an X server.
stage "test: windows-x64 (wine)" xvfb-run -a ctest --preset windows-x64 || tests_failed=1

compute_failed=0
wait "$compute" || compute_failed=1
echo "=== lint, packages, macOS builds and fuzzing"
cat "$logs/compute.log"
if [ "$compute_failed" -ne 0 ] || [ "$tests_failed" -ne 0 ]; then
  echo "test-all: FAILED; the times below mark the stages that failed."
  exit 1
fi

# The Debian package and the Windows archive, checked as installed.
stage "package checks" tests/package/check_packages.sh
