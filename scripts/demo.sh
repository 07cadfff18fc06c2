#!/bin/sh
# Runs hls_encoder on a built-in sample: a 12-second 1280x720 clip with a
# tone, a random AES-128 key and its key-info file, all in demo/.
set -eu
python=${PYTHON:-.venv/bin/python}
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
mkdir -p demo
cd demo
rm -f ./*.ts ./*.m3u8
ffmpeg -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=30" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000:beep_factor=4" -t 12 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -b:a 128k sample.mp4
openssl rand 16 > enc.key
printf 'enc.key\nenc.key\n%s\n' "$(openssl rand -hex 16)" > enc.keyinfo
"$python" -c 'import corvane; corvane.hls_encoder("sample.mp4", "master.m3u8")'
echo
echo "Written in $(pwd):"
ls -l
echo
cat master.m3u8
