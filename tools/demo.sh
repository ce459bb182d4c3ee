#!/usr/bin/env bash
# Sets up, builds and runs glimmer on an emulated framebuffer (this machine
# may have no real one), sends it a few commands and leaves screenshots in
# ./screenshots. With --drm the device is an emulated DRM card with two
# screens instead. Usage: tools/demo.sh [--drm] [screenshot directory]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
drm=()
if [ "${1:-}" = "--drm" ]; then
    drm=(--drm)
    shift
fi
shots=${1:-$PWD/screenshots}
"$root/tools/setup.sh" --demo
cmake -S "$root" -B "$root/out/demo" -DCMAKE_BUILD_TYPE=Release -DGLIMMER_TESTS=OFF >/dev/null
cmake --build "$root/out/demo" -j"$(nproc)"
exec "$root/tools/run-emulated.sh" "${drm[@]}" "$root/out/demo" "$shots"
