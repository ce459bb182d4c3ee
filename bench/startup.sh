#!/bin/bash
# Start-up of the whole process on an emulated 1920x1080x32 framebuffer:
#   1. wall time from starting `glimmer -n` until it has shown its first
#      frame, measured with hyperfine as the time of a whole run whose only
#      command, QUIT, is already waiting in the FIFO: start, initial scene and
#      first flip, then one read and the shutdown. An upper bound, nothing
#      subtracted; the emulator's own work per device request is in it too.
#   2. memory: the resident set of a running glimmer once its first flip is
#      in the emulator's log, split into the framebuffer mapping, the
#      emulator and the rest (what glimmer itself costs); and the peak of a
#      whole run as /usr/bin/time reports it.
#
# Usage: bench/startup.sh [BUILD_DIR]   (default: build-bench; needs the
# targets glimmer and glimmer_fbemu built there)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build-bench}" && pwd)
glimmer=$build/glimmer
emu=$build/tools/fbemu/libglimmer_fbemu.so
runs=${STARTUP_RUNS:-50}

# Without the emulator glimmer would open the machine's own framebuffer.
for f in "$glimmer" "$emu"; do
    if [ ! -f "$f" ]; then
        echo "startup.sh: $f is missing; build the targets glimmer and glimmer_fbemu" >&2
        exit 1
    fi
done
command -v hyperfine >/dev/null || { echo "startup.sh: needs hyperfine" >&2; exit 1; }

# tmpfs where there is one: the emulator writes its state file at every
# device request, and a disk-backed rename can take milliseconds.
work=$(mktemp -d "${STARTUP_TMP:-$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp)}/glimmer-startup.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/emu" "$work/run"
printf 'xres 1920\nyres 1080\nbits_per_pixel 32\n' >"$work/emu/fb0.conf"
fifo=$work/run/glimmer_fifo
export GLIMMER_EMU_DIR=$work/emu GLIMMER_FIFO_DIR=$work/run

# Every run starts from the same device state (first page shown); the device
# memory file stays, as a real device's memory would.
cat >"$work/prepare.sh" <<EOF
rm -f "$work/emu/fb0.state" "$work/emu/fb0.log"
[ -p "$fifo" ] || mkfifo "$fifo"
# The writer's open waits for glimmer's; QUIT is then there for its loop.
(timeout 10 sh -c 'echo QUIT > "$fifo"') >/dev/null 2>&1 &
EOF

run_glimmer="env LD_PRELOAD=$emu $glimmer -n"

echo "== start to first frame (whole run with QUIT waiting), $runs runs"
hyperfine --warmup 5 --runs "$runs" --prepare "sh $work/prepare.sh" \
    --export-json "$work/startup.json" "$run_glimmer"
python3 - "$work/startup.json" <<'EOF'
import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
print("startup_ms wall: mean %.3f median %.3f min %.3f max %.3f (target < 10)" %
      tuple(1000 * r[k] for k in ("mean", "median", "min", "max")))
# Processor time is not stretched by other work on a busy machine.
print("startup_ms processor: user %.3f + system %.3f" % (1000 * r["user"], 1000 * r["system"]))
EOF
# The same run started by hand, to check that it did what it should.
sh "$work/prepare.sh"
$run_glimmer >"$work/out.txt" 2>&1 && status=0 || status=$?
flips=$(grep -c '^FBIOPAN_DISPLAY.* yoffset=1080 ' "$work/emu/fb0.log" || true)
echo "check: exit status $status, flips shown (pans to the second page): $flips (expected 0 and 1)"

echo
echo "== peak resident set of a whole run (/usr/bin/time)"
sh "$work/prepare.sh"
/usr/bin/time -f 'peak_rss_kb %M (framebuffer mapping and emulator included)' \
    $run_glimmer >/dev/null 2>"$work/time.txt" || true
tail -n 1 "$work/time.txt"

echo
echo "== resident set while waiting for commands"
rm -f "$work/emu/fb0.state" "$work/emu/fb0.log" "$fifo"
$run_glimmer >/dev/null 2>&1 &
pid=$!
for _ in $(seq 500); do
    grep -q '^FBIOPAN_DISPLAY' "$work/emu/fb0.log" 2>/dev/null && break
    sleep 0.01
done
# Rss per mapping, summed into three groups.
awk -v mem="$work/emu/fb0.mem" -v emu="$emu" '
    /^[0-9a-f]+-[0-9a-f]+ / { name = $6 }
    /^Rss:/ {
        if (name == mem) fb += $2; else if (name == emu) e += $2; else rest += $2
    }
    END {
        printf "rss_kb framebuffer mapping %d, emulator %d, glimmer and libc %d (target < 2048)\n",
               fb, e, rest
    }' "/proc/$pid/smaps"
grep -E '^(RssAnon|RssFile|RssShmem|VmHWM)' "/proc/$pid/status" | tr -s '\t ' ' '
echo QUIT >"$fifo"
wait "$pid" || true

# The same on an emulated DRM card at 1920x1080 (glimmer -d): open, master,
# the first buffer drawn and shown with SetCrtc, the second buffer made, QUIT,
# the CRTC put back. Skipped where the DRM emulation is not built.
drmemu=$build/tools/drmemu/libglimmer_drmemu.so
if [ -f "$drmemu" ]; then
    echo
    echo "== DRM: start to first frame on an emulated card (whole run with QUIT waiting), $runs runs"
    printf 'connector Virtual-1 connected 1920x1080*\nplane primary XR24\n' >"$work/emu/card0.conf"
    cat >"$work/prepare-drm.sh" <<DRMEOF
rm -f "$work/emu/card0.state" "$work/emu/card0.log" "$work/emu"/card0-buf*
[ -p "$fifo" ] || mkfifo "$fifo"
(timeout 10 sh -c 'echo QUIT > "$fifo"') >/dev/null 2>&1 &
DRMEOF
    run_drm="env LD_PRELOAD=$emu:$drmemu $glimmer -n -d"
    hyperfine --warmup 5 --runs "$runs" --prepare "sh $work/prepare-drm.sh" \
        --export-json "$work/startup-drm.json" "$run_drm"
    python3 - "$work/startup-drm.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"][0]
print("drm_startup_ms wall: mean %.3f median %.3f min %.3f max %.3f; processor: user %.3f + system %.3f"
      % tuple(1000 * r[k] for k in ("mean", "median", "min", "max", "user", "system")))
PY
    sh "$work/prepare-drm.sh"
    $run_drm >"$work/out-drm.txt" 2>&1 && status=0 || status=$?
    shown=$(grep -c '^MODE_SETCRTC .*-> 0' "$work/emu/card0.log" || true)
    echo "check: exit status $status, SetCrtc calls that succeeded: $shown (expected 0 and 2: shown, put back)"
fi
