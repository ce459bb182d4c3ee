#!/bin/busybox sh
# /init of the loader initramfs: loads what mounting the root file system
# needs (virtio_blk and ext4 are modules in Debian's kernel) and, for the
# scenarios that want the display before systemd, the display driver; then
# hands over to systemd.
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /dev /proc /newroot
mount -t devtmpfs dev /dev
mount -t proc proc /proc
exec </dev/console >/dev/console 2>&1

while read -r module params; do
    [ -n "$module" ] || continue
    insmod "/$module" $params || echo "loader: insmod $module failed"
done </etc/modules.list

i=0
while [ ! -b /dev/vda ] && [ $i -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
done
if ! mount -t ext4 -o rw /dev/vda /newroot; then
    echo "loader: cannot mount /dev/vda"
    exec poweroff -f
fi
umount /proc
mount --move /dev /newroot/dev
exec switch_root /newroot /sbin/init
