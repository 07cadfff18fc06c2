#!/bin/sh
# Runs the CI job (.ci/run) on Debian 13, whose FFmpeg is 7.1, in a chroot made
# with debootstrap: the committed HEAD of this repository is cloned into it and
# built and tested there as on a fresh machine. Run as root. The chroot is kept
# in $DEBIAN13_ROOT (default /var/tmp/corvane-debian13) for the next run.
# $DEBIAN13_RUN, if set, is run there instead of .ci/run (for example
# DEBIAN13_RUN='make bench ARGS="--sources hdr"').
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${DEBIAN13_ROOT:-/var/tmp/corvane-debian13}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}

"$repo/scripts/install-deps.sh" debootstrap
if [ ! -x "$root/usr/bin/apt-get" ]; then
    debootstrap --variant=minbase --include=ca-certificates trixie "$root" "$mirror"
fi

mounted=""
cleanup() {
    for m in $mounted; do umount "$root/$m" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM
for m in proc dev; do
    if ! mountpoint -q "$root/$m"; then
        if [ "$m" = proc ]; then mount -t proc proc "$root/proc"; else mount --bind /dev "$root/dev"; fi
        mounted="$m $mounted"
    fi
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The host's certificate authorities, for a network that reaches PyPI through
# a proxy with its own authority.
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca-certificates.crt"

rm -rf "$root/root/corvane"
git clone -q "$repo" "$root/root/corvane"
chroot "$root" sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends python3 python3-venv make git >/dev/null'
chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    PIP_CERT=/etc/ssl/host-ca-certificates.crt NODE_EXTRA_CA_CERTS=/etc/ssl/host-ca-certificates.crt \
    DEBIAN13_RUN="${DEBIAN13_RUN:-.ci/run}" \
    sh -c 'cd /root/corvane && ffmpeg -version | head -n 1 && eval "$DEBIAN13_RUN"'
