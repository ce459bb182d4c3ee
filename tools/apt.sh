# apt-get that copes with an archive in mid-sync. Sourced by tools/setup.sh
# and tools/cross/build-armhf.sh after they set apt_name (the name their
# messages start with).
#
# An index that fails to download ("File has unexpected size ... Mirror sync
# in progress?") can keep failing for an hour, for one architecture only. So
# a failed update is retried a few times and then left: the packages are
# installed from the lists there are, and only a package that cannot be had
# stops the script, by name.

apt_name=${apt_name:-apt}
apt_sudo=()
[ "$(id -u)" -eq 0 ] || apt_sudo=(sudo)
# Pauses between attempts, in seconds.
apt_delays=(${GLIMMER_APT_DELAYS:-2 5 10})

# The packages among the arguments that are not installed.
apt_missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" ||
            printf '%s\n' "$p"
    done
}

# Updates the package lists; never fails.
apt_update() {
    local attempt=0
    while ! "${apt_sudo[@]}" apt-get update -q; do
        if [ $attempt -ge ${#apt_delays[@]} ]; then
            echo "$apt_name: apt-get update failed $((attempt + 1)) times;" \
                "going on with the package lists there are" >&2
            return 0
        fi
        echo "$apt_name: apt-get update failed; trying again in ${apt_delays[$attempt]} s" >&2
        sleep "${apt_delays[$attempt]}"
        attempt=$((attempt + 1))
    done
}

apt_get_install() {
    "${apt_sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        --no-install-recommends -o DPkg::Lock::Timeout=300 "$@"
}

# Installs the packages given. A download that fails is tried again; a
# package that apt cannot install from its lists is named, and the function
# fails.
apt_install() {
    local attempt=0 p unavailable
    [ $# -gt 0 ] || return 0
    while ! apt_get_install "$@"; do
        unavailable=()
        for p in "$@"; do
            apt-get install -s -q --no-install-recommends "$p" >/dev/null 2>&1 ||
                unavailable+=("$p")
        done
        if [ ${#unavailable[@]} -gt 0 ]; then
            echo "$apt_name: cannot install ${unavailable[*]}: not in the package lists," \
                "or its dependencies cannot be met" >&2
            return 1
        fi
        if [ $attempt -ge ${#apt_delays[@]} ]; then
            echo "$apt_name: could not install $(apt_missing "$@" | paste -sd " ")" >&2
            return 1
        fi
        echo "$apt_name: apt-get install failed; trying again in ${apt_delays[$attempt]} s" >&2
        sleep "${apt_delays[$attempt]}"
        attempt=$((attempt + 1))
    done
}
