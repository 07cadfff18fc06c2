#!/bin/sh
# Checks the wheels in dist/ where nothing but Python is installed:
#  - Debian 11 (Python 3.9), 12 (3.11) and 13 (3.13): fresh minbase chroots
#    with only python3 and python3-venv (no FFmpeg, no compiler); the
#    matching wheel is pip-installed into a venv there;
#  - Python 3.10 and 3.12: pyenv's interpreters, each in a clean venv, and
#    the module's ldd shows only the C library's own parts.
# Each encodes a clip made outside, and the ladder is verified outside: four
# renditions, every segment decrypted with openssl and read by ffprobe,
# sound present. Prints each wheel's size and the tag `auditwheel show`
# gives it, and fails on a wheel over 40 MB. Run as root after `make wheel`.
# The chroots are kept in $WHEEL_CHECK_ROOT-<suite> (default
# /var/tmp/corvane-wheel-check-<suite>) for the next run.
#
#   scripts/wheel-check.sh [bullseye|bookworm|trixie|3.10|3.12 ...]   # default: all five
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
roots=${WHEEL_CHECK_ROOT:-/var/tmp/corvane-wheel-check}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
tools="$repo/${VENV:-.venv}/bin/python"
say() { echo "[wheel-check] $*"; }

wheel_for() {  # cp311 -> dist/corvane-*-cp311-cp311-manylinux_*.whl
    ls "$repo"/dist/corvane-*-"$1-$1"-manylinux_*.whl 2>/dev/null | tail -n 1
}

# A clip and a key made outside, in $1.
prepare() {
    rm -rf "$1" && mkdir -p "$1/out"
    ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=30 \
        -f lavfi -i sine=frequency=440:sample_rate=48000 -t 8 \
        -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac "$1/clip.mp4"
    openssl rand 16 >"$1/out/enc.key"
    printf 'enc.key\n%s/out/enc.key\n%s\n' "$2" "$(openssl rand -hex 16)" >"$1/out/enc.keyinfo"
}

# The ladder in $1, verified with the host's tools.
verify() {
    "$tools" - "$1" <<'PY'
import subprocess, sys
from pathlib import Path
out = Path(sys.argv[1])
master = (out / "master.m3u8").read_text()
names = ["1080p", "720p", "480p", "360p"]
assert all(f"{n}.m3u8" in master for n in names), master
key = (out / "enc.key").read_bytes().hex()
for name in names:
    playlist = (out / f"{name}.m3u8").read_text()
    iv = playlist.split("IV=0x", 1)[1].split()[0][:32]
    segments = [l for l in playlist.splitlines() if l and not l.startswith("#")]
    for index, segment in enumerate(segments):
        plain = out / f"plain_{segment}"
        subprocess.run(["openssl", "aes-128-cbc", "-d", "-K", key, "-iv", iv, "-in", str(out / segment),
                        "-out", str(plain)], check=True)
        kinds = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_type",
                                "-of", "csv=p=0", str(plain)], capture_output=True, text=True,
                               check=True).stdout.split()
        assert set(kinds) == {"audio", "video"}, (segment, kinds)
    print(f"[wheel-check] {name}: {len(segments)} segments decrypted, video and sound in each")
PY
}

# The wheel's size (at most 40 MB) and its tag as auditwheel sees it.
describe() {
    size=$(stat -c %s "$1")
    tag=$("$tools" -m auditwheel show "$1" 2>/dev/null | tr '\n' ' ' | sed -n 's/.*consistent with the following platform tag: *"\([^"]*\)".*/\1/p')
    say "$(basename "$1"): $((size / 1048576)) MiB ($size bytes), auditwheel: $tag"
    [ "$size" -le 40000000 ] || { say "over 40 MB"; exit 1; }
}

encode='import corvane; corvane.hls_encoder("../clip.mp4", "master.m3u8", key="enc.keyinfo")'

in_chroot() {  # suite, cpXY
    suite=$1
    root="$roots-$suite"
    wheel=$(wheel_for "$2")
    [ -n "$wheel" ] || { say "no $2 wheel in dist/: run make wheel first"; exit 2; }
    if [ ! -x "$root/usr/bin/python3" ]; then
        debootstrap --variant=minbase --include=python3,python3-venv,ca-certificates "$suite" "$root" "$mirror"
    fi
    if chroot "$root" sh -c 'command -v ffmpeg || ls /usr/lib/x86_64-linux-gnu/libavcodec.so* || command -v gcc' \
            >/dev/null 2>&1; then
        say "the $suite chroot has FFmpeg or a compiler: it is no check"; exit 2
    fi
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca-certificates.crt"
    work="$root/root/check"
    prepare "$work" /root/check
    cp "$wheel" "$work/"
    say "$suite: $(chroot "$root" python3 --version), glibc $(chroot "$root" ldd --version | head -n 1 | sed 's/.* //')"
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        PIP_CERT=/etc/ssl/host-ca-certificates.crt sh -c "
        set -e
        python3 -m venv /root/check/venv
        /root/check/venv/bin/pip install -q --disable-pip-version-check /root/check/*.whl
        cd /root/check/out
        /root/check/venv/bin/python -c '$encode'"
    verify "$work/out"
    describe "$wheel"
}

with_pyenv() {  # 3.10
    py=$(ls -d "$HOME"/.pyenv/versions/"$1".*/bin/python3 2>/dev/null | tail -n 1)
    [ -n "$py" ] || { say "no Python $1 in pyenv"; exit 2; }
    tag=cp$(echo "$1" | tr -d .)
    wheel=$(wheel_for "$tag")
    [ -n "$wheel" ] || { say "no $tag wheel in dist/: run make wheel first"; exit 2; }
    work="$repo/build/wheel/check-$tag"
    prepare "$work" "$work"
    "$py" -m venv "$work/venv"
    "$work/venv/bin/pip" install -q --disable-pip-version-check "$wheel"
    say "$($work/venv/bin/python --version) in a clean venv"
    engine=$(ls "$work"/venv/lib/python*/site-packages/corvane/_engine*.so)
    ldd "$engine" | sed 's/^/    /'
    others=$(ldd "$engine" | awk '{print $1}' | grep -Ev \
        '^(linux-vdso\.so\.1|/lib64/ld-linux-x86-64\.so\.2|lib(c|m|pthread|dl|rt|z)\.so\.[0-9]+)$' || true)
    [ -z "$others" ] || { say "the module needs more than glibc: $others"; exit 1; }
    (cd "$work/out" && "$work/venv/bin/python" -c "$encode")
    verify "$work/out"
    describe "$wheel"
}

"$repo/scripts/install-deps.sh" debootstrap
for check in ${*:-bullseye bookworm trixie 3.10 3.12}; do
    case $check in
        bullseye) in_chroot bullseye cp39 ;;
        bookworm) in_chroot bookworm cp311 ;;
        trixie) in_chroot trixie cp313 ;;
        3.*) with_pyenv "$check" ;;
        *) say "unknown check: $check"; exit 2 ;;
    esac
done
say "all passed"
