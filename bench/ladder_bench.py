#!/usr/bin/env python3
"""Side-by-side benchmark of corvane.hls_encoder and the ffmpeg tool.

Both make the same encrypted four-rendition HLS ladder from the same source:

  corvane  corvane.hls_encoder(source, "master.m3u8", key=<key-info>) in a
           child Python process, which decodes the source once (deinterlacing
           interlaced pictures and normalising the audio once) and feeds the
           decoded pictures and sound to all the renditions;
  ffmpeg   one ffmpeg command that decodes once, splits the video into four
           bicubic scalers and the normalised audio into four AAC encoders,
           and writes the ladder and its master playlist through the hls muxer.
           Its H.264 encoders get corvane's rate cap (at most 1.1 times the
           bit rate, a buffer of 2 s of it) and its muxer the same 0.7 s
           delay (the tool's default).

The comparison runs on five sources, each with its own table, medians and
ratios (all noisy, moving, with a stereo 48 kHz AAC track):

  progressive  20 s, 1920x1080, 30 fps H.264;
  interlaced   20 s, 1920x1080, 25 interlaced (top field first) pictures per
               second H.264, broadcast style. The ffmpeg command deinterlaces
               once, with corvane's settings, before its split, and encodes
               the same pictures as corvane: the 25 pictures a second stamped
               on a 1/30 s clock, none duplicated (-fps_mode vfr -enc_time_base 1/30);
  hdr          20 s, 1920x1080, 30 fps 10-bit HEVC in PQ (BT.2020), as phones
               record by default;
  4k           8 s, 3840x2160, 30 fps H.264;
  4k-hdr       8 s, 3840x2160, 30 fps 10-bit HEVC in PQ.
For the HDR sources the ffmpeg command tone-maps as a user would write it:
corvane's tone mapping, once, at the source's size, before its split.

Then the source stage alone (bench/source_rate.cpp, built with CMake under
build/source-rate) reads each source with renditions that only take what they
are given: its own rate in pictures per second shows how far it keeps ahead of
the encoders, whatever the number of cores.

Each child is measured on its own (wall time, user+sys CPU time, peak resident
memory from its rusage) and its playlists are checked; the segment rates of
the last runs (peak and average, as the master playlist states them) are
printed side by side. Then corvane alone is
run on 10, 20 and 40 s progressive sources and with 1 to 4 renditions to show
how its cost grows.

Usage, from the repository root:

    .venv/bin/python bench/ladder_bench.py                 # full run
    .venv/bin/python bench/ladder_bench.py --runs 5
    .venv/bin/python bench/ladder_bench.py --skip-scaling
    .venv/bin/python bench/ladder_bench.py --sources interlaced --skip-scaling
    .venv/bin/python bench/ladder_bench.py --quick         # tiny smoke run
    .venv/bin/python bench/ladder_bench.py --chunked       # bench/chunked_bench.py instead

Sources, the key and the per-run output directories live in bench/out/; the
sources are made once and reused. The figures of the last run are also written
to bench/out/results.json (bench/out/results-quick.json for --quick).
"""

import argparse
import hashlib
import json
import os
import platform
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
OUT_DIR = BENCH_DIR / "out"
sys.path.insert(0, str(BENCH_DIR.parent / "tests"))
from media import variant_rates  # noqa: E402  (the tests' measure of segment rates)

# The default ladder: name, size, video bit rate.
LADDER = [
    ("1080p", 1920, 1080, 5000000),
    ("720p", 1280, 720, 2500000),
    ("480p", 854, 480, 1000000),
    ("360p", 640, 360, 400000),
]
AUDIO_CHAIN = ("loudnorm=I=-14:LRA=11:TP=-1.5,"
               "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo")
SUCCESS_LINE = "All secure transcoding finished flawlessly."
# corvane's deinterlacer: one picture out for each picture in; pictures not
# flagged interlaced pass unchanged.
DEINTERLACE = "bwdif=mode=send_frame:parity=auto:deint=interlaced"

# The sources of the side-by-side comparison, in the order they run: size
# (full run, quick run), seconds (full, quick), H.264 rate of the source, and
# whether it is interlaced or HDR (10-bit HEVC in PQ).
SOURCES = {
    "progressive": {"size": (1920, 1080), "quick_size": (320, 180), "seconds": 20, "rate": "8M"},
    "interlaced": {"size": (1920, 1080), "quick_size": (320, 240), "seconds": 20, "rate": "8M",
                   "interlaced": True},
    "hdr": {"size": (1920, 1080), "quick_size": (320, 180), "seconds": 20, "rate": "8M", "hdr": True},
    "4k": {"size": (3840, 2160), "quick_size": (640, 360), "seconds": 8, "rate": "40M"},
    "4k-hdr": {"size": (3840, 2160), "quick_size": (640, 360), "seconds": 8, "rate": "25M",
               "hdr": True},
}
SOURCE_KINDS = tuple(SOURCES)
# corvane's tone mapping of a PQ source (BT.2020, limited range) to BT.709 SDR.
TONE_MAP = ("zscale=tin=smpte2084:pin=bt2020:min=bt2020nc:rin=tv:t=linear:p=bt709:npl=203,"
            "format=gbrpf32le,tonemap=tonemap=mobius:param=0.7:desat=0:peak=4.926,"
            "zscale=t=bt709:m=bt709:r=tv,format=yuv420p")
