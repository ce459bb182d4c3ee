#!/bin/sh
# Waits for the framebuffer, then holds the boot: for glimmer_test.hold=N
# seconds, or until the test creates /run/glimmer-test-go
# (glimmer_test.hold=go, at most 90 s).
mode=$(sed -n 's/.*glimmer_test\.hold=\([^ ]*\).*/\1/p' /proc/cmdline)
i=0
while [ ! -e /dev/fb0 ] && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
done
echo "framebuffer seen at $(cut -d' ' -f1 /proc/uptime)"
if [ "$mode" = go ]; then
    i=0
    while [ ! -e /run/glimmer-test-go ] && [ $i -lt 900 ]; do
        sleep 0.1
        i=$((i + 1))
    done
else
    sleep "${mode:-4}"
fi
