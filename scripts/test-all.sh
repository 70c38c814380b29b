#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
for preset in native sanitize windows-x64 windows-x86 fuzz; do
  echo "=== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

# macOS: cross-built with zig for both processors, warnings as errors; nothing runs.
for preset in macos-arm64 macos-x64; do
  echo "=== build: $preset (compile and link only)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  for program in quarnelix-link quarnelix-peer; do
    tests/package/check_macos_imports.sh "build/$preset/bin/$program"
  done
done
tests/package/check_macos_agent.sh

echo "=== lint: clang-format, clang-tidy"
scripts/lint.sh

for preset in native sanitize; do
  echo "=== test: $preset"
  ctest --preset "$preset" -j "$jobs"
done

# The Windows programs run under wine; their dialogs need an X server.
echo "=== test: windows-x64 (wine)"
xvfb-run -a ctest --preset windows-x64

# The Debian package and the Windows archive, built and checked as installed.
echo "=== packages"
scripts/package.sh
tests/package/check_packages.sh

# A short bounded fuzzing run; scripts/fuzz.sh runs longer ones.
echo "=== fuzz: 2 x 30 s"
scripts/fuzz.sh 30