# Targets for corvane/ffmpeg, medians, by source.
TARGETS = {
    "progressive": {"wall": 0.95, "rss": 0.75},
    "interlaced": {"wall": 0.95, "rss": 0.75},
    "hdr": {"wall": 0.85, "rss": 0.75},
    "4k": {"wall": 1.00, "rss": 1.00},
    "4k-hdr": {"wall": 0.55, "rss": 0.80},
}

FULL = {"size": (1920, 1080), "seconds": 20, "durations": (10, 20, 40), "source_rate": "8M"}
QUICK = {"size": (320, 180), "seconds": 0.4, "durations": (0.2, 0.4, 0.8), "source_rate": "1M"}


def source_setup(kind, quick):
    """Size, seconds and rate of a source of the comparison."""
    kind_setup = dict(SOURCES[kind])
    if quick:
        kind_setup.update(size=kind_setup["quick_size"], seconds=QUICK["seconds"],
                          rate=QUICK["source_rate"])
    return kind_setup


def source_flags(kind):
    """What the ffmpeg command must do for a source: deinterlace, tone-map."""
    return {"interlaced": SOURCES[kind].get("interlaced", False),
            "hdr": SOURCES[kind].get("hdr", False)}


class BenchError(Exception):
    pass


# ---------------------------------------------------------------------------
# Machine and tools


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def ffmpeg_version():
    done = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True)
    lines = done.stdout.splitlines()
    return lines[0] if lines else "unknown"


def load_average():
    try:
        return "%.2f %.2f %.2f" % os.getloadavg()
    except OSError:
        return "unknown"


def machine_lines():
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return [
        ("CPU", cpu_model()),
        ("cores", "%s (usable by this process: %s)" % (os.cpu_count(), usable)),
        ("FFmpeg", ffmpeg_version()),
        ("Python", "%s (%s)" % (platform.python_version(), sys.executable)),
        ("OS", "%s %s" % (platform.system(), platform.release())),
        ("load average", load_average()),
    ]


