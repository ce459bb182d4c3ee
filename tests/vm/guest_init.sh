#!/bin/busybox sh
# /init of the test VM. Loads the display driver, keeps the first terminal
# open the way a getty would, and then carries out the host's shell lines from
# the serial port, answering each with "@@END <status>".
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /dev /proc /sys
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /run /tmp
serial=$(cat /etc/serial)
exec </dev/"$serial" >/dev/"$serial" 2>&1

# insmod does not read the kernel command line, so the module parameters are
# listed next to each module.
while read -r module params; do
    [ -n "$module" ] || continue
    insmod "/$module" $params || echo "@@INSMOD-FAILED $module"
done </etc/modules.list

# The device the display driver creates: /dev/fb0, or the DRM card where
# fbdev emulation is off.
device=$(cat /etc/device 2>/dev/null || echo /dev/fb0)
i=0
while [ ! -e "$device" ] && [ $i -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
done
[ -e "$device" ] || echo "@@INSMOD-FAILED: no $device"
dmesg -n 1

# Terminal 1 stays in use, as on a system with a login prompt there, so the
# first free terminal is 2.
sleep 2147483647 <>/dev/tty1 >&0 2>&0 &
printf 'glimmer test VM, terminal 1\n' >/dev/tty1

stty -echo
echo "@@READY $(cat /proc/uptime)"
while IFS= read -r line; do
    eval "$line"
    echo "@@END $?"
done
poweroff -f
