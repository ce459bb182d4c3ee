#!/usr/bin/env bash
# Runs the built glimmer on an emulated 1024x768x32 framebuffer (two pages,
# panning, vertical sync), sends it a progress value and a message through
# its FIFO, saves what the screen shows before and after, and ends it with
# QUIT. The console is left alone ("-n").
#
# With --drm the device is an emulated DRM card with two screens (1280x800
# and 1024x768, virtio-gpu's answers) instead, and each screen is saved.
#
# Usage: tools/run-emulated.sh [--drm] BUILD_DIR [SCREENSHOT_DIR]
#        tools/run-emulated.sh [--drm] BUILD_DIR --shots SCREENSHOT_DIR
# Screenshots go to SCREENSHOT_DIR (default: $PWD/screenshots) as
# initial.png and after-commands.png (with --drm: initial-headN.png and
# after-commands-headN.png).
set -euo pipefail

usage() {
    echo "Usage: $0 [--drm] BUILD_DIR [SCREENSHOT_DIR | --shots SCREENSHOT_DIR]" >&2
    exit 2
}

drm=0
if [ "${1:-}" = "--drm" ]; then
    drm=1
    shift
fi
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd)
shift
shots=$PWD/screenshots
case $# in
0) ;;
1) shots=$1 ;;
2) [ "$1" = "--shots" ] || usage; shots=$2 ;;
*) usage ;;
esac

glimmer=$build/glimmer
preload=$build/tools/fbemu/libglimmer_fbemu.so
fbshot=$build/tools/fbemu/glimmer-fbshot
writer=$build/glimmer-write
[ -x "$writer" ] || writer=$build/src/client/glimmer-write
drmemu=$build/tools/drmemu/libglimmer_drmemu.so
drmctl=$build/tools/drmemu/glimmer-drmemu
if [ ! -x "$glimmer" ] || [ ! -f "$preload" ] || [ ! -x "$fbshot" ] ||
    { [ $drm = 1 ] && { [ ! -f "$drmemu" ] || [ ! -x "$drmctl" ]; }; }; then
    echo "building glimmer and the emulators in $build" >&2
    targets="glimmer glimmer_fbemu glimmer-fbshot"
    [ $drm = 0 ] || targets="$targets glimmer_drmemu glimmer-drmemu"
    cmake --build "$build" --target $targets -j"$(nproc)" >&2
fi

mkdir -p "$shots"
shots=$(cd "$shots" && pwd)
emu=$(mktemp -d "${TMPDIR:-/tmp}/glimmer-emulated.XXXXXX")
pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$emu"
}
trap cleanup EXIT

# A 1024x768 32 bpp RGB888 device that accepts a virtual height of two pages.
cat >"$emu/fb0.conf" <<EOF
xres 1024
yres 768
bits_per_pixel 32
red 16 8
green 8 8
blue 0 8
transp 0 0
EOF

args=(-n)
heads=1
if [ $drm = 1 ]; then
    "$drmctl" "$emu" init 0 virtio2 >/dev/null
    preload="$preload $drmemu"
    args+=(-d)
    heads=2
fi

fifo=$emu/glimmer_fifo
# A sanitized build wants its runtime first; the interposer goes before it.
GLIMMER_FIFO_DIR=$emu GLIMMER_EMU_DIR=$emu LD_PRELOAD=$preload \
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
    "$glimmer" "${args[@]}" >"$emu/stdout" 2>"$emu/stderr" &
pid=$!

# Waits until a condition holds, for at most ten seconds.
wait_for() {
    local i
    for i in $(seq 1 200); do
        if "$@"; then
            return 0
        fi
        if ! kill -0 "$pid" 2>/dev/null; then
            echo "glimmer ended early; its output:" >&2
            cat "$emu/stdout" "$emu/stderr" >&2
            exit 1
        fi
        sleep 0.05
    done
    echo "timed out waiting for: $*" >&2
    exit 1
}

# Shows of a picture: vertical-sync waits on the framebuffer; on the card,
# the mode set and the page flips of one head.
vsyncs() {
    if [ $drm = 1 ]; then
        grep -c '^MODE_\(SETCRTC\|PAGE_FLIP\) crtc_id=20 ' "$emu/card0.log" 2>/dev/null || true
    else
        grep -c '^FBIO_WAITFORVSYNC' "$emu/fb0.log" 2>/dev/null || true
    fi
}
at_least_vsyncs() { [ "$(vsyncs)" -ge "$1" ]; }
shot() {
    if [ $drm = 1 ]; then
        local h
        for h in $(seq 0 $((heads - 1))); do
            "$drmctl" "$emu" capture 0 "$h" "$shots/$1-head$h.png"
        done
    else
        "$fbshot" "$emu" 0 "$shots/$1.png"
    fi
}

# The initial scene is on display after its flip, the first vsync wait.
wait_for test -p "$fifo"
wait_for at_least_vsyncs 1
shot initial

send() {
    if [ -x "$writer" ]; then
        GLIMMER_FIFO_DIR=$emu "$writer" "$@"
    else
        printf '%s\n' "$*" >"$fifo"
    fi
}
send PROGRESS 40
send MSG "Installing updates"
# Each command is followed by a flip.
wait_for at_least_vsyncs 3
shot after-commands

send QUIT
status=0
wait "$pid" || status=$?
pid=
echo "glimmer exited with status $status; standard output:"
sed 's/^/    /' "$emu/stdout"
if [ -s "$emu/stderr" ]; then
    echo "standard error:"
    sed 's/^/    /' "$emu/stderr"
fi
if [ "$status" -ne 0 ]; then
    echo "FAILED: exit status $status, expected 0" >&2
    exit 1
fi
if [ -e "$fifo" ]; then
    echo "FAILED: the FIFO was left behind" >&2
    exit 1
fi
echo "screenshots in $shots:" $(cd "$shots" && ls initial*.png after-commands*.png)
