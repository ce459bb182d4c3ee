#!/usr/bin/env bash
# A build that is not the default one, tested like the default: a generated
# splash picture of another size with transparent parts (tools/custom/
# picture.py) and a dark theme with the bar higher up and the scale set to
# auto (tools/custom/dark.cmake). Every test outside the VMs must pass; with
# --vm the VM tests judge this build's screens too (a framebuffer at 32 and
# 16 bits, ARM, two DRM heads).
#
# Usage: tools/test-custom.sh [--vm] [BUILD_DIR]   (default: out/custom)
#
# As a stage of tools/test-all.sh (its run and stage helpers):
#     stage "build and tests: own picture and dark theme"
#     run "$root/tools/test-custom.sh" "$out/custom"
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
vm=0
if [ "${1:-}" = "--vm" ]; then
    vm=1
    shift
fi
build=${1:-$root/out/custom}
jobs=$(nproc)

mkdir -p "$build"
python3 "$root/tools/custom/picture.py" "$build/picture.png" 360 240
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLIMMER_WERROR=ON \
    -DGLIMMER_SPLASH_PNG="$build/picture.png" -DGLIMMER_THEME="$root/tools/custom/dark.cmake" \
    >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" --output-on-failure -j"$jobs" -LE 'vm|fuzz-long'
if [ $vm = 1 ]; then
    # The screens of this build on a framebuffer at 32 and 16 bits, on ARM and
    # on two DRM heads; the systemd boots install a default build of their own.
    ctest --test-dir "$build" --output-on-failure -L vm \
        -R '^vm_(prepare|bochs|cirrus|arm|drm-virtio-2)$'
fi
