#!/bin/bash
# Builds glimmer for the board (32-bit ARMv7, hard float) with Debian's cross
# compiler and, with --test, runs the unit tests of that build under qemu-arm.
#
#   tools/cross/build-armhf.sh [--test] [--strip] [BUILD_DIR] [-- CMAKE_ARGS...]
#
# BUILD_DIR defaults to build-armhf in the source tree. Missing packages
# (g++-arm-linux-gnueabihf, the GoogleTest sources, qemu-user for --test)
# are installed with apt-get, and so are libdrm and libsystemd for armhf
# where the archive lets them in; without them the DRM output, or
# glimmer-progress, is left out and the build says so.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
apt_name=build-armhf.sh
. "$root/tools/apt.sh"
triple=arm-linux-gnueabihf

run_tests=0
strip_binaries=0
build_dir=
cmake_args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --test) run_tests=1 ;;
    --strip) strip_binaries=1 ;;
    -h | --help)
        sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    --)
        shift
        cmake_args=("$@")
        break
        ;;
    -*)
        echo "build-armhf.sh: unknown option $1" >&2
        exit 1
        ;;
    *)
        if [ -n "$build_dir" ]; then
            echo "build-armhf.sh: one build directory only" >&2
            exit 1
        fi
        build_dir=$1
        ;;
    esac
    shift
done
build_dir=${build_dir:-$root/build-armhf}

# Packages that this build needs and the machine lacks.
missing=()
command -v $triple-g++ >/dev/null || missing+=(g++-$triple)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
if [ $run_tests = 1 ]; then
    command -v qemu-arm >/dev/null || missing+=(qemu-user)
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "build-armhf.sh: installing ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
        echo "build-armhf.sh: need root to install them (apt-get install ${missing[*]})" >&2
        exit 1
    fi
    apt_update
    apt_install "${missing[@]}"
fi

# The board's libraries, from Debian's multiarch packages.
if ! "$root/tools/cross/install-armhf-libs.sh" libdrm-dev; then
    echo "build-armhf.sh: warning: libdrm for armhf cannot be installed;" \
        "building without the DRM output" >&2
fi
if ! "$root/tools/cross/install-armhf-libs.sh" libsystemd-dev; then
    echo "build-armhf.sh: warning: libsystemd for armhf cannot be installed;" \
        "building without glimmer-progress" >&2
fi

# The toolchain file chooses the emulator; an older build directory may
# still hold another choice in its cache.
cmake -S "$root" -B "$build_dir" -UCMAKE_CROSSCOMPILING_EMULATOR \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-linux-gnueabihf.cmake" \
    -DGLIMMER_WERROR=ON "${cmake_args[@]}"
cmake --build "$build_dir" -j"$(nproc)"

if [ $strip_binaries = 1 ]; then
    for bin in glimmer src/client/glimmer-write; do
        [ -f "$build_dir/$bin" ] && $triple-strip -o "$build_dir/$bin.stripped" "$build_dir/$bin"
    done
fi

if [ $run_tests = 1 ]; then
    # The vm tests boot whole systems from the host side; they belong to a
    # native build.
    cd "$build_dir"
    start=$(date +%s)
    status=0
    ctest -j"$(nproc)" --output-on-failure -LE '^vm$' || status=$?
    echo "build-armhf.sh: tests under qemu-arm took $(($(date +%s) - start)) s"
    exit $status
fi
