#!/bin/sh
# Runs four-rendition hls_encoder calls (1080p, 720p, 480p, 360p: the
# source thread and four rendition threads, each with the encoder's own
# threads, pictures and packets crossing between them) under
# ThreadSanitizer: on a 2-second 640x360 clip with a subtitle track (so
# that the 360p rendition takes the decoded pictures unscaled), and on an interlaced clip stored
# sideways (deinterlaced and turned in the source stage), and on a 2560x1440
# 10-bit HDR (PQ) clip (the video decoder's frame threads, scaled down and
# tone-mapped in the source stage). Then two four-rendition calls at once on
# two threads of one process, each thread in a working directory of its own
# (the jobs' logs, FFmpeg's log callback and the output claims shared), and
# a chunked call whose chunks run on two threads of the process
# (corvane.parallel with a thread pool).
#
#   scripts/sanitize-tsan.sh
#
# Builds the module with CORVANE_SANITIZE=thread into build/tsan-mod (with
# debugging information: a Release build is stripped, and its reports would
# name no line of the module) and preloads GCC's TSan runtime (and libstdc++)
# into Python. Only the module is instrumented; FFmpeg, x264 and CPython are
# not, so TSan sees their memory only through its interceptors and their
# synchronisation through pthreads. The decoder's frame threads hand
# pictures on through C11 atomics in uninstrumented code, which TSan cannot
# see: the interceptors (malloc, free, memcpy) called from those libraries
# are ignored (ignore_noninstrumented_modules=1), or every picture buffer
# the decoder allocated on one thread and our thread released would be
# reported. What this leaves unseen: a race between the module and a
# library's own memcpy or free of the same memory (a picture the module
# wrote while FFmpeg copied it); the module's own reads and writes are all
# checked.
# Reports go to build/sanitize/tsan/. A report counts against this project
# when one of its stacks has a frame in the module; reports whose stacks lie
# entirely inside FFmpeg, x264, CPython or the C library are listed apart and
# do not fail the run. scripts/sanitize-tsan.supp holds the suppressions for
# such library-only reports; none has been needed so far (it lists none).
#
# Exit status 1 when the call did not finish or a report came from the module.
set -eu
cd "$(dirname "$0")/.."
. scripts/sanitize-common.sh

ensure_packages build-essential
ensure_venv
build_module thread build/tsan-mod RelWithDebInfo
ldd "$MODULE_SO" | grep -q libtsan || { say "$MODULE_SO is not instrumented"; exit 2; }

REPORTS="$OUT/tsan"
WORK="$OUT/tsan-work"
rm -rf "$REPORTS" "$WORK"
mkdir -p "$REPORTS" "$WORK"
check_import build/tsan-mod "$(preload_for libtsan.so)"

# With a subtitle track: its cues are decoded on the source thread and
# written by the calling thread once the renditions are done.
printf '1\n00:00:00,500 --> 00:00:01,500\ncue\n\n' >"$WORK/cue.srt"
ffmpeg -v error -nostdin -y -f lavfi -t 2 -i testsrc2=size=640x360:rate=30 \
    -f lavfi -t 2 -i sine=frequency=440:sample_rate=48000 -i "$WORK/cue.srt" \
    -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -c:s mov_text "$WORK/clip.mp4"
openssl rand 16 >"$WORK/enc.key"
printf 'enc.key\n%s\n' "$(pwd)/$WORK/enc.key" >"$WORK/enc.keyinfo"

# An interlaced phone clip stored sideways: the source's video chain
# (deinterlacer and turn) runs too. The display matrix is written whichever
# way this ffmpeg build knows.
ffmpeg -v error -nostdin -y -f lavfi -t 2 -i "testsrc2=size=640x360:rate=50,tinterlace=mode=interleave_top,setfield=tff" \
    -f lavfi -t 2 -i sine=frequency=440:sample_rate=48000 \
    -c:v libx264 -preset ultrafast -flags +ildct+ilme -x264opts tff=1 -c:a aac "$WORK/interlaced.mp4"
