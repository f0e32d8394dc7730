#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where missing.
# With --program: only what building the Linux programs needs.
# With --qemu: only what the end-to-end runs under QEMU need.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libserialport-dev)
# The end-to-end runs under QEMU (tests/qemu/run.sh).
qemu_packages=(qemu-system-x86 busybox-static cpio xz-utils)
if [ "${1:-}" = "--qemu" ]; then
    packages=("${qemu_packages[@]}")
elif [ "${1:-}" != "--program" ]; then
    packages+=("${qemu_packages[@]}")
    packages+=(
        libgtest-dev libgmock-dev libbenchmark-dev
        g++-mingw-w64-x86-64-posix wine wine64
        tmux clang-format
        clang-14 libclang-rt-14-dev
    )
    # The .deb: its library dependencies (dpkg-shlibdeps, which needs file).
    packages+=(dpkg-dev file)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
