#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; does nothing when all are there.
set -euo pipefail

packages=(
  cmake g++ make python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 xvfb xauth imagemagick
  clang clang-format clang-tidy libclang-rt-14-dev
  dpkg-dev lintian man-db groff-base systemd unzip locales
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
