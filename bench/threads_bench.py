#!/usr/bin/env python3
"""Benchmark of two calls on two threads of one process against the same two
calls one after another.

Each call encodes the 360p rendition alone of a noisy, moving 20 s 1280x720
(--size) 30 fps H.264 source with stereo AAC (made once in bench/out/, as
bench/ladder_bench.py makes it), in a folder of its own: on two threads, each
thread has a working directory of its own (Linux's unshare(CLONE_FS)), so the
two calls write different files and run at once. The two ways alternate, each
run in a child process that times its calls; the medians and their ratio
(together / one after another) are printed and written to
bench/out/threads-results.json, with the CPU time each run took: two calls
at once can gain only what one call leaves of the machine's cores.

    .venv/bin/python bench/threads_bench.py [--runs 3] [--seconds 20] [--size 1280x720]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import ladder_bench as lb  # noqa: E402  (the source, the key)

CHILD = """\
import ctypes, json, os, resource, sys, threading, time, corvane
source, keyinfo, together = sys.argv[1], sys.argv[2], sys.argv[3] == 'together'
libc = ctypes.CDLL(None, use_errno=True)
def call(folder, own_directory):
    if own_directory and libc.unshare(0x200) != 0:  # CLONE_FS
        raise OSError(ctypes.get_errno(), 'unshare')
    os.chdir(folder)
    corvane.hls_encoder(source, 'master.m3u8', ['360p'], [400000], keyinfo)
start = time.monotonic()
if together:
    threads = [threading.Thread(target=call, args=(f, True)) for f in ('a', 'b')]
    for t in threads: t.start()
    for t in threads: t.join()
else:
    for f in ('a', 'b'):
        call(f, False)
        os.chdir('..')
wall = time.monotonic() - start
used = resource.getrusage(resource.RUSAGE_SELF)
libc.fflush(None)
print('WALL=%.3f CPU=%.3f' % (wall, used.ru_utime + used.ru_stime), flush=True)
"""


def run(source, keyinfo, together):
    work = Path(tempfile.mkdtemp(prefix="threads-", dir=lb.OUT_DIR))
    try:
        for folder in ("a", "b"):
            (work / folder).mkdir()
        done = subprocess.run([sys.executable, "-c", CHILD, str(source), str(keyinfo),
                               "together" if together else "apart"],
                              cwd=work, capture_output=True, text=True, timeout=1800)
        finished = done.stdout.count("All secure transcoding finished flawlessly.")
        if done.returncode != 0 or finished != 2:
            raise SystemExit("a run failed:\n" + done.stdout[-2000:] + done.stderr[-2000:])
        wall, cpu = done.stdout.rsplit("WALL=", 1)[1].split()[:2]
        return float(wall), float(cpu[len("CPU="):])
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--size", default="1280x720", help="the source's size, WIDTHxHEIGHT")
    args = parser.parse_args()
    lb.OUT_DIR.mkdir(parents=True, exist_ok=True)
    width, height = (int(n) for n in args.size.split("x"))
    source = lb.make_source(width, height, args.seconds, "4M")
    keyinfo = lb.make_key()
    times = {"apart": [], "together": []}
    cpu = {"apart": [], "together": []}
    cores = os.cpu_count() or 1
    for n in range(args.runs):
        for together in (False, True) if n % 2 == 0 else (True, False):
            way = "together" if together else "apart"
            wall, used = run(source, keyinfo, together)
            times[way].append(wall)
            cpu[way].append(used)
            print("run %d, %-8s %.2f s, CPU %.2f s (%.0f %% of %d cores)"
                  % (n + 1, way, wall, used, 100 * used / wall / cores, cores), flush=True)
    apart, together = statistics.median(times["apart"]), statistics.median(times["together"])
    print("median: one after another %.2f s, on two threads %.2f s, ratio %.2fx"
          % (apart, together, together / apart))
    results = {"machine": lb.machine_lines(), "seconds": args.seconds, "size": args.size, "times": times, "cpu": cpu,
               "median_apart": apart, "median_together": together, "ratio": together / apart}
    (lb.OUT_DIR / "threads-results.json").write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