def require_tools():
    for tool in ("ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            raise BenchError("the benchmark needs the %s tool on PATH" % tool)
    done = subprocess.run([sys.executable, "-c",
                           "import corvane; print(corvane._engine.__file__)"],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise BenchError("%s cannot import corvane (build it with `make build`):\n%s"
                         % (sys.executable, done.stderr.strip()))
    return done.stdout.strip()


# ---------------------------------------------------------------------------
# Sources and key


def run_tool(cmd, what):
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        raise BenchError("%s failed (exit %d):\n$ %s\n%s"
                         % (what, done.returncode, shlex.join(cmd), done.stderr.strip()))
    return done


def make_source(width, height, seconds, video_rate, interlaced=False, hdr=False):
    """Moving, noisy video with stereo 48 kHz AAC; made once.

    Progressive: 30 pictures a second of H.264. Interlaced: 25 pictures a
    second, each woven from two fields 1/50 s apart, top field first, coded as
    interlaced (so that decoded pictures are flagged interlaced, top field
    first). HDR: 30 pictures a second of 10-bit HEVC in PQ with BT.2020
    colours, SDR white at 203 cd/m², tagged as phones tag it."""
    # Two tones whose loudness swells and fades, so that the loudness filter
    # has something to do.
    audio = ("aevalsrc=0.4*sin(2*PI*440*t)*(0.6+0.4*sin(2*PI*0.5*t))"
             "|0.4*sin(2*PI*660*t)*(0.6+0.4*cos(2*PI*0.3*t)):s=48000:c=stereo")
    codec = ["-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"]
    rate = ["-b:v", video_rate, "-maxrate", video_rate, "-bufsize", video_rate]
    if hdr:
        video = ("testsrc2=size=%dx%d:rate=30,noise=alls=20:allf=t+u,zscale=tin=bt709:pin=bt709:"
                 "min=bt709:t=smpte2084:p=bt2020:m=bt2020nc:npl=203,format=yuv420p10le"
                 % (width, height))
        codec = ["-c:v", "libx265", "-preset", "superfast", "-pix_fmt", "yuv420p10le",
                 "-x265-params", "log-level=error:keyint=60:min-keyint=60"]
        rate = ["-b:v", video_rate]
        coding = ["-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace",
                  "bt2020nc", "-color_range", "tv"]
        name = "source_%dx%d_pq_%gs" % (width, height, seconds)
    elif not interlaced:
        video = "testsrc2=size=%dx%d:rate=30,noise=alls=20:allf=t+u" % (width, height)
        coding = ["-g", "60"]
        name = "source_%dx%d_%gs" % (width, height, seconds)
    else:
        video = ("testsrc2=size=%dx%d:rate=50,noise=alls=20:allf=t+u,"
                 "tinterlace=mode=interleave_top" % (width, height))
        # -top 1 is what makes the encoder code the top field first; the
        # pictures' own flag does not reach it.
        coding = ["-g", "50", "-flags", "+ildct+ilme", "-x264-params", "tff=1", "-top", "1"]
        name = "source_%dx%di25_%gs" % (width, height, seconds)
    args = ["-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio, "-t", str(seconds),
            *codec, *rate, *coding,
            "-c:a", "aac", "-b:a", "128k", "-ar", "48000", "-ac", "2"]
    digest = hashlib.sha1(json.dumps(args).encode()).hexdigest()[:8]
    path = OUT_DIR / ("%s_%s.mp4" % (name, digest))
    if path.exists() and path.stat().st_size > 0:
        return path
    print("  making %s ..." % path.name, flush=True)
    partial = path.with_name(path.stem + ".part.mp4")
    run_tool(["ffmpeg", "-hide_banner", "-v", "error", "-nostdin", "-y", *args, str(partial)],
             "making the source %s" % path.name)
    if interlaced:
        check_interlaced(partial)
    partial.replace(path)
    return path


def check_interlaced(path, pictures=10):
    """Checks that the first decoded pictures are flagged interlaced, top field first."""
    done = run_tool(["ffprobe", "-v", "error", "-select_streams", "v:0", "-read_intervals",
                     "%%+#%d" % pictures, "-show_frames", "-show_entries",
                     "frame=interlaced_frame,top_field_first", "-of", "json", str(path)],
                    "probing the pictures of %s" % path.name)
    frames = json.loads(done.stdout).get("frames", [])
    flags = {(f.get("interlaced_frame"), f.get("top_field_first")) for f in frames}
    if not frames or flags != {(1, 1)}:
        raise BenchError("%s: decoded pictures are not all flagged interlaced, top field first "
                         "(interlaced_frame, top_field_first seen: %s)"
                         % (path.name, sorted(flags)))


def describe_source(path):
    done = run_tool(["ffprobe", "-v", "error", "-of", "json", "-show_format", "-show_streams",
                     str(path)], "probing %s" % path.name)
    info = json.loads(done.stdout)
    parts = []
    for s in info.get("streams", []):
        rate = int(s.get("bit_rate") or 0)
        if s.get("codec_type") == "video":
            order = s.get("field_order", "")
            scan = " interlaced (%s)" % order if order in ("tt", "bb", "tb", "bt") else ""
            parts.append("%s %sx%s %s fps%s %.2f Mb/s"
                         % (s["codec_name"], s["width"], s["height"],
                            s.get("r_frame_rate", "?"), scan, rate / 1e6))
        elif s.get("codec_type") == "audio":
            parts.append("%s %s Hz %s ch %.0f kb/s" % (s["codec_name"], s["sample_rate"],
                                                       s["channels"], rate / 1e3))
    seconds = float(info.get("format", {}).get("duration", 0))
    return "%.1f s, %s" % (seconds, ", ".join(parts))


def make_key():
    """A random AES-128 key (made once) and a key-info file naming it."""
    key = OUT_DIR / "enc.key"
    if not key.exists() or key.stat().st_size != 16:
        key.write_bytes(os.urandom(16))
    keyinfo = OUT_DIR / "enc.keyinfo"
    iv_file = OUT_DIR / "enc.iv"
    if not iv_file.exists():
        iv_file.write_text(os.urandom(16).hex() + "\n")
    text = "enc.key\n%s\n%s\n" % (key, iv_file.read_text().strip())
    if not keyinfo.exists() or keyinfo.read_text() != text:
        keyinfo.write_text(text)
    return keyinfo


# ---------------------------------------------------------------------------
# The two contenders


def corvane_command(source, keyinfo, ladder):
    names = [r[0] for r in ladder]
    rates = [r[3] for r in ladder]
    code = ("import corvane, json, sys\n"
            "a = json.loads(sys.argv[1])\n"
            "corvane.hls_encoder(a['input'], 'master.m3u8', resolution=a['resolution'], "
            "bitrate=a['bitrate'], key=a['key'])\n")
    payload = {"input": str(source), "resolution": names, "bitrate": rates, "key": str(keyinfo)}
    return [sys.executable, "-c", code, json.dumps(payload)]


def ffmpeg_command(source, keyinfo, ladder, interlaced=False, hdr=False):
    """The ffmpeg command making the ladder. For an interlaced source it
    deinterlaces once before the split, as corvane does, and stamps the
    pictures on the 1/30 s clock without duplicating any (-fps_mode vfr with
    a 1/30 s encoder clock; FFmpeg 7.1 refuses -r with a variable-rate mode),
    as corvane does; a plain -r 30 would fill 25 pictures a second up to 30.
    For an HDR source it tone-maps once before the split, at the source's
    size, with corvane's filters."""
    n = len(ladder)
    before = (DEINTERLACE + "," if interlaced else "") + (TONE_MAP + "," if hdr else "")
    graph = ["[0:v]%ssplit=%d%s" % (before, n, "".join("[v%d]" % i for i in range(n)))]
    for i, (name, w, h, _) in enumerate(ladder):
        graph.append("[v%d]scale=%d:%d:flags=bicubic[v%s]" % (i, w, h, name))
    graph.append("[0:a]%s,asplit=%d%s" % (AUDIO_CHAIN, n, "".join("[a%d]" % i for i in range(n))))
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y",
           "-i", str(source), "-filter_complex", ";".join(graph)]
    for i, (name, _, _, _) in enumerate(ladder):
        cmd += ["-map", "[v%s]" % name, "-map", "[a%d]" % i]
    clock = ["-fps_mode", "vfr", "-enc_time_base", "1/30"] if interlaced else ["-r", "30"]
    cmd += ["-c:v", "libx264", "-preset", "fast", *clock, "-g", "60", "-keyint_min", "60",
            "-sc_threshold", "0"]
    # corvane's rate cap: at most 1.1 times the rate, a buffer of 2 s of it.
    for i, (_, _, _, rate) in enumerate(ladder):
        cmd += ["-b:v:%d" % i, str(rate), "-maxrate:v:%d" % i, str(rate * 11 // 10),
                "-bufsize:v:%d" % i, str(rate * 2)]
    cmd += ["-c:a", "aac", "-b:a", "128k", "-ar", "44100", "-ac", "2",
            "-f", "hls", "-hls_time", "6", "-hls_list_size", "0",
            "-hls_key_info_file", str(keyinfo),
            "-hls_segment_filename", "%v_%03d.ts",
            "-master_pl_name", "master.m3u8",
            "-var_stream_map", " ".join("v:%d,a:%d,name:%s" % (i, i, name)
                                        for i, (name, _, _, _) in enumerate(ladder)),
            "%v.m3u8"]
    return cmd


def source_rate_tool():
    """Builds bench/source_rate.cpp (the source stage alone) under build/source-rate."""
    root = BENCH_DIR.parent
    build = root / "build" / "source-rate"
    run_tool(["cmake", "-S", str(root), "-B", str(build), "-DCORVANE_SOURCE_RATE=ON",
              "-DCMAKE_BUILD_TYPE=Release"], "configuring the source stage tool")
    run_tool(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 1)],
             "building the source stage tool")
    return build / "source_rate"


