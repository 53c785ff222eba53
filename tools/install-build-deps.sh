#!/bin/bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine.
set -euo pipefail

packages=(
    build-essential cmake ninja-build
    qtbase5-dev qtbase5-dev-tools
    g++-mingw-w64-x86-64-posix wine64 libz-mingw-w64-dev xz-utils
    libarchive-tools libarchive-dev zlib1g-dev zip
    xvfb xdotool x11-apps imagemagick fonts-droid-fallback
    curl clang libclang-rt-14-dev pkg-config
    libssl-dev openssl
    util-linux procps time
    python3
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
