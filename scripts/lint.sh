#!/usr/bin/env bash
# Checks the formatting of every C++ file and runs clang-tidy over the host
# build's sources (the native preset must be configured).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run -Werror "${sources[@]}"

mapfile -t units < <(python3 -c '
import json, os
root = os.getcwd()
for entry in json.load(open("build/native/compile_commands.json")):
    path = os.path.relpath(entry["file"], root)
    if not path.startswith(("build", "..")):
        print(path)' | sort -u)
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p build/native --quiet 2>&1 |
  { ! grep -E 'warning:|error:'; }
echo "lint: clean"
