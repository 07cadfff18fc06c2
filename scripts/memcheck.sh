#!/bin/sh
# Runs hls_encoder under valgrind memcheck on a success and on every way the
# job can stop early, and fails on a memory error or a "definitely lost"
# block with a frame in this project's code.
#
#   scripts/memcheck.sh
#
# Cases (one 360p rendition, a 1-second 160x90 clip, one valgrind run each):
#   success            a complete rendition and master playlist
#   missing-keyinfo    the key-info file does not exist
#   empty-keyinfo      the key-info file is empty
#   missing-key        the key file it names does not exist
#   bad-iv             an IV the muxer rejects at the first segment
#   no-audio           a source without sound (each worker stops)
#   no-video           a source without pictures (the probe stops)
#   bad-input          64 KiB of random bytes
#   missing-input      a path that does not exist
#   blocked-segment    a directory where the first segment goes
#   master-unwritable  the master playlist path is /dev/full
#
# The module is built without sanitizers but with debugging information
# (RelWithDebInfo) into build/memcheck-mod; Python runs with
# PYTHONMALLOC=malloc so that valgrind sees every allocation. Errors and
# leaks entirely inside CPython or FFmpeg are listed apart and do not fail
# the run; a report counts when a frame of its stack is in the module.
# scripts/memcheck.supp silences leaks that belong to FFmpeg although the
# module's call is on their stack (each entry says how that was checked).
# Logs: build/sanitize/memcheck/*.vg.
set -eu
cd "$(dirname "$0")/.."
. scripts/sanitize-common.sh

ensure_packages build-essential valgrind
ensure_venv
build_module "" build/memcheck-mod RelWithDebInfo

LOGS="$OUT/memcheck"
WORK="$(pwd)/$OUT/memcheck-work"
rm -rf "$LOGS" "$WORK"
mkdir -p "$LOGS" "$WORK/sources"
check_import build/memcheck-mod
LOGS="$(pwd)/$LOGS"

S="$WORK/sources"
ffmpeg -v error -nostdin -y -f lavfi -t 1 -i testsrc2=size=160x90:rate=30 \
    -f lavfi -t 1 -i sine=sample_rate=48000 -c:v libx264 -preset ultrafast \
    -pix_fmt yuv420p -c:a aac "$S/clip.mp4"
ffmpeg -v error -nostdin -y -i "$S/clip.mp4" -an -c copy "$S/silent.mp4"
ffmpeg -v error -nostdin -y -i "$S/clip.mp4" -vn -c copy "$S/sound.m4a"
head -c 65536 /dev/urandom >"$S/random.mp4"
openssl rand 16 >"$S/enc.key"

status=0
# run_case NAME INPUT [OUTPUT] [KEYINFO-TEXT or -]
run_case() {
    name=$1 input=$2 output=${3:-master.m3u8} keytext=${4:-}
    dir="$WORK/$name"
    mkdir -p "$dir"
    if [ "$keytext" = "-" ]; then
        :  # no key-info file
    elif [ "$keytext" = "EMPTY" ]; then
        : >"$dir/enc.keyinfo"
    elif [ -n "$keytext" ]; then
        printf '%s' "$keytext" >"$dir/enc.keyinfo"
    else
        printf 'enc.key\n%s\n' "$S/enc.key" >"$dir/enc.keyinfo"
    fi
    [ "$name" = blocked-segment ] && mkdir -p "$dir/360p_000.ts"
    say "case $name"
    (
        cd "$dir"
        PYTHONPATH="$OLDPWD/build/memcheck-mod${PYTHONPATH:+:$PYTHONPATH}" PYTHONMALLOC=malloc \
        timeout -s KILL 1800 valgrind --tool=memcheck --leak-check=full \
            --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
            --suppressions="$OLDPWD/scripts/memcheck.supp" \
            --log-file="$LOGS/$name.vg" "$PY" -c \
            "import sys, corvane; corvane.hls_encoder(sys.argv[1], sys.argv[2], ['360p'], [400000])" \
            "$input" "$output" >"$dir/call.log" 2>&1
    ) || { say "case $name: exit status $?"; status=1; }
    grep '^\[' "$dir/call.log" | sed 's/^/    /' || true
}

run_case success "$S/clip.mp4"
run_case missing-keyinfo "$S/clip.mp4" master.m3u8 -
run_case empty-keyinfo "$S/clip.mp4" master.m3u8 EMPTY
run_case missing-key "$S/clip.mp4" master.m3u8 "enc.key
$S/nowhere.key
"
run_case bad-iv "$S/clip.mp4" master.m3u8 "enc.key
$S/enc.key
0123456789abcdefg
"
run_case no-audio "$S/silent.mp4"
run_case no-video "$S/sound.m4a"
run_case bad-input "$S/random.mp4"
run_case missing-input "$S/nowhere.mp4"
run_case blocked-segment "$S/clip.mp4"
run_case master-unwritable "$S/clip.mp4" /dev/full

"$PY" scripts/sanitize-report.py valgrind "$LOGS" || status=1
exit "$status"
