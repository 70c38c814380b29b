#!/usr/bin/env bash
# Checks the formatting of the C++ files and runs clang-tidy over the host
# build's sources (the native preset must be configured).
#
#   scripts/lint.sh             every file
#   scripts/lint.sh --changed   the files changed since this branch left main
#                               (committed or not), and the sources that
#                               include a changed header
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t units < <(python3 -c '
import json, os
root = os.getcwd()
for entry in json.load(open("build/native/compile_commands.json")):
    path = os.path.relpath(entry["file"], root)
    if not path.startswith(("build", "..")):
        print(path)' | sort -u)
mapfile -t sources < <(git ls-files '*.cpp' '*.h')

if [ "${1:-}" = --changed ]; then
  base=$(git merge-base HEAD '@{upstream}' 2>/dev/null || git merge-base HEAD origin/main 2>/dev/null ||
    git rev-parse HEAD)
  mapfile -t changed < <({
    git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.h'
    git ls-files --others --exclude-standard -- '*.cpp' '*.h'
  } | sort -u)
  sources=("${changed[@]}")
  headers=()
  for file in "${changed[@]}"; do [[ $file == *.h ]] && headers+=("$file"); done
  mapfile -t units < <(
    printf '%s\n' "${units[@]}" | grep -xF -f <(printf '%s\n' "${changed[@]}") || true
    if [ ${#headers[@]} -ne 0 ]; then
      printf '%s\n' "${units[@]}" |
        xargs grep -lF -f <(printf '#include "%s"\n' "${headers[@]}") 2>/dev/null || true
    fi
  )
  mapfile -t units < <(printf '%s\n' "${units[@]}" | grep . | sort -u || true)
  echo "lint: ${#sources[@]} changed files since ${base:0:12}, ${#units[@]} to tidy"
fi

[ ${#sources[@]} -eq 0 ] || clang-format --dry-run -Werror "${sources[@]}"
if [ ${#units[@]} -ne 0 ]; then
  printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p build/native --quiet 2>&1 |
    { ! grep -E 'warning:|error:'; }
fi
echo "lint: clean"