def source_rate(tool, source, timeout, filters=False):
    """The source stage's own figures on `source`, with four renditions that
    only take what they are given; `filters`: HDR tone-mapped by FFmpeg's
    filters, as before the source's own conversion."""
    done = subprocess.run([str(tool), str(source), str(len(LADDER))] + (["filters"] if filters else []),
                          capture_output=True, text=True, timeout=timeout)
    lines = [l for l in done.stdout.splitlines() if l.startswith("pictures ")]
    if done.returncode != 0 or not lines:
        raise BenchError("the source stage tool failed on %s (exit %d):\n%s"
                         % (source.name, done.returncode, done.stderr.strip()))
    words = lines[-1].split()
    return {key: float(value) for key, value in zip(words[::2], words[1::2])}


def tone_map_cost(tool, timeout):
    """bench/tone_map_cost's figures: {"WxH": {"own_ms": .., "own_sliced_ms": .., "filters_ms": ..}}."""
    done = subprocess.run([str(tool)], capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise BenchError("the conversion cost tool failed (exit %d):\n%s" % (done.returncode, done.stderr))
    figures = {}
    for line in done.stdout.splitlines():
        words = line.split()
        if words and words[0] == "conversion":
            figures[words[1]] = {k: float(v) for k, v in zip(words[2::2], words[3::2])}
    return figures


# ---------------------------------------------------------------------------
# Running and measuring one child


def measure(cmd, workdir, timeout):
    """Runs cmd in workdir; returns its exit code, wall time, CPU time and peak RSS."""
    if workdir.exists():
        shutil.rmtree(workdir)
    workdir.mkdir(parents=True)
    with open(workdir / "stdout.log", "wb") as out, open(workdir / "stderr.log", "wb") as err:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, cwd=workdir, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=err)
        timer = threading.Timer(timeout, lambda: os.kill(child.pid, signal.SIGKILL))
        timer.start()
        try:
            _, status, usage = os.wait4(child.pid, 0)
        finally:
            timer.cancel()
        wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    child.returncode = code  # reaped here, not by Popen
    return {
        "exit": code,
        "wall": wall,
        "cpu": usage.ru_utime + usage.ru_stime,
        "user": usage.ru_utime,
        "sys": usage.ru_stime,
        "rss_mib": usage.ru_maxrss / 1024.0,  # ru_maxrss is in KiB on Linux
    }


