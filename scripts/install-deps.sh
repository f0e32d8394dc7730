#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, where missing.
# With --program: only what building the Linux programs needs.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libbenchmark-dev libserialport-dev)
if [ "${1:-}" != "--program" ]; then
    packages+=(
        libgtest-dev libgmock-dev
        g++-mingw-w64-x86-64-posix wine wine64
        tmux zip unzip clang-format
        clang-14 libclang-rt-14-dev
    )
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
