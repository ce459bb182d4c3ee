#!/usr/bin/env bash
# Installs what building and testing glimmer needs on Debian 12, skipping
# what is already there. Usage: tools/setup.sh [--demo]  (--demo: only what the
# demo run needs).
set -euo pipefail

packages=(build-essential cmake git pkg-config python3 libgtest-dev libgmock-dev googletest)
if [ "${1:-}" != "--demo" ]; then
    packages+=(clang libclang-rt-14-dev llvm libbenchmark-dev hyperfine valgrind strace
               libfreetype-dev libpng-dev fonts-dejavu-core zlib1g-dev
               g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user
               qemu-system-x86 qemu-system-arm busybox-static device-tree-compiler
               cpio xz-utils libsystemd-dev)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
