#!/usr/bin/env python3
"""Mutation fuzzer for the whole hls_encoder job.

Each case takes one seed clip (fuzz/make_seeds.py), applies a few random
mutations (bit flips, interesting integers, cuts, deleted, repeated or
inserted chunks, splices with another seed, and changes next to the
container's own markers: MP4 boxes, Matroska elements, MPEG-TS and PES
headers, codec start codes), and runs one call

    corvane.hls_encoder(<mutated file>, "master.m3u8", ["360p"], [400000], "enc.keyinfo")

in a child process of its own, with a time limit. A case is counted as

  ok          the rendition was created, or the job stopped with an ERROR line
  crash       the child did not return normally from the call (signal, abort)
  hang        the call had not returned when the time limit ran out
  sanitizer   AddressSanitizer / UndefinedBehaviorSanitizer / LeakSanitizer
              wrote a report
  oracle      the job returned but its outputs contradict its log: a success
              line for something that was not written, a master playlist that
              names a rendition that was not completed, an incomplete playlist
              or a segment that is not whole AES blocks

and every case that is not ok is kept in OUT/findings/ (default
build/fuzz/out/findings/) with its log, to be run again with --replay FILE.

Usage:
    python3 fuzz/fuzz_job.py --cases 2000 --sanitize asan --module build/asan-mod
    python3 fuzz/fuzz_job.py --cases 5                        # installed module
    python3 fuzz/fuzz_job.py --replay build/fuzz/out/findings/crash-00042-<digest>.mp4 --sanitize asan ...

--module DIR puts DIR first on PYTHONPATH (an instrumented build made with
CORVANE_SANITIZE=address,undefined pip install --target DIR .); --sanitize asan
preloads GCC's ASan runtime and libstdc++ into the child Python. Cases are
reproducible: case N of --seed S always gets the same mutations. The exit
status is 1 when any case was not ok.
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from make_seeds import make_seeds  # noqa: E402

LINE = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] \[(INFO|WARN|ERROR|SUCCESS)\] (.*)$")
ALL_DONE = "All secure transcoding finished flawlessly."
MASTER_DONE = "Encrypted Master playlist generated: "
VARIANT_DONE = "Encrypted variant created: "
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "AddressSanitizer: CHECK failed", "runtime error:",
                   "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer")

CALL = """\
import resource, sys, corvane
r = corvane.hls_encoder(sys.argv[1], "master.m3u8", ["360p"], [400000], "enc.keyinfo")
sys.stdout.flush()
print("RESULT=" + repr(r), flush=True)
print("PEAK_RSS_KB=%d" % resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, flush=True)
"""

# --- Mutations ------------------------------------------------------------------------

INTERESTING = [0, 1, 2, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF,
               0x80000000, 0xFFFFFFFF, 0x7FFFFFFFFFFFFFFF, 0x8000000000000000, 0xFFFFFFFFFFFFFFFF]

# Byte strings after which a container or a codec keeps the values that
# decide sizes, counts, time stamps and formats.
MARKERS = [
    # MP4 boxes
    b"ftyp", b"moov", b"mvhd", b"trak", b"tkhd", b"mdhd", b"hdlr", b"stsd", b"avc1", b"avcC",
    b"mp4a", b"esds", b"stts", b"ctts", b"stss", b"stsc", b"stsz", b"stco", b"co64", b"elst",
    b"mdat", b"moof", b"tfhd", b"tfdt", b"trun", b"mvex", b"trex", b"sidx",
    # Matroska elements: EBML header, Segment, Info, TimestampScale, Tracks,
    # TrackEntry, CodecPrivate, Audio, Video, Cluster, Timestamp, SimpleBlock,
    # BlockGroup, Cues
    b"\x1a\x45\xdf\xa3", b"\x18\x53\x80\x67", b"\x15\x49\xa9\x66", b"\x2a\xd7\xb1",
    b"\x16\x54\xae\x6b", b"\xae", b"\x63\xa2", b"\xe1", b"\xe0", b"\x1f\x43\xb6\x75", b"\xe7",
    b"\xa3", b"\xa0", b"\x1c\x53\xbb\x6b",
    # MPEG-TS: sync byte with payload start, PES start, PAT and PMT tables
    b"\x47\x40", b"\x00\x00\x01\xe0", b"\x00\x00\x01\xc0", b"\x00\x00\x01\xbd", b"\x02\xb0",
    # H.264 NAL start codes (SPS, PPS, IDR, slice), MPEG-2 sequence header,
    # MPEG-4 VOL, ADTS sync
    b"\x00\x00\x01\x67", b"\x00\x00\x01\x68", b"\x00\x00\x01\x65", b"\x00\x00\x01\x41",
    b"\x00\x00\x01\xb3", b"\x00\x00\x01\x20", b"\xff\xf1",
]


def m_flip_bits(data, rnd, seeds):
    for _ in range(rnd.randint(1, 8)):
        at = rnd.randrange(len(data))
        data[at] ^= 1 << rnd.randrange(8)
    return "flip-bits"


def m_set_bytes(data, rnd, seeds):
    at = rnd.randrange(len(data))
    n = min(rnd.randint(1, 16), len(data) - at)
    data[at:at + n] = rnd.randbytes(n)
    return f"set-bytes@{at}+{n}"


def put_interesting(data, at, rnd):
    width = rnd.choice([1, 2, 4, 8])
    value = rnd.choice(INTERESTING) & ((1 << (8 * width)) - 1)
    if rnd.random() < 0.3:
        value = (value + rnd.choice([-1, 1, -2, 2, 16])) & ((1 << (8 * width)) - 1)
    raw = value.to_bytes(width, rnd.choice(["big", "little"]))
    data[at:at + width] = raw[:max(0, len(data) - at)]
    return width, value


def m_interesting(data, rnd, seeds):
    at = rnd.randrange(len(data))
    width, value = put_interesting(data, at, rnd)
    return f"int{8 * width}@{at}={value:#x}"


def m_near_marker(data, rnd, seeds):
    for _ in range(8):
        marker = rnd.choice(MARKERS)
        found = [m.start() for m in re.finditer(re.escape(marker), data)]
        if found:
            break
    else:
        return m_set_bytes(data, rnd, seeds)
    at = rnd.choice(found)
    # Box sizes sit just before an MP4 type; everything else after the marker.
    base = at - 4 if len(marker) == 4 and marker.isalpha() and rnd.random() < 0.3 else at + len(marker)
    target = min(len(data) - 1, max(0, base + rnd.randrange(24)))
    if rnd.random() < 0.5:
        width, value = put_interesting(data, target, rnd)
        return f"near-{marker.hex()}@{target}:int{8 * width}={value:#x}"
    data[target] = rnd.randrange(256)
    return f"near-{marker.hex()}@{target}:byte"


def m_truncate(data, rnd, seeds):
    keep = rnd.randrange(len(data) // 10, len(data))
    del data[keep:]
    return f"truncate@{keep}"


def m_delete_chunk(data, rnd, seeds):
    at = rnd.randrange(len(data))
    n = rnd.randint(1, 4096)
    del data[at:at + n]
    return f"delete@{at}+{n}"


def m_repeat_chunk(data, rnd, seeds):
    at = rnd.randrange(len(data))
    n = rnd.randint(1, 4096)
    chunk = bytes(data[at:at + n])
    to = rnd.randrange(len(data))
    data[to:to] = chunk
    return f"repeat@{at}+{n}->{to}"


def m_insert_random(data, rnd, seeds):
    to = rnd.randrange(len(data))
    n = rnd.randint(1, 512)
    data[to:to] = rnd.randbytes(n)
    return f"insert@{to}+{n}"


def m_splice(data, rnd, seeds):
    other = seeds[rnd.choice(sorted(seeds))]
    at = rnd.randrange(len(data))
    start = rnd.randrange(len(other))
    data[at:] = other[start:start + rnd.randint(1024, 64 * 1024)]
    return f"splice@{at}"


MUTATORS = [  # (weight, mutator)
    (4, m_flip_bits), (3, m_set_bytes), (4, m_interesting), (8, m_near_marker), (1, m_truncate),
    (1, m_delete_chunk), (1, m_repeat_chunk), (1, m_insert_random), (1, m_splice),
]


def mutate(seed_bytes, rnd, seeds):
    data = bytearray(seed_bytes)
    steps = []
    weights = [w for w, _ in MUTATORS]
    for _ in range(rnd.choice([1, 1, 2, 2, 3, 4])):
        if not data:
            break
        mutator = rnd.choices([m for _, m in MUTATORS], weights)[0]
        steps.append(mutator(data, rnd, seeds))
    return bytes(data), steps


# --- Running one case ------------------------------------------------------------------

def sanitizer_env(kind, log_dir=None):
    """Environment for a child Python that loads an instrumented module."""
    env = {}
    if kind == "asan":
        gcc = shutil.which("gcc") or "gcc"
        libs = [subprocess.run([gcc, f"-print-file-name={lib}"], capture_output=True, text=True,
                               check=True).stdout.strip() for lib in ("libasan.so", "libstdc++.so")]
        # libstdc++ too: the runtime must find the real __cxa_throw, which a
        # plain Python binary does not load before the module.
        env["LD_PRELOAD"] = " ".join(libs)
        env["ASAN_OPTIONS"] = ("detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:"
                               "allocator_may_return_null=1:detect_stack_use_after_return=0")
        env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1:exitcode=87"
    return env


def write_key(directory):
    directory.mkdir(parents=True, exist_ok=True)
    key = directory / "enc.key"
    if not key.exists():
        key.write_bytes(os.urandom(16))
    (directory / "enc.keyinfo").write_text(f"enc.key\n{key}\n")


def clean(directory):
    for entry in directory.iterdir():
        if entry.name in ("enc.key", "enc.keyinfo"):
            continue
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry, ignore_errors=True)
        else:
            entry.unlink()


def playlist_problem(directory, playlist):
    """What is wrong with a rendition the job calls complete, or None."""
    path = directory / playlist
    if not path.is_file():
        return f"{playlist} was not written"
    text = path.read_text(errors="replace")
    if "#EXT-X-ENDLIST" not in text:
        return f"{playlist} has no end tag"
    segments = [l for l in text.splitlines() if l and not l.startswith("#")]
    if not segments:
        return f"{playlist} lists no segment"
    if "#EXT-X-KEY:METHOD=AES-128" not in text:
        return f"{playlist} is not encrypted"
    for uri in segments:
        segment = directory / uri
        if not segment.is_file():
            return f"{playlist} lists {uri}, which is missing"
        size = segment.stat().st_size
        if size == 0 or size % 16:
            return f"{uri} is {size} bytes"
    return None


def judge(returncode, stdout, stderr, timed_out, cwd):
    """(verdict, detail) of one finished case."""
    if timed_out:
        return "hang", "time limit"
    for mark in SANITIZER_MARKS:
        if mark in stderr:
            return "sanitizer", signature(stderr)
    if returncode != 0 or "RESULT=None" not in stdout:
        return "crash", f"exit status {returncode}"
    lines = [LINE.match(l) for l in (stdout + "\n" + stderr).splitlines()]
    lines = [(m.group(2), m.group(3)) for m in lines if m]
    successes = [msg for level, msg in lines if level == "SUCCESS"]
    errors = [msg for level, msg in lines if level == "ERROR"]
    created = {m[len(VARIANT_DONE):] for m in successes if m.startswith(VARIANT_DONE)}
    failed = {m.split()[1] for m in errors if m.startswith("Rendition ")}
    if created & failed:
        return "oracle", f"both created and failed: {created & failed}"
    if ALL_DONE in successes and errors:
        return "oracle", "finished flawlessly after an ERROR"
    for playlist in created:
        problem = playlist_problem(cwd, playlist)
        if problem:
            return "oracle", f"'{VARIANT_DONE}{playlist}' but {problem}"
    if any(m.startswith(MASTER_DONE) for m in successes):
        master = cwd / "master.m3u8"
        if not master.is_file():
            return "oracle", "master playlist reported but missing"
        listed = [l for l in master.read_text(errors="replace").splitlines()
                  if l and not l.startswith("#")]
        if not set(listed) <= created:
            return "oracle", f"master lists {listed}, created {sorted(created)}"
        # The I-frame and subtitle playlists it names, and what they name.
        for uri in re.findall(r'URI="([^"]*)"', master.read_text(errors="replace")):
            problem = playlist_problem(cwd, uri) if uri.endswith(".m3u8") else None
            if problem:
                return "oracle", f"master names {uri} but {problem}"
    elif ALL_DONE in successes:
        return "oracle", "finished flawlessly without a master playlist"
    if not created and not errors:
        return "oracle", "nothing created and no ERROR line"
    return "ok", "created" if created else "error"


def signature(stderr):
    """A short, stable name for a sanitizer report: its kind and first frame
    in this project's sources, else its first frame."""
    kind = re.search(r"(runtime error: [^:\n]*|AddressSanitizer: [\w-]+|LeakSanitizer|CHECK failed)",
                     stderr)
    where = re.search(r"(src/[\w/]+\.(?:cpp|h):\d+)", stderr) or re.search(r"#\d+ 0x[0-9a-f]+ in (\S+)", stderr)
    return f"{kind.group(1) if kind else 'report'} at {where.group(1) if where else '?'}"


