#!/usr/bin/env python3
"""Benchmark of the chunked job (corvane.parallel) against the single call.

Two parts, both on noisy, moving 1920x1080 30 fps H.264 sources with stereo
48 kHz AAC (made once in bench/out/, as bench/ladder_bench.py makes them) and
the default four-rendition ladder:

  side by side  a 60 s source: corvane.hls_encoder and
                corvane.parallel.hls_encoder with 2 local worker processes,
                alternating, each run in a child process measured from its
                rusage (wall time, user+sys CPU time of the process and its
                worker processes, and the peak resident memory of the largest
                of them); medians and ratios against the single call.
  scaling       a 10-minute source (--scaling-seconds): every chunk run alone,
                one after the other, timed; the single call timed once; then
                the wall time W workers would take (each a machine like this
                one): the last chunk (it reads the whole source and encodes
                the audio) and the other chunks given out longest first to
                the least loaded worker, plus the stitch.

Usage, from the repository root:

    .venv/bin/python bench/chunked_bench.py                    # both parts
    .venv/bin/python bench/chunked_bench.py --skip-scaling
    .venv/bin/python bench/chunked_bench.py --chunk-seconds 30,60 --runs 3
    .venv/bin/python bench/chunked_bench.py --quick            # tiny smoke run

The figures of the last run are written to bench/out/chunked-results.json.
"""

import argparse
import heapq
import json
import os
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import ladder_bench as lb  # noqa: E402  (sources, key, measuring a child, tables)

WORKER_COUNTS = (1, 2, 4, 8, 16, 32)


def parallel_command(source, keyinfo, ladder, chunk_seconds, workers):
    code = ("import json, sys\n"
            "from corvane import parallel\n"
            "a = json.loads(sys.argv[1])\n"
            "parallel.hls_encoder(a['input'], 'master.m3u8', resolution=a['resolution'], "
            "bitrate=a['bitrate'], key=a['key'], chunk_seconds=a['chunk'], workers=a['workers'])\n")
    payload = {"input": str(source), "resolution": [r[0] for r in ladder],
               "bitrate": [r[3] for r in ladder], "key": str(keyinfo), "chunk": chunk_seconds,
               "workers": workers}
    return [sys.executable, "-c", code, json.dumps(payload)]


def side_by_side(source, keyinfo, runs, chunk_list, timeout):
    names = [r[0] for r in lb.LADDER]
    contenders = [("single", lb.corvane_command(source, keyinfo, lb.LADDER))]
    contenders += [(f"chunked {c:g} s", parallel_command(source, keyinfo, lb.LADDER, c, 2))
                   for c in chunk_list]
    results = {name: [] for name, _ in contenders}
    for run in range(runs):
        for name, cmd in contenders:
            workdir = lb.OUT_DIR / "chunked-runs" / name.replace(" ", "-")
            result = lb.run_one("corvane", cmd, workdir, names, timeout, keep=False)
            results[name].append(result)
            print(f"  run {run + 1} {name}: wall {result['wall']:.1f} s, cpu {result['cpu']:.1f} s, "
                  f"peak {result['rss_mib']:.0f} MiB", flush=True)
    base = results["single"]
    rows = []
    for name, found in results.items():
        rows.append([name, lb.fmt(lb.med(found, "wall"), 1), lb.fmt(lb.med(found, "cpu"), 1),
                     lb.fmt(lb.med(found, "rss_mib"), 0),
                     lb.fmt(lb.med(found, "wall") / lb.med(base, "wall")),
                     lb.fmt(lb.med(found, "cpu") / lb.med(base, "cpu")),
                     lb.fmt(lb.med(found, "rss_mib") / lb.med(base, "rss_mib"))])
    lb.table(["job", "wall s", "cpu s", "peak MiB", "wall x", "cpu x", "peak x"], rows)
    rates = {name: found[-1]["rates"] for name, found in results.items()}
    print("\n  segment rates of the last runs (peak / average, kbit/s), against the rate plus audio:")
    for rung in lb.LADDER:
        budget = (rung[3] + 128000) / 1000
        cells = "  ".join(f"{name}: {rates[name][rung[0]][0] / 1000:.0f} ({rates[name][rung[0]][0] / 1000 / budget:.2f}x)"
                          f" / {rates[name][rung[0]][1] / 1000:.0f} ({rates[name][rung[0]][1] / 1000 / budget:.2f}x)"
                          for name in results)
        print(f"    {rung[0]}: {cells}")
    return {name: found for name, found in results.items()}


def cpu_now():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(step):
    wall, cpu = time.perf_counter(), cpu_now()
    value = step()
    return value, time.perf_counter() - wall, cpu_now() - cpu


