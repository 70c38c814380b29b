#!/usr/bin/env bash
# Checks the formatting of the C++ files and runs clang-tidy over the host
# build's sources (the native preset must be configured).
#
#   scripts/lint.sh             every file
#   scripts/lint.sh --changed   the files changed since this branch left main
#                               (committed or not), and the sources that
#                               include a changed header, directly or not
set -euo pipefail
cd "$(dirname "$0")/.."

case ${1:-} in
  "" | --changed) ;;
  *)
    echo "lint.sh: '$1' is no option; --changed lints what changed since main." >&2
    exit 2
    ;;
esac
if [ ! -f build/native/compile_commands.json ]; then
  echo "lint.sh: build/native is not configured; run 'cmake --preset native' first." >&2
  exit 1
fi

base=""
if [ "${1:-}" = --changed ]; then
  for branch in origin/main main; do
    base=$(git merge-base HEAD "$branch" 2>/dev/null) && break
  done
  [ -n "$base" ] || base=$(git rev-parse HEAD)
fi

# One file a line: first those clang-format checks, then, after an empty
# line, the units clang-tidy checks.
selection=$(
  python3 - "$base" <<'PY'
import json, os, re, subprocess, sys

def git(*args):
    out = subprocess.run(["git", "-c", "core.quotePath=false", *args], check=True,
                         capture_output=True, text=True).stdout
    return [line for line in out.split("\n") if line]

root = os.getcwd()
units = sorted({os.path.relpath(entry["file"], root)
                for entry in json.load(open("build/native/compile_commands.json"))})
units = [unit for unit in units if not unit.startswith(("build", ".."))]
sources = git("ls-files", "--", "*.cpp", "*.h")
base = sys.argv[1]
if base:
    changed = set(git("diff", "--name-only", "--diff-filter=d", base, "--", "*.cpp", "*.h"))
    changed |= set(git("ls-files", "--others", "--exclude-standard", "--", "*.cpp", "*.h"))
    # Every file that includes a changed header, through other headers too.
    includes = {}
    for path in set(sources) | changed | set(units):
        try:
            text = open(path, encoding="utf-8", errors="replace").read()
        except OSError:
            continue
        includes[path] = set(re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M))
    reached = set(changed)
    grew = True
    while grew:
        headers = {path for path in reached if path.endswith(".h")}
        more = {path for path, named in includes.items()
                if path not in reached and any(h in named or os.path.basename(h) in named
                                               for h in headers)}
        reached |= more
        grew = bool(more)
    sources = sorted(changed)
    units = [unit for unit in units if unit in reached]
    print(f"lint: {len(sources)} changed files since {base[:12]}, {len(units)} units to tidy",
          file=sys.stderr)
print("\n".join(sources))
print()
print("\n".join(units))
PY
)
mapfile -t sources < <(printf '%s\n' "$selection" | sed '/^$/,$d')
mapfile -t units < <(printf '%s\n' "$selection" | sed '1,/^$/d' | grep . || true)

[ ${#sources[@]} -eq 0 ] || clang-format --dry-run -Werror "${sources[@]}"

# The terminal programs print only through Say, TerminalLines or
# TerminalMessage, which escape whatever came from outside the program.
raw=$(grep -nE 'std::(cout|cerr)[[:space:]]*<<|(^|[^[:alnum:]_])(f?printf|puts)\(' \
  app/posix/*.cpp app/terminal/*.cpp tools/peer/*.cpp tools/cable/*.cpp | grep -v 'TerminalMessage(' || true)
if [ -n "$raw" ]; then
  printf '%s\n' "$raw"
  echo "lint: print through Say or TerminalLines (app/terminal/terminal_output.h), not raw."
  exit 1
fi
if [ ${#units[@]} -ne 0 ]; then
  report=$(mktemp)
  trap 'rm -f "$report"' EXIT
  status=0
  printf '%s\n' "${units[@]}" |
    xargs -d '\n' -P "$(nproc)" -n 1 clang-tidy -p build/native --quiet >"$report" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || grep -qE 'warning:|error:' "$report"; then
    grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' "$report" || true
    echo "lint: clang-tidy found the faults above."
    exit 1
  fi
fi
echo "lint: clean"