def run_case(path, cwd, python, env, timeout):
    """Runs the call on `path` in `cwd`; returns (returncode, stdout, stderr, timed_out, seconds)."""
    started = time.monotonic()
    proc = subprocess.Popen([python, "-c", CALL, str(path)], cwd=cwd, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        timed_out = True
    return (proc.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"),
            timed_out, time.monotonic() - started)


# --- The run -----------------------------------------------------------------------------

class Fuzzer:
    def __init__(self, args):
        self.args = args
        self.out = Path(args.out).resolve()
        self.findings = self.out / "findings"
        self.findings.mkdir(parents=True, exist_ok=True)
        self.seed_paths = make_seeds(args.seeds)
        self.seeds = {p.name: p.read_bytes() for p in self.seed_paths}
        self.env = dict(os.environ)
        if args.module:
            self.env["PYTHONPATH"] = os.pathsep.join(
                [str(Path(args.module).resolve())] + [p for p in [self.env.get("PYTHONPATH")] if p])
        self.env.update(sanitizer_env(args.sanitize))
        self.lock = threading.Lock()
        self.counts = {k: 0 for k in ("ok", "crash", "hang", "sanitizer", "oracle")}
        self.outcomes = {"created": 0, "error": 0}
        self.signatures = {}
        self.peak = (0, None, None)  # the largest peak resident memory (KiB), its case and seed
        self.done = 0
        self.started = time.monotonic()

    def check_module(self):
        done = subprocess.run([self.args.python, "-c", "import corvane; print(corvane.__file__)"],
                              env=self.env, capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            sys.exit(f"cannot import corvane:\n{done.stderr}")
        where = done.stdout.strip()
        print(f"[fuzz] module: {where}", flush=True)
        if self.args.module and not Path(where).resolve().is_relative_to(Path(self.args.module).resolve()):
            sys.exit(f"[fuzz] expected the module from {self.args.module}, got {where}")

    def case(self, number, worker):
        rnd = random.Random(f"{self.args.seed}:{number}")
        seed_name = rnd.choice(sorted(self.seeds))
        data, steps = mutate(self.seeds[seed_name], rnd, self.seeds)
        base = self.out / f"worker-{worker}"
        cwd = base / "run"
        write_key(cwd)
        clean(cwd)
        suffix = Path(seed_name).suffix
        path = base / f"input{suffix}"
        path.write_bytes(data)
        rc, stdout, stderr, timed_out, seconds = run_case(path, cwd, self.args.python, self.env,
                                                          self.args.timeout)
        verdict, detail = judge(rc, stdout, stderr, timed_out, cwd)
        peak = re.search(r"PEAK_RSS_KB=(\d+)", stdout)
        with self.lock:
            if peak and int(peak.group(1)) > self.peak[0]:
                self.peak = (int(peak.group(1)), number, seed_name)
            self.done += 1
            self.counts[verdict] += 1
            if verdict == "ok":
                self.outcomes[detail] += 1
            else:
                self.signatures.setdefault(f"{verdict}: {detail}", []).append(number)
                digest = hashlib.sha1(data).hexdigest()[:10]
                kept = self.findings / f"{verdict}-{number:05d}-{digest}{suffix}"
                kept.write_bytes(data)
                kept.with_suffix(suffix + ".log").write_text(
                    f"case {number} (seed {self.args.seed}) from {seed_name}: {' '.join(steps)}\n"
                    f"verdict: {verdict}: {detail}\nexit status: {rc}, {seconds:.1f} s\n"
                    f"--- stdout\n{stdout[-20000:]}\n--- stderr\n{stderr[-20000:]}\n")
                print(f"[fuzz] case {number}: {verdict}: {detail} -> {kept}", flush=True)
            if self.done % self.args.progress == 0:
                self.progress()

    def progress(self):
        elapsed = time.monotonic() - self.started
        bad = {k: v for k, v in self.counts.items() if k != "ok"}
        print(f"[fuzz] {self.done}/{self.args.cases} cases, {self.done / elapsed:.2f}/s, "
              + ", ".join(f"{k} {v}" for k, v in bad.items()), flush=True)

    def run(self):
        self.check_module()
        first = self.args.first
        numbers = range(first, first + self.args.cases)
        with concurrent.futures.ThreadPoolExecutor(self.args.jobs) as pool:
            workers = {}
            futures = []
            for i, number in enumerate(numbers):
                workers[number] = i % self.args.jobs
            # One worker directory per thread: cases are handed out in turn.
            queues = [[n for n in numbers if workers[n] == w] for w in range(self.args.jobs)]

            def drain(w):
                for n in queues[w]:
                    self.case(n, w)

            futures = [pool.submit(drain, w) for w in range(self.args.jobs)]
            for f in futures:
                f.result()
        elapsed = time.monotonic() - self.started
        summary = {
            "cases": self.done, "seconds": round(elapsed, 1),
            "cases_per_second": round(self.done / elapsed, 3) if elapsed else None,
            "sanitize": self.args.sanitize, "seed": self.args.seed,
            **self.counts, "created": self.outcomes["created"], "stopped_with_error": self.outcomes["error"],
            "largest_peak_rss_mb": round(self.peak[0] / 1024, 1),
            "largest_peak_case": self.peak[1], "largest_peak_seed": self.peak[2],
            "findings": self.signatures,
        }
        (self.out / "summary.json").write_text(json.dumps(summary, indent=2) + "\n")
        print("[fuzz] summary: " + json.dumps(summary), flush=True)
        bad = sum(v for k, v in self.counts.items() if k != "ok")
        print(f"{self.counts['ok']} passed, {bad} failed", flush=True)
        return 1 if bad else 0


def replay(args):
    env = dict(os.environ)
    if args.module:
        env["PYTHONPATH"] = os.pathsep.join([str(Path(args.module).resolve())]
                                            + [p for p in [env.get("PYTHONPATH")] if p])
    env.update(sanitizer_env(args.sanitize))
    cwd = Path(args.out).resolve() / "replay"
    write_key(cwd)
    clean(cwd)
    rc, stdout, stderr, timed_out, seconds = run_case(Path(args.replay).resolve(), cwd, args.python,
                                                      env, args.timeout)
    verdict, detail = judge(rc, stdout, stderr, timed_out, cwd)
    print(stdout, end="")
    print(stderr, end="", file=sys.stderr)
    print(f"[fuzz] replay: {verdict}: {detail} (exit status {rc}, {seconds:.1f} s, in {cwd})")
    return 0 if verdict == "ok" else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", type=int, default=200)
    parser.add_argument("--first", type=int, default=0, help="number of the first case")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds per case")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--seeds", default=str(HERE.parent / "build" / "fuzz" / "seeds"))
    parser.add_argument("--out", default=str(HERE.parent / "build" / "fuzz" / "out"))
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--module", help="directory put first on PYTHONPATH")
    parser.add_argument("--sanitize", choices=["none", "asan"], default="none")
    parser.add_argument("--progress", type=int, default=25, help="print a line every N cases")
    parser.add_argument("--replay", help="run one input file and print what happened")
    args = parser.parse_args()
    if args.replay:
        return replay(args)
    return Fuzzer(args).run()


if __name__ == "__main__":
    sys.exit(main())
