#!/usr/bin/env bash
# Builds the updater and runs it in a scratch folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --program
(cd "$root" && cmake --preset release >/dev/null && cmake --build --preset release --target kestrune-update >/dev/null)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
status=0
"$root/build/release/kestrune-update" || status=$?
echo
echo "(exit code $status)"
