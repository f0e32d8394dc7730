#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test:
# unit and full-run tests (plain and under the sanitizers), the fuzz targets
# briefly, the benchmarks once briefly, the Linux program end to end under
# QEMU, the Windows cross build and its end-to-end tests under wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

step() { printf '\n== %s\n' "$*"; }

step "format: clang-format over the tracked C++ files"
git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror

for preset in debug asan; do
    step "build and test: $preset"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j "$jobs"
done

step "fuzz: each target for a short while on a scratch copy of its corpus"
fuzz_seconds=30
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
fuzz_scratch=$(mktemp -d)
for target in load run; do
    cp -r "fuzz/corpus/$target" "$fuzz_scratch/$target"
    if ! "build/fuzz/kestrune-fuzz-$target" -max_total_time="$fuzz_seconds" -timeout=10 \
        -artifact_prefix="$fuzz_scratch/$target-" "$fuzz_scratch/$target" \
        >"$fuzz_scratch/$target.log" 2>&1; then
        tail -n 40 "$fuzz_scratch/$target.log"
        echo "fuzz: $target failed; its log and failing input are in $fuzz_scratch"
        exit 1
    fi
    printf '%s: ' "$target"
    grep -E '^Done [0-9]+ runs' "$fuzz_scratch/$target.log"
done
rm -rf "$fuzz_scratch"

step "build: release and benchmarks"
cmake --preset release
cmake --build --preset release -j "$jobs"
for bench in build/release/kestrune-bench-*; do
    [ -x "$bench" ] || continue
    "$bench" --benchmark_min_time=0.05
done

step "demo: a whole update in real time, answered from standard input"
status=0
echo y | setsid -w build/release/kestrune-demo >build/release/demo.txt || status=$?
tail -c 120 build/release/demo.txt
echo
if [ "$status" -ne 1 ] || ! grep -q "FirmWare update OK." build/release/demo.txt; then
    echo "demo: expected a completed update and exit code 1, got $status"
    exit 1
fi

step "end to end: linux program under QEMU, through the kernel's converter driver"
tests/qemu/run.sh build/debug

step "build: windows"
cmake --preset windows
cmake --build --preset windows -j "$jobs"
cmake --build --preset windows --target package-zip

step "packages: the .deb and .tar.gz, their contents and the zip's"
cmake --build --preset release --target package
packaging/check-packages.sh build/release build/windows

if [ -x tests/e2e/run.sh ]; then
    step "end to end: windows program under wine"
    tests/e2e/run.sh build/windows
fi

step "all checks passed"
