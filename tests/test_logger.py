"""The console logger: line format, labels and streams, time stamps, and whole
lines from many threads at once.

The logger is not visible from Python, so tests/cpp/log_probe.cpp links
src/log/log.cpp and drives it from its command line."""

import calendar
import os
import re
import shutil
import subprocess
import time
from collections import defaultdict
from pathlib import Path

import pytest

from media import LINE, run_job

ROOT = Path(__file__).resolve().parent.parent
STAMP = r"\d{4}-(?:0[1-9]|1[0-2])-(?:0[1-9]|[12]\d|3[01]) (?:[01]\d|2[0-3]):[0-5]\d:[0-5]\d"
PREFIX = re.compile(rb"\[(" + STAMP.encode() + rb")\] \[([A-Z]+)\] ")


@pytest.fixture(scope="session")
def log_probe(tmp_path_factory):
    """Compiles tests/cpp/log_probe.cpp with the logger into a program; returns
    a function that runs it with the given arguments (bytes out and err)."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("the logger tests need g++ to build their probe program")
    program = tmp_path_factory.mktemp("log_probe") / "log_probe"
    build = subprocess.run(
        [compiler, "-std=c++17", "-pthread", "-Wall", "-Wextra", f"-I{ROOT / 'src'}",
         str(ROOT / "tests/cpp/log_probe.cpp"), str(ROOT / "src/log/log.cpp"), "-o", str(program)],
        capture_output=True, text=True)
    if build.returncode != 0:
        pytest.fail(f"log_probe does not build:\n{build.stderr}")

    def run(*args, env=None):
        done = subprocess.run([str(program), *args], capture_output=True, env=env, timeout=120)
        assert done.returncode == 0, done.stderr
        return done

    return run


def split_line(raw):
    """(timestamp, label, message) of one whole written line (bytes, with its LF)."""
    assert raw.endswith(b"\n"), raw
    m = PREFIX.match(raw)
    assert m, raw
    return m.group(1).decode(), m.group(2).decode(), raw[m.end():-1]


@pytest.mark.parametrize(
    "level, stream, label",
    [
        ("0", "stdout", "INFO"),
        ("1", "stdout", "WARN"),
        ("2", "stderr", "ERROR"),
        ("3", "stdout", "SUCCESS"),
        ("7", "stdout", "INFO"),
        ("-1", "stdout", "INFO"),
    ],
)
def test_level_picks_label_and_stream(log_probe, level, stream, label):
    done = log_probe("lines", level, "Detected video size: 640x360")
    written, other = (done.stdout, done.stderr) if stream == "stdout" else (done.stderr, done.stdout)
    assert other == b""
    _, got_label, message = split_line(written)
    assert (got_label, message) == (label, b"Detected video size: 640x360")
    # Exactly one line, nothing around it.
    assert written.count(b"\n") == 1


@pytest.mark.parametrize(
    "message",
    [
        pytest.param(b"", id="empty"),
        pytest.param(b"first\nsecond", id="embedded-newline"),
        pytest.param(b"  padded  ", id="blanks-kept"),
        pytest.param(b"[brackets] 100% %s %n {}", id="format-characters"),
        pytest.param("caf\u00e9 \u65e5\u672c".encode(), id="utf-8"),
        pytest.param(b"raw \xe9\xff bytes", id="not-utf-8"),
    ],
)
def test_message_is_written_unchanged(log_probe, message):
    done = log_probe(b"lines", b"0", message)
    m = PREFIX.match(done.stdout)
    assert m and m.group(2) == b"INFO", done.stdout
    # "[" stamp "] [INFO] " then exactly the message bytes and one LF.
    assert done.stdout == b"[" + m.group(1) + b"] [INFO] " + message + b"\n"


def test_lines_of_one_thread_keep_their_order(log_probe):
    args = []
    for i in range(12):
        args += [str(i % 4), f"step {i}"]
    done = log_probe("lines", *args)
    out = [split_line(l + b"\n") for l in done.stdout.splitlines()]
    err = [split_line(l + b"\n") for l in done.stderr.splitlines()]
    assert [(lab, msg) for _, lab, msg in out] == [
        (("INFO", "WARN", "ERROR", "SUCCESS")[i % 4], f"step {i}".encode())
        for i in range(12) if i % 4 != 2]
    assert [(lab, msg) for _, lab, msg in err] == [
        ("ERROR", f"step {i}".encode()) for i in range(12) if i % 4 == 2]


@pytest.mark.parametrize(
    "tz, offset_hours",
    [("UTC", 0), ("XYZ-5", 5), ("ABC+3", -3)],
    ids=["utc", "utc-plus-5", "utc-minus-3"],
)
def test_timestamp_is_local_time_of_the_call(log_probe, tz, offset_hours):
    env = {**os.environ, "TZ": tz}
    before = time.time()
    done = log_probe("lines", "0", "tick", "2", "tock", env=env)
    after = time.time()
    for raw in (done.stdout, done.stderr):
        stamp, _, _ = split_line(raw)
        # Read the stamp as UTC wall time, then undo the zone's offset.
        seconds = calendar.timegm(time.strptime(stamp, "%Y-%m-%d %H:%M:%S")) - offset_hours * 3600
        # Whole seconds, truncated: never later than the call, at most a
        # second or two earlier than its start.
        assert int(before) - 1 <= seconds <= after + 1, (stamp, before, after)


def test_threads_write_whole_unmixed_lines(log_probe):
    threads, lines = 8, 2000
    done = log_probe("threads", str(threads), str(lines))
    body = re.compile(rb"thread (\d+) line (\d+) ([a-z]+)")
    labels = ("INFO", "WARN", "ERROR", "SUCCESS")
    for stream_name, data in (("stdout", done.stdout), ("stderr", done.stderr)):
        assert data.endswith(b"\n")
        seen = defaultdict(list)
        last_stamp = ""
        for raw in data.split(b"\n")[:-1]:
            stamp, label, message = split_line(raw + b"\n")
            m = body.fullmatch(message)
            assert m, (stream_name, raw)
            t, j = int(m.group(1)), int(m.group(2))
            # The filler tells which thread wrote the rest of the line.
            assert m.group(3) == bytes([ord("a") + t]) * (40 + 7 * t), (stream_name, raw)
            assert label == labels[j % 4], (stream_name, raw)
            assert (label == "ERROR") == (stream_name == "stderr"), (stream_name, raw)
            # The clock is read under the lock: stamps never go back on a stream.
            assert stamp >= last_stamp, (stream_name, raw)
            last_stamp = stamp
            seen[t].append(j)
        wanted = [j for j in range(lines) if (j % 4 == 2) == (stream_name == "stderr")]
        assert sorted(seen) == list(range(threads)), stream_name
        for t in range(threads):
            assert seen[t] == wanted, (stream_name, t)


# A real job: every line it writes has the format, ERROR lines on standard
# error and the others on standard output.

def _tiny_source(sources):
    return sources("tiny-160x90.mp4", seconds=0.4, size="160x90")


@pytest.mark.parametrize(
    "case, wanted_out, wanted_err",
    [
        ("missing-input", ["INFO"], ["ERROR"]),
        ("planned-and-unknown", ["INFO", "INFO", "WARN", "SUCCESS", "SUCCESS", "SUCCESS"], []),
    ],
)
def test_job_lines_have_the_format(workdir, sources, case, wanted_out, wanted_err):
    if case == "missing-input":
        run = run_job(workdir.path, "missing.mp4", "master.m3u8")
    else:
        run = run_job(workdir.path, str(_tiny_source(sources)), "master.m3u8",
                      resolution=["foo", "360p"])
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    out = [l for l in run.stdout.splitlines() if not l.startswith("RESULT=")]
    err = run.stderr.splitlines()
    for line in out + err:
        assert LINE.match(line), line
        assert re.match(r"^\[" + STAMP + r"\] ", line), line
    assert sorted(LINE.match(l).group(2) for l in out) == sorted(wanted_out)
    assert [LINE.match(l).group(2) for l in err] == wanted_err
