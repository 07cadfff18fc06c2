"""A long job inside a Python program: Ctrl-C and a service's SIGTERM stop it
at once, it reports its progress, and every line it prints, FFmpeg's own
messages included, is in the module's format. Each case runs in a child
process."""

import random
import re
import subprocess
import sys
import textwrap
from datetime import datetime

import pytest

from media import LINE, ffmpeg, make_source, run_job

TIMEOUT = 300

INTERRUPT = textwrap.dedent("""\
    import ctypes, os, signal, sys, threading, time, corvane
    kind = sys.argv[3]
    # Python raises KeyboardInterrupt only where SIGINT was not ignored when
    # it started (a background job of a shell ignores it): the test asks
    # for it whatever its caller left.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if kind == 'sigterm':
        def stop(*_):
            raise SystemExit(3)
        signal.signal(signal.SIGTERM, stop)
    sent = []
    def later():
        time.sleep(1.5)
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT if kind == 'sigint' else signal.SIGTERM)
    signaller = threading.Thread(target=later)
    signaller.start()
    def call(output, names, outcomes):
        try:
            corvane.hls_encoder(sys.argv[1], output, names, [400000] * len(names))
            outcomes.append('returned')
        except BaseException as e:
            outcomes.append(type(e).__name__)
    # Another call on another thread, which Python's signal handlers never
    # run on, stops with the main thread's.
    others = []
    other = threading.Thread(target=call, args=('other.m3u8', ['720p'], others))
    if sys.argv[4] == 'two-calls':
        other.start()
    outcomes = []
    call('master.m3u8', ['360p', '480p'], outcomes)
    late = time.monotonic() - sent[0]
    if sys.argv[4] == 'two-calls':
        other.join()
    # The test's own signalling thread is not the job's: it is let end first.
    signaller.join()
    # A joined thread may still be leaving the kernel for a moment; a thread
    # the job left behind stays.
    deadline = time.monotonic() + 1
    while len(os.listdir('/proc/self/task')) > 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    tasks = len(os.listdir('/proc/self/task'))
    ctypes.CDLL(None).fflush(None)
    print('OUTCOME=%s LATE=%.3f TASKS=%d' % ('+'.join(outcomes + others), late, tasks), flush=True)
    corvane.hls_encoder(sys.argv[2], 'second.m3u8', ['360p'], [400000])
    ctypes.CDLL(None).fflush(None)
""")


@pytest.fixture(scope="module")
def long_source(tmp_path_factory):
    return make_source(tmp_path_factory.mktemp("host") / "long.mp4", seconds=30, size="640x360")


@pytest.mark.parametrize("kind, calls, outcome", [("sigint", "one-call", "KeyboardInterrupt"),
                                                  ("sigterm", "one-call", "SystemExit"),
                                                  ("sigint", "two-calls", "KeyboardInterrupt+KeyboardInterrupt")])
def test_a_signal_stops_the_job_at_once(workdir, long_source, tmp_path, kind, calls, outcome):
    short = make_source(tmp_path / "short.mp4", seconds=1, size="160x90")
    done = subprocess.run([sys.executable, "-c", INTERRUPT, str(long_source), str(short), kind, calls],
                          cwd=workdir.path, capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr[-4000:]
    found = re.search(r"OUTCOME=(\S+) LATE=(\S+) TASKS=(\d+)", done.stdout)
    outcomes, late, tasks = found.group(1), float(found.group(2)), int(found.group(3))
    # The exception comes within a second, after every thread of the job has ended.
    assert outcomes == outcome and late < 1.0 and tasks == 1, found.group(0)
    errors = [m.group(3) for m in map(LINE.match, done.stderr.splitlines()) if m]
    masters = ["master.m3u8"] + (["other.m3u8"] if calls == "two-calls" else [])
    assert sorted(errors) == [f"The job was interrupted: the renditions were stopped unfinished (their "
                              f"playlists have no end) and the master playlist {m} was not written."
                              for m in masters]
    assert not (workdir.path / "master.m3u8").exists() and not (workdir.path / "other.m3u8").exists()
    # The next call in the same process works as usual.
    assert "360p.m3u8" in (workdir.path / "second.m3u8").read_text().splitlines()
    assert "#EXT-X-ENDLIST" in (workdir.path / "360p.m3u8").read_text()


def test_progress_is_reported_while_the_job_runs(workdir, tmp_path):
    # Two minutes of a small picture: one small rendition takes about 15 s.
    source = tmp_path / "two-minutes.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30:duration=120", "-f", "lavfi",
           "-i", "sine=duration=120", "-c:v", "libx264", "-preset", "ultrafast", "-g", 300,
           "-c:a", "aac", "-b:a", "32k", source)
    run = run_job(workdir.path, str(source), "master.m3u8", resolution=["360p"], bitrate=[400000],
                  timeout=TIMEOUT)
    assert run.returncode == 0 and not run.messages("ERROR"), run.stderr[-4000:]
    when = [(datetime.fromisoformat(m.group(1)), m.group(3))
            for m in map(LINE.match, run.out_lines) if m]
    started = when[0][0]
    progress = [(t, re.fullmatch(r"Progress: (\d+)% \((\d+):(\d\d) of 2:00\), (\d+\.\d)x real time", m))
                for t, m in when if m.startswith("Progress:")]
    assert progress and all(found for _, found in progress), when
    percents = [int(found.group(1)) for _, found in progress]
    # The source may be read to its end seconds before the renditions finish.
    assert percents == sorted(percents) and percents[-1] <= 100, percents
    # Nothing in the first 10 s, then at most one line per 5 s (log stamps are
    # whole seconds).
    assert (progress[0][0] - started).total_seconds() >= 9, when
    assert all((b - a).total_seconds() >= 4 for (a, _), (b, _) in zip(progress, progress[1:])), when


def damaged(path, directory):
    """An MPEG-TS copy of `path` with a few hundred bytes overwritten at random
    in its middle."""
    ts = directory / "damaged.ts"
    ffmpeg("-i", path, "-c", "copy", ts)
    data = bytearray(ts.read_bytes())
    rnd = random.Random(7)
    for _ in range(300):
        data[rnd.randrange(len(data) // 4, len(data))] = rnd.randrange(256)
    ts.write_bytes(data)
    return ts


def cut(path, directory):
    """The first 40 % of a Matroska copy of `path`."""
    mkv = directory / "cut.mkv"
    ffmpeg("-i", path, "-c", "copy", mkv)
    mkv.write_bytes(mkv.read_bytes()[: mkv.stat().st_size * 4 // 10])
    return mkv


@pytest.mark.parametrize("make", [damaged, cut, None], ids=["damaged", "cut", "healthy"])
def test_every_line_is_in_the_module_format(workdir, long_source, tmp_path, make):
    source = make(long_source, tmp_path) if make else long_source
    run = run_job(workdir.path, str(source), "master.m3u8", resolution=["360p"], bitrate=[400000],
                  timeout=TIMEOUT)
    assert run.returncode == 0
    printed = run.out_lines + run.stderr.splitlines()
    assert all(LINE.match(line) for line in printed), [l for l in printed if not LINE.match(l)][:5]
    assert len([m for m in run.messages("WARN") if m.startswith("FFmpeg")]) <= 50
