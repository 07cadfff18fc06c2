#!/bin/sh
# Installs the system packages corvane needs to build and test (run as root),
# and any further packages named on the command line. Skips apt-get when
# everything is already there.
set -eu
packages="build-essential pkg-config ffmpeg openssl python3-venv python3-dev
libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev $*"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