def chunk_times(source, keyinfo, chunk_seconds):
    """Every chunk of the job run alone in this process, then the stitch;
    returns (plan, [(chunk, wall, cpu)], stitch wall)."""
    from corvane import _engine
    names = [r[0] for r in lb.LADDER]
    rates = [r[3] for r in lb.LADDER]
    workdir = lb.OUT_DIR / "chunked-scaling"
    shutil.rmtree(workdir, ignore_errors=True)
    workdir.mkdir(parents=True)
    os.chdir(workdir)
    plan = _engine._plan_chunks(str(source), "master.m3u8", names, rates, float(chunk_seconds))
    folder = tempfile.mkdtemp(prefix=".corvane-chunks-", dir=workdir)
    starts = plan["starts"]
    bounds = [-(2**63)] + starts + [2**63 - 1]
    count = len(starts) + 1
    order = [count - 1] + list(range(count - 1))
    times = {}
    results = {}
    for k in order:
        last = k == count - 1
        results[k], wall, cpu = timed(lambda: _engine._encode_chunk(
            plan["input"], folder, plan["renditions"], k, bounds[k], bounds[k + 1], plan["origin"], last,
            False, last))
        times[k] = (wall, cpu)
        print(f"  chunk {k + 1}/{count}{' (whole source, audio)' if last else ''}: "
              f"wall {wall:.1f} s, cpu {cpu:.1f} s", flush=True)
    for k in range(count - 1):
        assert _engine._chunks_join(folder, k, k + 1, bounds[k + 1]), k
    statuses = [(0, "", "")] * len(names)
    _, stitch_wall, stitch_cpu = timed(lambda: _engine._stitch(
        "master.m3u8", str(keyinfo), folder, count, plan["renditions"], statuses, results[count - 1][1]))
    print(f"  stitch: wall {stitch_wall:.1f} s, cpu {stitch_cpu:.1f} s", flush=True)
    shutil.rmtree(folder, ignore_errors=True)
    return plan, [(k, times[k][0], times[k][1]) for k in range(count)], stitch_wall, stitch_cpu


def wall_with(workers, chunks, stitch):
    """The last chunk first, then the others longest first, each to the least
    loaded worker; the slowest worker's total plus the stitch."""
    last = chunks[-1]
    others = sorted(chunks[:-1], key=lambda c: -c[1])
    loads = [0.0] * workers
    loads[0] = last[1]
    heapq.heapify(loads)
    for _, wall, _ in others:
        heapq.heappush(loads, heapq.heappop(loads) + wall)
    return max(loads) + stitch


def scaling(source, keyinfo, chunk_seconds, timeout):
    names = [r[0] for r in lb.LADDER]
    single = lb.run_one("corvane", lb.corvane_command(source, keyinfo, lb.LADDER),
                        lb.OUT_DIR / "chunked-runs" / "scaling-single", names, timeout, keep=False)
    print(f"  single call: wall {single['wall']:.1f} s, cpu {single['cpu']:.1f} s", flush=True)
    here = os.getcwd()
    try:
        plan, chunks, stitch, stitch_cpu = chunk_times(source, keyinfo, chunk_seconds)
    finally:
        os.chdir(here)
    rows = []
    for workers in WORKER_COUNTS:
        wall = wall_with(workers, chunks, stitch)
        rows.append([workers, lb.fmt(wall, 1), lb.fmt(wall / single["wall"], 3),
                     lb.fmt(single["wall"] / wall, 1)])
    lb.table(["workers", "wall s", "x single", "speed-up"], rows)
    total_cpu = sum(c[2] for c in chunks) + stitch_cpu
    print(f"  CPU of all chunks and the stitch: {total_cpu:.1f} s against the single call's "
          f"{single['cpu']:.1f} s ({total_cpu / single['cpu']:.3f}x)")
    return {"single": single, "chunks": chunks, "stitch": stitch, "stitch_cpu": stitch_cpu,
            "walls": {w: wall_with(w, chunks, stitch) for w in WORKER_COUNTS}}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--chunk-seconds", default="30,60",
                        help="chunk lengths of the side-by-side part, comma-separated")
    parser.add_argument("--seconds", type=float, default=60, help="the side-by-side source's length")
    parser.add_argument("--scaling-seconds", type=float, default=600)
    parser.add_argument("--scaling-chunk-seconds", type=float, default=60)
    parser.add_argument("--skip-scaling", action="store_true")
    parser.add_argument("--skip-side-by-side", action="store_true")
    parser.add_argument("--quick", action="store_true", help="tiny sources, one run")
    parser.add_argument("--timeout", type=float, default=7200)
    args = parser.parse_args(argv)
    size = (320, 180) if args.quick else (1920, 1080)
    if args.quick:
        args.runs, args.seconds, args.scaling_seconds = 1, 13, 25
        args.chunk_seconds, args.scaling_chunk_seconds = "6", 6
    lb.OUT_DIR.mkdir(parents=True, exist_ok=True)
    lb.require_tools()
    keyinfo = lb.make_key()
    for name, value in lb.machine_lines():
        print(f"{name}: {value}")
    found = {}
    if not args.skip_side_by_side:
        lb.section(f"Side by side: {args.seconds:g} s {size[0]}x{size[1]} 30 fps, 2 local worker processes")
        source = lb.make_source(*size, args.seconds, "8M")
        chunk_list = [float(c) for c in args.chunk_seconds.split(",") if c]
        found["side_by_side"] = side_by_side(source, keyinfo, args.runs, chunk_list, args.timeout)
    if not args.skip_scaling:
        lb.section(f"Scaling: {args.scaling_seconds:g} s {size[0]}x{size[1]} 30 fps, "
                   f"chunks of {args.scaling_chunk_seconds:g} s")
        source = lb.make_source(*size, args.scaling_seconds, "8M")
        found["scaling"] = scaling(source, keyinfo, args.scaling_chunk_seconds, args.timeout)
    (lb.OUT_DIR / "chunked-results.json").write_text(json.dumps(found, indent=1, default=str))


if __name__ == "__main__":
    main()
