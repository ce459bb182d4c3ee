#!/bin/bash
# Installs development packages of the board's architecture (Debian armhf,
# multiarch) for the cross build, where the archive lets them in.
#
#   tools/cross/install-armhf-libs.sh PACKAGE...    (e.g. libdrm-dev libsystemd-dev)
#
# A multiarch library must have exactly the version of the same library
# installed for the build machine. When the archive's newest armhf and native
# versions differ (an update built for one architecture only, or one
# architecture's index missing during a mirror sync), a plain install fails.
# Then it is tried again with every armhf package it needs pinned to the
# version installed natively, where the lists still hold that version for
# armhf. A package that cannot be had either way is named, with the versions
# that are missing, and left out: the build then leaves out what needs it.
#
# Exit status: 0 when every package is installed, 1 when some are left out.
set -uo pipefail
apt_name=install-armhf-libs.sh
. "$(dirname "${BASH_SOURCE[0]}")/../apt.sh"

arch=armhf
native=$(dpkg --print-architecture)
say() { echo "$apt_name: $*" >&2; }

installed_version() { # PACKAGE:ARCH
    dpkg-query -W -f='${db:Status-Abbrev} ${Version}\n' "$1" 2>/dev/null |
        awk '$1 == "ii" { print $2 }'
}

# --no-remove: an armhf package must never make apt remove a native one.
install_pinned() { apt_get_install --no-remove "$@"; }

# The package's armhf dependencies, itself included, that are not installed
# yet, pinned to the build machine's versions where it has them.
pins=()
unavailable=()
pin_dependencies() {
    local dep base version
    pins=()
    unavailable=()
    while read -r dep; do
        base=${dep%:$arch}
        [ -n "$(installed_version "$dep")" ] && continue
        version=$(installed_version "$base:$native")
        if [ -z "$version" ]; then
            pins+=("$dep")
        elif apt-cache madison "$dep" | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | grep -qxF "$version"; then
            pins+=("$dep=$version")
        else
            unavailable+=("$dep=$version")
        fi
    done < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "$1:$arch" 2>/dev/null | grep -E "^[^ <].*:$arch\$")
}

install_one() {
    local package=$1:$arch
    [ -n "$(installed_version "$package")" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        say "$package is not installed, and installing it needs root (apt-get install $package)"
        return 1
    fi
    if [ -z "$(apt-cache madison "$package" 2>/dev/null)" ]; then
        say "no package lists for $arch yet: apt-get update"
        apt_update >&2
    fi
    say "installing $package"
    install_pinned "$package" >&2 && return 0
    # The usual cause: an armhf library whose newest version is not the one
    # installed for $native.
    pin_dependencies "$1"
    if [ ${#unavailable[@]} -gt 0 ]; then
        say "cannot install $package: these versions, the ones installed for $native," \
            "are not in the package lists for $arch: ${unavailable[*]}"
        return 1
    fi
    say "trying again with the versions installed for $native: ${pins[*]}"
    if install_pinned "${pins[@]}" >&2; then
        # Only the package asked for counts as installed by hand.
        local dep
        for dep in "${pins[@]}"; do
            [ "${dep%%=*}" = "$package" ] || apt-mark auto "${dep%%=*}" >/dev/null
        done
        return 0
    fi
    say "cannot install $package"
    return 1
}

if [ $# -eq 0 ]; then
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 1
fi
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    if [ "$(id -u)" != 0 ]; then
        say "the $arch architecture is not enabled, and enabling it needs root"
        exit 1
    fi
    say "adding the $arch architecture"
    dpkg --add-architecture "$arch"
    apt_update >&2
fi

status=0
for p in "$@"; do
    install_one "$p" || status=1
done
exit $status
