#!/usr/bin/env bash
# Sets everything up and runs every test: the build with warnings as errors,
# the AddressSanitizer + UndefinedBehaviorSanitizer build, the clang build
# with the fuzz targets' corpora, the 32-bit ARM build under qemu-arm, and
# glimmer on real Linux kernels in QEMU.
#
# Usage: tools/test-all.sh [--quick]   (--quick: skip the ARM and VM stages)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${GLIMMER_OUT:-$root/out}
quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc)
failed=()

stage() { printf '\n==== %s\n' "$*"; }
run() { "$@" || failed+=("$*"); }

"$root/tools/setup.sh"

stage "build: g++, warnings as errors"
cmake -S "$root" -B "$out/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLIMMER_WERROR=ON >/dev/null
cmake --build "$out/release" -j"$jobs"
stage "tests: g++ build"
run ctest --test-dir "$out/release" --output-on-failure -j"$jobs" -LE 'vm|fuzz-long'

stage "build: AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DGLIMMER_WERROR=ON \
    -DGLIMMER_SANITIZE=ON >/dev/null
cmake --build "$out/asan" -j"$jobs"
stage "tests: sanitizer build"
run ctest --test-dir "$out/asan" --output-on-failure -j"$jobs" -LE 'vm|fuzz-long'

if [ -d "$root/tests/fuzz" ]; then
    stage "build: clang with libFuzzer targets"
    CC=clang CXX=clang++ cmake -S "$root" -B "$out/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DGLIMMER_WERROR=ON -DGLIMMER_FUZZ=ON >/dev/null
    cmake --build "$out/fuzz" -j"$jobs"
    stage "tests: clang build, fuzz corpora and bounded fuzz runs"
    run ctest --test-dir "$out/fuzz" --output-on-failure -j"$jobs" -LE vm
fi

if [ $quick -eq 0 ] && [ -x "$root/tools/cross/build-armhf.sh" ]; then
    stage "build and tests: 32-bit ARM under qemu-arm"
    run "$root/tools/cross/build-armhf.sh" "$out/armhf" --test
fi

if [ $quick -eq 0 ]; then
    stage "tests: glimmer on real kernels in QEMU"
    run ctest --test-dir "$out/release" --output-on-failure -L vm
fi

if [ ${#failed[@]} -gt 0 ]; then
    printf '\n==== FAILED:\n'
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
printf '\n==== all stages passed\n'
