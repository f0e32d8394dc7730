#!/usr/bin/env bash
# Builds kestrune-demo and runs it: the updater's own run against the simulated
# device, in real time, in a scratch folder with a sample update file. Answer Y
# and watch the progress row; any key ends it at the close.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --program
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target kestrune-demo >/dev/null)
status=0
"$root/build/release/kestrune-demo" || status=$?
echo
echo "(exit code $status: 1 after a completed update, 0 otherwise)"