ffmpeg -v error -nostdin -y -display_rotation:v:0 90 -i "$WORK/interlaced.mp4" -c copy "$WORK/sideways.mp4" 2>/dev/null ||
    ffmpeg -v error -nostdin -y -i "$WORK/interlaced.mp4" -c copy -metadata:s:v:0 rotate=90 "$WORK/sideways.mp4"

# 4K-class phone HDR: larger than the largest rendition, so the source stage
# brings it down to 1920x1080 while tone-mapping it.
ffmpeg -v error -nostdin -y -f lavfi -t 2 -i "testsrc2=size=2560x1440:rate=30,zscale=tin=bt709:pin=bt709:min=bt709:t=smpte2084:p=bt2020:m=bt2020nc:npl=203,format=yuv420p10le" \
    -f lavfi -t 2 -i sine=frequency=440:sample_rate=48000 \
    -c:v libx265 -preset ultrafast -x265-params log-level=error -color_primaries bt2020 -color_trc smpte2084 \
    -colorspace bt2020nc -c:a aac "$WORK/hdr.mp4"

# A chunked call: three chunks (the last reading the whole source), given to
# two threads of the same process, then stitched.
ffmpeg -v error -nostdin -y -f lavfi -t 19 -i testsrc2=size=640x360:rate=30 \
    -f lavfi -t 19 -i sine=frequency=440:sample_rate=48000 \
    -c:v libx264 -preset ultrafast -g 45 -pix_fmt yuv420p -c:a aac "$WORK/long.mp4"

# under_tsan WHAT CODE [JOBS]: runs the Python CODE in $WORK under
# ThreadSanitizer and checks that the JOBS jobs it runs (WHAT; default 1)
# finished.
status=0
under_tsan() {
    say "$1 under ThreadSanitizer"
    (
        cd "$WORK"
        PYTHONPATH="$OLDPWD/build/tsan-mod${PYTHONPATH:+:$PYTHONPATH}" \
        TSAN_OPTIONS="halt_on_error=0:exitcode=0:ignore_noninstrumented_modules=1:second_deadlock_stack=1:history_size=4:suppressions=$OLDPWD/scripts/sanitize-tsan.supp:log_path=$OLDPWD/$REPORTS/tsan" \
        LD_PRELOAD="$(preload_for libtsan.so)" \
        timeout -s KILL 1800 "$PY" -c "$2" >call.log 2>&1
    ) || status=$?
    grep '^\[' "$WORK/call.log" || true
    finished=$(grep -c "All secure transcoding finished flawlessly." "$WORK/call.log" || true)
    [ "$finished" = "${3:-1}" ] ||
        { say "$1 did not finish (exit status $status)"; status=1; }
}

for clip in clip.mp4 sideways.mp4 hdr.mp4; do
    under_tsan "one four-rendition call on $clip" \
        "import corvane; corvane.hls_encoder('$clip', 'master.m3u8')"
done
mkdir -p "$WORK/a" "$WORK/b"
under_tsan "two four-rendition calls at once on clip.mp4 and sideways.mp4" "
import ctypes, os, threading, corvane
libc = ctypes.CDLL(None, use_errno=True)
def call(folder, clip):
    # CLONE_FS: a working directory of this thread's own.
    assert libc.unshare(0x200) == 0, ctypes.get_errno()
    os.chdir(folder)
    corvane.hls_encoder('../' + clip, 'master.m3u8', key='../enc.keyinfo')
threads = [threading.Thread(target=call, args=c) for c in (('a', 'clip.mp4'), ('b', 'sideways.mp4'))]
for t in threads: t.start()
for t in threads: t.join()
" 2
under_tsan "a chunked two-rendition call on long.mp4" \
    "import concurrent.futures as cf; from corvane import parallel; parallel.hls_encoder('long.mp4', 'master.m3u8', ['720p', '360p'], [2500000, 400000], chunk_seconds=6, executor=cf.ThreadPoolExecutor(2))"

"$PY" scripts/sanitize-report.py tsan "$REPORTS" || status=1
exit "$status"
