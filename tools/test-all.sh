#!/usr/bin/env bash
# Sets everything up and runs every test: the build with warnings as errors,
# the AddressSanitizer + UndefinedBehaviorSanitizer build, the clang build
# with the fuzz targets' corpora, the 32-bit ARM build under qemu-arm,
# glimmer on real Linux kernels in QEMU, and a build with its own picture and
# a dark theme.
#
# Usage: tools/test-all.sh [--quick]   (--quick: skip the ARM and VM stages)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${GLIMMER_OUT:-$root/out}
quick=0
[ "${1:-}" = "--quick" ] && quick=1
jobs=$(nproc)
failed=()
failed_tests=()
failed_output=()

passed=0
failures=0
stage() { printf '\n==== %s\n' "$*"; }
# Runs a test command, keeps its output, and adds up what ctest reports.
run() {
    local log="$out/stage.log" status=0
    "$@" 2>&1 | tee "$log" || status=$?
    if [ $status -ne 0 ]; then
        failed+=("$*")
        # With --output-on-failure ctest prints a failed test's output right
        # under its result line; keep those blocks for the end of the log.
        failed_output+=("$(awk '
            /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / { keep = ($0 !~ / Passed /); n = 0 }
            /^ *Start +[0-9]+: / { keep = 0 }
            /^[0-9]+% tests passed/ { keep = 0 }
            keep && n++ < 150' "$log")")
    fi
    # ctest lists the failed tests after "The following tests FAILED:".
    local name
    while IFS= read -r name; do
        failed_tests+=("$name")
    done < <(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' || true)
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        local bad total
        bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        passed=$((passed + total - bad))
        failures=$((failures + bad))
    fi
}

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

stage "build and tests: own picture and dark theme"
if [ $quick -eq 0 ]; then
    run "$root/tools/test-custom.sh" --vm "$out/custom"
else
    run "$root/tools/test-custom.sh" "$out/custom"
fi

# Repeat the output of the failed tests next to the verdict: it lies far up
# the log otherwise.
for block in "${failed_output[@]}"; do
    stage "output of the failed tests"
    printf '%s\n' "$block"
done

printf '\n'
if [ ${#failed[@]} -gt 0 ]; then
    printf '==== FAILED:\n'
    printf '  %s\n' "${failed[@]}"
    if [ ${#failed_tests[@]} -gt 0 ]; then
        printf '==== failed tests:\n'
        printf '%s\n' "${failed_tests[@]}"
    fi
    printf '%d passed, %d failed\n' "$passed" "$((failures > 0 ? failures : 1))"
    exit 1
fi
printf '==== all stages passed\n'
printf '%d passed, %d failed\n' "$passed" "$failures"
