#!/bin/bash
# Builds the Release benchmark build and runs every measurement: the drawing
# cases against memset/memcpy, the start-up of the whole process on the
# emulated framebuffer, and the stripped binary sizes.
#
# Usage: bench/run.sh [BUILD_DIR]    (default: build-bench)
# BENCH_ARGS adds Google Benchmark options (e.g. --benchmark_filter=fill).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DGLIMMER_WERROR=ON \
    -DGLIMMER_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target glimmer glimmer_bench glimmer_fbemu glimmer_drmemu \
    glimmer_fb_tests glimmer_perf_tests

echo "== exactness first: the fast paths against the per-pixel rule, and no allocation"
"$build/tests/fb/glimmer_fb_tests" --gtest_brief=1 | tail -n 1
"$build/tests/perf/glimmer_perf_tests" --gtest_brief=1 | tail -n 1

echo
echo "== drawing, against memset/memcpy of the same bytes"
# The DRM cases run on the emulated card.
# shellcheck disable=SC2086
LD_PRELOAD=$build/tools/drmemu/libglimmer_drmemu.so \
    "$build/bench/glimmer_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 ${BENCH_ARGS:-}

echo
"$root/bench/startup.sh" "$build"

echo
echo "== stripped size of glimmer"
strip_size() { # strip-tool binary
    local tmp
    tmp=$(mktemp)
    "$1" -o "$tmp" "$2"
    stat -c %s "$tmp"
    rm -f "$tmp"
}
echo "x86-64: $(strip_size strip "$build/glimmer") bytes (target < 122880 with the DRM output)"
if command -v arm-linux-gnueabihf-g++ >/dev/null && [ -f "$root/cmake/armhf-linux-gnueabihf.cmake" ]; then
    arm=$build-armhf
    cmake -S "$root" -B "$arm" -DCMAKE_BUILD_TYPE=Release -DGLIMMER_WERROR=ON \
        -DGLIMMER_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$root/cmake/armhf-linux-gnueabihf.cmake" \
        >/dev/null
    cmake --build "$arm" -j "$jobs" --target glimmer >/dev/null
    echo "armhf:  $(strip_size arm-linux-gnueabihf-strip "$arm/glimmer") bytes (target < 122880 with the DRM output)"
else
    echo "armhf:  not measured (needs g++-arm-linux-gnueabihf and cmake/armhf-linux-gnueabihf.cmake)"
fi
