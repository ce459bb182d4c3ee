#!/usr/bin/env bash
# Installs what building and testing glimmer needs on Debian 12, skipping
# what is already there. Usage: tools/setup.sh [--demo]  (--demo: only what the
# demo run needs).
set -euo pipefail
apt_name=setup
. "$(dirname "$0")/apt.sh"

full=1
[ "${1:-}" = "--demo" ] && full=0
packages=(build-essential cmake git pkg-config python3 libgtest-dev libgmock-dev googletest
          libdrm-dev)
# The board's libraries (armhf) are tried by tools/cross/install-armhf-libs.sh,
# and left out with a warning when they cannot be installed: an armhf library
# must have the same version as the native one, and during an archive update
# the two architectures do not always match.
optional=()
if [ $full = 1 ]; then
    packages+=(clang libclang-rt-14-dev llvm libbenchmark-dev hyperfine valgrind strace
               libfreetype-dev libpng-dev fonts-dejavu-core zlib1g-dev
               g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user
               qemu-system-x86 qemu-system-arm busybox-static device-tree-compiler
               cpio xz-utils libsystemd-dev mmdebstrap e2fsprogs)
    optional+=(libdrm-dev:armhf libsystemd-dev:armhf)
fi

mapfile -t missing < <(apt_missing "${packages[@]}")
mapfile -t missing_optional < <(apt_missing "${optional[@]}")
new_arch=0
if [ $full = 1 ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "setup: adding the armhf architecture"
    "${apt_sudo[@]}" dpkg --add-architecture armhf
    new_arch=1
fi
# The lists are brought up to date for what is needed; an optional package
# that could not be installed before is tried again with the lists there are.
if [ ${#missing[@]} -gt 0 ] || [ $new_arch = 1 ]; then
    apt_update
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt_install "${missing[@]}"
fi
if [ ${#missing_optional[@]} -gt 0 ]; then
    echo "setup: trying ${missing_optional[*]}"
    "$(dirname "$0")/cross/install-armhf-libs.sh" "${missing_optional[@]%:armhf}" ||
        echo "setup: warning: going on without the armhf libraries that cannot be installed" >&2
fi
