#!/bin/sh
# Installs the wheel for Debian 12's Python (3.11) with pip into a venv in a
# fresh Debian 12 minbase chroot that has only python3 and python3-venv (no
# FFmpeg, no compiler), encodes a clip made outside the chroot there, and
# verifies the ladder outside: four renditions, every segment decrypted with
# openssl and read by ffprobe, sound present. Prints the wheel's size and
# tag. Run as root after `make wheel`. The chroot is kept in
# $WHEEL_CHECK_ROOT (default /var/tmp/corvane-wheel-check) for the next run.
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
root=${WHEEL_CHECK_ROOT:-/var/tmp/corvane-wheel-check}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
say() { echo "[wheel-check] $*"; }

wheel=$(ls "$repo"/dist/corvane-*-cp311-cp311-manylinux_*.whl 2>/dev/null | head -n 1)
[ -n "$wheel" ] || { say "no cp311 wheel in dist/: run make wheel first"; exit 2; }
"$repo/scripts/install-deps.sh" debootstrap
if [ ! -x "$root/usr/bin/python3" ]; then
    debootstrap --variant=minbase --include=python3,python3-venv,ca-certificates bookworm "$root" "$mirror"
fi
if chroot "$root" sh -c 'command -v ffmpeg || ls /usr/lib/x86_64-linux-gnu/libavcodec.so* || command -v gcc' \
        >/dev/null 2>&1; then
    say "the chroot has FFmpeg or a compiler: it is no check"; exit 2
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca-certificates.crt"

work="$root/root/check"
rm -rf "$work" && mkdir -p "$work/out"
cp "$wheel" "$work/"
ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=1280x720:rate=30 \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -t 8 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac "$work/clip.mp4"
openssl rand 16 >"$work/out/enc.key"
printf 'enc.key\n/root/check/out/enc.key\n%s\n' "$(openssl rand -hex 16)" >"$work/out/enc.keyinfo"

chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    PIP_CERT=/etc/ssl/host-ca-certificates.crt sh -c '
    set -e
    python3 -m venv /root/check/venv
    /root/check/venv/bin/pip install -q --disable-pip-version-check /root/check/*.whl
    cd /root/check/out
    /root/check/venv/bin/python -c "import corvane; corvane.hls_encoder(\"/root/check/clip.mp4\", \"master.m3u8\", key=\"enc.keyinfo\")"'

# Verified outside, with the host's tools.
"$repo/.venv/bin/python" - "$work/out" <<'PY'
import subprocess, sys
from pathlib import Path
sys.path.insert(0, "tests")
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
size=$(stat -c %s "$wheel")
say "$(basename "$wheel"): $((size / 1048576)) MiB ($size bytes), tag $(basename "$wheel" .whl | sed "s/.*cp311-//")"
