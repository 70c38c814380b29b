#!/usr/bin/env bash
# Checks the launchd user agent as the macOS build configures and installs it
# (build/macos-arm64 must be configured): it parses, runs the installed
# quarnelix-link on the adapter's device, is kept alive on that device's path
# and logs under ~/Library/Logs/.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/macos-arm64}

python3 - "$build" <<'PY'
import plistlib, re, sys
build = sys.argv[1]
prefix = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", open(f"{build}/CMakeCache.txt").read(), re.M)[1]
with open(f"{build}/packaging/org.quarnelix.link.plist", "rb") as file:
    agent = plistlib.load(file)
problems = []
arguments = agent.get("ProgramArguments", [])
device = arguments[1] if len(arguments) == 2 else ""
if arguments[:1] != [f"{prefix}/bin/quarnelix-link"] or not device.startswith("/dev/cu."):
    problems.append(f"ProgramArguments {arguments}: want [{prefix}/bin/quarnelix-link, /dev/cu.…]")
if agent.get("KeepAlive") != {"PathState": {device: True}}:
    problems.append(f"KeepAlive {agent.get('KeepAlive')}: want PathState {device} true")
for key in ("StandardOutPath", "StandardErrorPath"):
    if not re.fullmatch(r"/Users/[^/]+/Library/Logs/[^/]+\.log", agent.get(key, "")):
        problems.append(f"{key} {agent.get(key)}: want a file in ~/Library/Logs/")
if agent.get("Label") != "org.quarnelix.link":
    problems.append(f"Label {agent.get('Label')}")
install = open(f"{build}/cmake_install.cmake").read()
if not re.search(r'share/doc/quarnelix-link/examples".*org\.quarnelix\.link\.plist', install):
    problems.append("cmake --install does not put it in share/doc/quarnelix-link/examples")
for problem in problems:
    print("FAILED:", problem)
if problems:
    sys.exit(1)
print("ok: the launchd agent serves", device, "with", arguments[0])
PY
