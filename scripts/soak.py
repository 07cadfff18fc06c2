#!/usr/bin/env python3
"""Soak checks of corvane.hls_encoder, for service use.

  calls   N calls (default 200) in one process on a 2 s 640x360 clip, one
          360p rendition each: the process's resident memory after every
          call (printed every 20th), whose median over the last quarter of
          the calls must not exceed that over the first quarter. glibc
          keeps freed memory in one arena per thread that ever allocated,
          and every call starts new threads, so figures swing and creep by
          tens of MiB; MALLOC_ARENA_MAX=1 shows the module's own growth.
  length  one call on a one-minute and one on a one-hour 640x360 source
          (360p rendition), each in a child process: the peak resident
          memory of each, which must stay within 10 % of each other.

Usage, from the repository root:

    .venv/bin/python scripts/soak.py calls [--calls 200]
    .venv/bin/python scripts/soak.py length [--long-seconds 3600]

Sources and outputs go to build/soak/.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
from pathlib import Path

OUT = Path(__file__).resolve().parent.parent / "build" / "soak"


def make_clip(path, seconds):
    if not path.exists():
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=size=640x360:rate=30:duration={seconds}", "-f", "lavfi", "-i",
                        f"sine=sample_rate=48000:duration={seconds}", "-c:v", "libx264", "-preset",
                        "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", str(path)], check=True)
    return path


def key_info(folder):
    (folder / "enc.key").write_bytes(os.urandom(16))
    (folder / "enc.keyinfo").write_text(f"enc.key\n{folder / 'enc.key'}\n")
    return folder / "enc.keyinfo"


def resident_mib():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def soak_calls(count):
    import corvane
    folder = OUT / "calls"
    folder.mkdir(parents=True, exist_ok=True)
    clip = make_clip(OUT / "clip_2s.mp4", 2)
    keyinfo = key_info(folder)
    os.chdir(folder)
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(1)
    figures = []
    for n in range(1, count + 1):
        os.dup2(devnull, 1)  # the SUCCESS lines of every call
        try:
            corvane.hls_encoder(str(clip), "master.m3u8", ["360p"], [400000], str(keyinfo))
        finally:
            os.dup2(saved, 1)
        figures.append(resident_mib())
        if n % 20 == 0:
            print(f"after call {n}: {figures[-1]:.1f} MiB resident", flush=True)
    quarter = max(1, count // 4)
    first, last = statistics.median(figures[:quarter]), statistics.median(figures[-quarter:])
    print(f"median resident memory: calls 1-{quarter} {first:.1f} MiB, the last {quarter} calls "
          f"{last:.1f} MiB ({last - first:+.1f} MiB)")


def peak_of_call(source, folder):
    folder.mkdir(parents=True, exist_ok=True)
    keyinfo = key_info(folder)
    code = ("import sys, corvane; corvane.hls_encoder(sys.argv[1], 'master.m3u8', ['360p'], [400000], "
            "sys.argv[2])")
    child = subprocess.Popen([sys.executable, "-c", code, str(source), str(keyinfo)], cwd=folder,
                             stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return usage.ru_maxrss / 1024


def soak_length(long_seconds):
    OUT.mkdir(parents=True, exist_ok=True)
    short = make_clip(OUT / "clip_60s.mp4", 60)
    long = make_clip(OUT / f"clip_{long_seconds}s.mp4", long_seconds)
    short_peak = peak_of_call(short, OUT / "short")
    long_peak = peak_of_call(long, OUT / "long")
    print(f"peak resident memory: 60 s source {short_peak:.1f} MiB, {long_seconds} s source "
          f"{long_peak:.1f} MiB ({long_peak / short_peak:.3f}x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("check", choices=["calls", "length"])
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--long-seconds", type=int, default=3600)
    args = parser.parse_args()
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if args.check == "calls":
        soak_calls(args.calls)
    else:
        soak_length(args.long_seconds)


if __name__ == "__main__":
    main()