def log_tail(workdir, lines=25):
    text = []
    for name in ("stdout.log", "stderr.log"):
        path = workdir / name
        if path.exists():
            content = path.read_text(errors="replace").splitlines()[-lines:]
            if content:
                text.append("--- %s ---" % name)
                text.extend(content)
    return "\n".join(text)


def check_ladder(workdir, names):
    """Checks the master and media playlists and the segments; returns the output's bytes."""
    problems = []
    master = workdir / "master.m3u8"
    if not master.is_file():
        problems.append("no master.m3u8")
    else:
        listed = [l for l in master.read_text().splitlines() if l and not l.startswith("#")]
        for name in names:
            if name + ".m3u8" not in listed:
                problems.append("master.m3u8 does not list %s.m3u8" % name)
    total = 0
    for name in names:
        playlist = workdir / (name + ".m3u8")
        if not playlist.is_file():
            problems.append("no %s" % playlist.name)
            continue
        text = playlist.read_text()
        if "#EXT-X-ENDLIST" not in text:
            problems.append("%s is not finished (no #EXT-X-ENDLIST)" % playlist.name)
        if "#EXT-X-KEY:METHOD=AES-128" not in text:
            problems.append("%s is not encrypted (no AES-128 key line)" % playlist.name)
        segments = [l for l in text.splitlines() if l and not l.startswith("#")]
        if not segments:
            problems.append("%s lists no segment" % playlist.name)
        for uri in segments:
            if not uri.startswith(name + "_") or not uri.endswith(".ts"):
                problems.append("%s: unexpected segment name %s" % (playlist.name, uri))
            segment = workdir / uri
            if not segment.is_file() or segment.stat().st_size == 0:
                problems.append("%s: segment %s missing or empty" % (playlist.name, uri))
            else:
                total += segment.stat().st_size
    return problems, total


def run_one(tool, cmd, workdir, names, timeout, keep):
    result = measure(cmd, workdir, timeout)
    problems = []
    if result["exit"] != 0:
        problems.append("exit status %d" % result["exit"])
    if tool == "corvane":
        stdout = (workdir / "stdout.log").read_text(errors="replace")
        if SUCCESS_LINE not in stdout:
            problems.append("no '%s' line" % SUCCESS_LINE)
    found, total = check_ladder(workdir, names)
    problems += found
    if problems:
        raise BenchError("%s run in %s failed:\n  %s\n$ %s\n%s"
                         % (tool, workdir, "\n  ".join(problems), shlex.join(cmd),
                            log_tail(workdir)))
    result["output_mib"] = total / 1048576.0
    result["rates"] = {name: variant_rates(workdir / (name + ".m3u8"))[1:] for name in names}
    if not keep:
        for path in workdir.iterdir():
            if path.suffix == ".ts":
                path.unlink()
    return result


# ---------------------------------------------------------------------------
# Output


def table(headers, rows, align=None):
    """Aligned text table: text columns to the left, numbers to the right."""
    cells = [[str(c) for c in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]
    if align is None:
        align = ["<"] + [">"] * (len(headers) - 1)
    def line(values):
        return "  ".join(("{:%s%d}" % (a, w)).format(v)
                         for v, w, a in zip(values, widths, align)).rstrip()
    out = [line(headers), line(["-" * w for w in widths])]
    out.extend(line(r) for r in cells)
    print("\n".join("  " + l for l in out))


def section(title):
    print("\n" + title)
    print("=" * len(title))


def med(results, field):
    return statistics.median(r[field] for r in results)


def fmt(value, digits=2):
    return "%.*f" % (digits, value)


# ---------------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Benchmark corvane.hls_encoder against the ffmpeg tool making the same "
                    "encrypted HLS ladder.")
    parser.add_argument("--runs", type=int, default=None,
                        help="runs of each contender, alternating (default 3; 1 with --quick)")
    parser.add_argument("--scaling-runs", type=int, default=1,
                        help="runs of each scaling point; the median is shown (default 1)")
    parser.add_argument("--quick", action="store_true",
                        help="tiny sources and durations: a smoke run of a few seconds")
    parser.add_argument("--skip-scaling", action="store_true",
                        help="only the side-by-side comparison")
    parser.add_argument("--sources", default=",".join(SOURCE_KINDS),
                        help="comma-separated sources of the side-by-side comparison, from %s "
                             "(default: all, in that order); the scaling sections always use "
                             "the progressive source" % ", ".join(SOURCE_KINDS))
    parser.add_argument("--keep", action="store_true",
                        help="keep the segments of every run under bench/out/runs/")
    parser.add_argument("--timeout", type=float, default=1800,
                        help="seconds before a run is killed (default 1800)")
    args = parser.parse_args(argv)
    if args.runs is None:
        args.runs = 1 if args.quick else 3
    if args.runs < 1 or args.scaling_runs < 1:
        parser.error("--runs and --scaling-runs must be at least 1")
    chosen = [k.strip() for k in args.sources.split(",") if k.strip()]
    unknown = [k for k in chosen if k not in SOURCE_KINDS]
    if unknown or not chosen:
        parser.error("--sources takes a comma-separated list from: %s" % ", ".join(SOURCE_KINDS))
    args.sources = [k for k in SOURCE_KINDS if k in chosen]
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if "--chunked" in argv:
        import chunked_bench
        return chunked_bench.main([a for a in argv if a != "--chunked"])
    args = parse_args(argv)
    setup = QUICK if args.quick else FULL
    width, height = setup["size"]
    OUT_DIR.mkdir(parents=True, exist_ok=True)
    runs_dir = OUT_DIR / ("runs-quick" if args.quick else "runs")
    if runs_dir.exists():
        shutil.rmtree(runs_dir)

    section("corvane HLS ladder benchmark%s" % (" (quick smoke run)" if args.quick else ""))
    module = require_tools()
    machine = machine_lines() + [("corvane", module)]
    table(["machine", ""], machine, align=["<", "<"])

    section("Sources")
    sources = {}
    seconds_needed = set()
    if "progressive" in args.sources:
        seconds_needed.add(setup["seconds"])
    if not args.skip_scaling:
        seconds_needed.update(setup["durations"])
    for seconds in sorted(seconds_needed):
        sources[seconds] = make_source(width, height, seconds, setup["source_rate"])
    compared = {}  # kind -> source file of the side-by-side comparison
    for kind in args.sources:
        if kind == "progressive":
            compared[kind] = sources[setup["seconds"]]
            continue
        kind_setup = source_setup(kind, args.quick)
        compared[kind] = make_source(*kind_setup["size"], kind_setup["seconds"], kind_setup["rate"],
                                     interlaced=kind_setup.get("interlaced", False),
                                     hdr=kind_setup.get("hdr", False))
        if kind_setup.get("interlaced"):
            check_interlaced(compared[kind])
    keyinfo = make_key()
    listed = [p for _, p in sorted(sources.items())]
    listed += [p for kind, p in compared.items() if kind != "progressive"]
    table(["file", "content"],
          [(p.name, describe_source(p)) for p in listed]
          + [(keyinfo.name, "key-info file: enc.key (random AES-128 key), random IV")],
          align=["<", "<"])
    names = [r[0] for r in LADDER]

    section("Commands")
    for kind, source in compared.items():
        print("  %s source" % kind)
        print("    corvane: %s" % shlex.join(corvane_command(source, keyinfo, LADDER)))
        print("    ffmpeg:  %s" % shlex.join(ffmpeg_command(source, keyinfo, LADDER,
                                                           **source_flags(kind))))
    print("  (each run in a fresh directory under %s)" % runs_dir)

    # --- side by side -------------------------------------------------------
    def side_by_side(kind, source):
        kind_setup = source_setup(kind, args.quick)
        interlaced = kind_setup.get("interlaced", False)
        size, seconds = kind_setup["size"], kind_setup["seconds"]
        picture = ("25 interlaced pictures/s, deinterlaced by both" if interlaced
                   else "30 pictures/s, 10-bit PQ, tone-mapped by both" if kind_setup.get("hdr")
                   else "30 pictures/s")
        section("corvane vs ffmpeg: default ladder, %s source (%g s, %dx%d, %s), "
                "%d run%s each, alternating"
                % (kind, seconds, size[0], size[1], picture, args.runs,
                   "" if args.runs == 1 else "s"))
        commands = {"corvane": corvane_command(source, keyinfo, LADDER),
                    "ffmpeg": ffmpeg_command(source, keyinfo, LADDER, **source_flags(kind))}
        prefix = "" if kind == "progressive" else kind + "-"
        results = {"corvane": [], "ffmpeg": []}
        rows = []
        for i in range(1, args.runs + 1):
            for tool in ("corvane", "ffmpeg"):
                workdir = runs_dir / ("%s%s-%d" % (prefix, tool, i))
                print("  run %d/%d: %s ..." % (i, args.runs, tool), end="", flush=True)
                r = run_one(tool, commands[tool], workdir, names, args.timeout, args.keep)
                print(" %.1f s" % r["wall"], flush=True)
                results[tool].append(r)
                rows.append((i, tool, fmt(r["wall"]), fmt(r["cpu"]), fmt(r["user"]),
                             fmt(r["sys"]), fmt(r["cpu"] / r["wall"]), fmt(r["rss_mib"], 1),
                             fmt(r["output_mib"], 1)))
        print()
        table(["run", "tool", "wall s", "CPU s", "user s", "sys s", "CPU/wall", "peak RSS MiB",
               "output MiB"], rows, align=[">", "<"] + [">"] * 7)

        print()
        print("  Segment rates of the last runs, Mb/s (peak: any 3-9 s of segments; "
              "audio, MPEG-TS and encryption included)")
        rows = []
        for name, _, _, rate in LADDER:
            rows.append([name, fmt(rate / 1e6)] +
                        [fmt(v / 1e6) for tool in ("corvane", "ffmpeg")
                         for v in results[tool][-1]["rates"][name]])
        table(["rendition", "video rate", "corvane peak", "corvane average", "ffmpeg peak",
               "ffmpeg average"], rows)

        print()
        medians = {}
        rows = []
        for tool in ("corvane", "ffmpeg"):
            m = {f: med(results[tool], f) for f in ("wall", "cpu", "rss_mib", "output_mib")}
            medians[tool] = m
            rows.append((tool, fmt(m["wall"]), fmt(m["cpu"]), fmt(m["cpu"] / seconds),
                         fmt(m["rss_mib"], 1), fmt(m["output_mib"], 1)))
        print("  Medians (%s source)" % kind)
        table(["tool", "wall s", "CPU s", "CPU s per source s", "peak RSS MiB", "output MiB"],
              rows)
        ratios = {
            "wall": medians["corvane"]["wall"] / medians["ffmpeg"]["wall"],
            "cpu": medians["corvane"]["cpu"] / medians["ffmpeg"]["cpu"],
            "rss": medians["corvane"]["rss_mib"] / medians["ffmpeg"]["rss_mib"],
        }
        targets = TARGETS[kind]
        met = {f: ratios[f] <= targets[f] for f in targets}
        print()
        print("  Ratios corvane/ffmpeg (medians, %s source)" % kind)
        table(["measure", "ratio", "target", "met"],
              [("wall time", fmt(ratios["wall"], 3), "<= %.2f" % targets["wall"],
                "yes" if met["wall"] else "NO"),
               ("peak RSS", fmt(ratios["rss"], 3), "<= %.2f" % targets["rss"],
                "yes" if met["rss"] else "NO"),
               ("CPU time", fmt(ratios["cpu"], 3), "(for information)", "")])
        return {
            "source": {"file": source.name, "size": "%dx%d" % size,
                       "seconds": seconds, "interlaced": interlaced,
                       "hdr": kind_setup.get("hdr", False)},
            "ffmpeg_command": shlex.join(commands["ffmpeg"]),
            "runs": results,
            "medians": medians,
            "ratios": ratios,
            "targets_met": met,
        }

    compared_figures = {kind: side_by_side(kind, source) for kind, source in compared.items()}

    # --- the source stage alone --------------------------------------------
    stage_figures = {}
    if compared:
        section("The source stage alone: decoding, deinterlacing, scaling down, tone mapping, "
                "sound; renditions that only take (%d run%s, median)"
                % (args.runs, "" if args.runs == 1 else "s"))
        tool = source_rate_tool()
        rows = []
        for kind, source in compared.items():
            # HDR: also as before, with FFmpeg's filters tone-mapping.
            ways = [("", False)] + ([(" (filters)", True)] if source_setup(kind, args.quick).get("hdr") else [])
            for label, filters in ways:
                runs = [source_rate(tool, source, args.timeout, filters) for _ in range(args.runs)]
                m = {f: statistics.median(r[f] for r in runs)
                     for f in ("pictures", "wall_s", "cpu_s", "pictures_per_s")}
                stage_figures[kind + label.replace(" (filters)", "-filters")] = m
                rows.append((kind + label, "%d" % m["pictures"], fmt(m["wall_s"]), fmt(m["cpu_s"]),
                             fmt(m["cpu_s"] / m["wall_s"]), fmt(m["pictures_per_s"], 1),
                             fmt(m["pictures_per_s"] / 30)))
        table(["source", "pictures", "wall s", "CPU s", "CPU/wall", "pictures/s",
               "x real time"], rows)
        if any(source_setup(kind, args.quick).get("hdr") for kind in compared):
            section("The HDR conversion alone, per picture (noisy 10-bit PQ, median ms): the source's "
                    "own on one thread and on its threads, FFmpeg's filters on one thread; then the "
                    "source's own on one thread with each kernel this processor runs")
            stage_figures["conversion"] = tone_map_cost(tool.parent / "tone_map_cost", args.timeout)
            kernels = [k for k in ("plain", "avx2", "avx512")
                       if all(k + "_ms" in f for f in stage_figures["conversion"].values())]
            names = {"plain": "plain loop", "avx2": "AVX2", "avx512": "AVX-512"}
            table(["picture", "own, 1 thread", "own, threads", "filters, 1 thread", "filters/own"]
                  + [names[k] for k in kernels],
                  [(size, fmt(f["own_ms"]), fmt(f["own_sliced_ms"]), fmt(f["filters_ms"]),
                    fmt(f["filters_ms"] / f["own_ms"])) + tuple(fmt(f[k + "_ms"]) for k in kernels)
                   for size, f in stage_figures["conversion"].items()])

    report = {
        "quick": args.quick,
        "machine": dict(machine),
    }
    # The progressive source's figures also stay at the top level, as before.
    if "progressive" in compared_figures:
        figures = compared_figures["progressive"]
        report.update({
            "source": {"size": figures["source"]["size"], "seconds": setup["seconds"]},
            "ffmpeg_command": figures["ffmpeg_command"],
            "runs": figures["runs"],
            "medians": figures["medians"],
            "ratios": figures["ratios"],
        })
    report["targets"] = {kind: TARGETS[kind] for kind in compared}
    report["sources"] = compared_figures
    report["source_stage"] = stage_figures

    # --- scaling ------------------------------------------------------------
    if not args.skip_scaling:
        cache = {}

        def corvane_point(seconds, count):
            key = (seconds, count)
            if key not in cache:
                ladder = LADDER[:count]
                runs = []
                for i in range(1, args.scaling_runs + 1):
                    workdir = runs_dir / ("scaling-%ss-%dr-%d" % (seconds, count, i))
                    print("  corvane, %s s source, %d rendition%s, run %d/%d ..."
                          % (seconds, count, "" if count == 1 else "s", i, args.scaling_runs),
                          end="", flush=True)
                    r = run_one("corvane", corvane_command(sources[seconds], keyinfo, ladder),
                                workdir, [l[0] for l in ladder], args.timeout, args.keep)
                    print(" %.1f s" % r["wall"], flush=True)
                    runs.append(r)
                cache[key] = {f: med(runs, f) for f in ("wall", "cpu", "rss_mib")}
            return cache[key]

        section("corvane scaling with source duration (default ladder)")
        by_duration = [(s, corvane_point(s, len(LADDER))) for s in setup["durations"]]
        by_count = [(n, corvane_point(setup["seconds"], n)) for n in range(1, len(LADDER) + 1)]

        print()
        per_second = [p["cpu"] / s for s, p in by_duration]
        base = per_second[0]
        table(["source s", "wall s", "CPU s", "CPU s per source s", "vs shortest",
               "peak RSS MiB"],
              [(s, fmt(p["wall"]), fmt(p["cpu"]), fmt(p["cpu"] / s, 3),
                "%+.1f %%" % (100 * (p["cpu"] / s / base - 1)), fmt(p["rss_mib"], 1))
               for s, p in by_duration])
        spread = 100 * (max(per_second) / min(per_second) - 1)
        rss = [p["rss_mib"] for _, p in by_duration]
        rss_growth = 100 * (rss[-1] / rss[0] - 1)
        print()
        print("  CPU per source second, max/min - 1: %.1f %% (target <= 10 %%)" % spread)
        print("  peak RSS, longest/shortest - 1:     %+.1f %% (target: flat)" % rss_growth)

        section("corvane scaling with renditions (%g s source)" % setup["seconds"])
        one = by_count[0][1]
        table(["renditions", "names", "wall s", "CPU s", "CPU vs 1", "peak RSS MiB",
               "RSS vs 1"],
              [(n, ",".join(l[0] for l in LADDER[:n]), fmt(p["wall"]), fmt(p["cpu"]),
                fmt(p["cpu"] / one["cpu"]), fmt(p["rss_mib"], 1),
                fmt(p["rss_mib"] / one["rss_mib"]))
               for n, p in by_count],
              align=[">", "<"] + [">"] * 5)

        report["scaling"] = {
            "duration": [{"seconds": s, **p} for s, p in by_duration],
            "renditions": [{"count": n, **p} for n, p in by_count],
            "cpu_per_second_spread_percent": spread,
            "rss_growth_percent": rss_growth,
        }

    if compared_figures:
        section("Targets: corvane/ffmpeg, medians")
        rows = []
        for kind, figures in compared_figures.items():
            ratios, met = figures["ratios"], figures["targets_met"]
            targets = TARGETS[kind]
            rows.append((kind, fmt(ratios["wall"], 3), "<= %.2f" % targets["wall"],
                         "yes" if met["wall"] else "NO", fmt(ratios["rss"], 3),
                         "<= %.2f" % targets["rss"], "yes" if met["rss"] else "NO"))
        table(["source", "wall", "target", "met", "peak RSS", "target", "met"], rows)
        if args.quick:
            print("  (quick run: tiny sources, the ratios say nothing about the targets)")

    report["load_average_at_end"] = load_average()
    results_file = OUT_DIR / ("results-quick.json" if args.quick else "results.json")
    results_file.write_text(json.dumps(report, indent=2) + "\n")
    print("\n  load average at the end: %s" % report["load_average_at_end"])
    print("  figures written to %s" % results_file)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as e:
        print("\nBENCHMARK FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)
