"""A short run of the fuzzer (fuzz/fuzz_job.py) with the installed module, and
checks that the fuzzer tells each kind of fault apart, with a stand-in module
that misbehaves on purpose."""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FUZZER = ROOT / "fuzz" / "fuzz_job.py"


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    directory = tmp_path_factory.mktemp("fuzz-seeds")
    sys.path.insert(0, str(ROOT / "fuzz"))
    try:
        from make_seeds import make_seeds
    finally:
        sys.path.pop(0)
    made = make_seeds(directory)
    assert {p.suffix for p in made} >= {".mp4", ".ts", ".mkv"}
    return directory


def fuzz(out, seeds, *args, timeout=900):
    done = subprocess.run([sys.executable, str(FUZZER), "--seeds", str(seeds), "--out", str(out),
                           "--progress", "1000", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)
    summary_file = out / "summary.json"
    summary = json.loads(summary_file.read_text()) if summary_file.exists() else None
    return done, summary


def test_a_few_mutated_sources_through_the_whole_job(tmp_path, seeds):
    done, summary = fuzz(tmp_path / "out", seeds, "--cases", 6, "--seed", 4, "--timeout", 120)
    assert summary, done.stdout + done.stderr
    assert summary["cases"] == 6
    assert {k: summary[k] for k in ("crash", "hang", "sanitizer", "oracle")} == \
        {"crash": 0, "hang": 0, "sanitizer": 0, "oracle": 0}, summary["findings"]
    assert summary["created"] + summary["stopped_with_error"] == 6
    assert done.returncode == 0, done.stdout[-3000:]
    assert not list((tmp_path / "out" / "findings").iterdir())


# A stand-in for the module: each mode misbehaves the way a real fault would.
STAND_IN = textwrap.dedent("""\
    import os, sys, time
    MODE = os.environ["STAND_IN_MODE"]

    def line(level, text):
        stream = sys.stderr if level == "ERROR" else sys.stdout
        print(f"[2026-01-01 00:00:00] [{level}] {text}", file=stream, flush=True)

    def hls_encoder(input, output, resolution, bitrate, key):
        line("INFO", f"Analyzing video file: {input}...")
        if MODE == "abort":
            os.abort()
        elif MODE == "hang":
            time.sleep(3600)
        elif MODE == "ubsan":
            print("src/rendition/audio.cpp:1:2: runtime error: signed integer overflow",
                  file=sys.stderr, flush=True)
        elif MODE == "false-success":
            line("SUCCESS", "Encrypted variant created: 360p.m3u8")
            with open(output, "w") as master:
                master.write("#EXTM3U\\n360p.m3u8\\n")
            line("SUCCESS", "Encrypted Master playlist generated: " + output)
            line("SUCCESS", "All secure transcoding finished flawlessly.")
        elif MODE == "clean-error":
            line("ERROR", "No video stream found in the file.")
""")


@pytest.mark.parametrize("mode, verdict", [
    ("abort", "crash"),
    ("hang", "hang"),
    ("ubsan", "sanitizer"),
    ("false-success", "oracle"),
    ("clean-error", "ok"),
])
def test_the_fuzzer_tells_faults_apart(tmp_path, seeds, monkeypatch, mode, verdict):
    module = tmp_path / "stand-in"
    module.mkdir()
    (module / "corvane.py").write_text(STAND_IN)
    monkeypatch.setenv("STAND_IN_MODE", mode)
    out = tmp_path / "out"
    done, summary = fuzz(out, seeds, "--cases", 2, "--timeout", 3, "--module", module)
    assert summary, done.stdout + done.stderr
    assert summary[verdict] == 2, summary
    kept = sorted(p.name for p in (out / "findings").iterdir())
    if verdict == "ok":
        assert done.returncode == 0 and kept == []
    else:
        assert done.returncode == 1
        # Each case keeps its input and its log, named after the verdict.
        assert len(kept) == 4 and all(name.startswith(verdict + "-") for name in kept), kept
        log = next(p for p in (out / "findings").iterdir() if p.name.endswith(".log"))
        replay = subprocess.run([sys.executable, str(FUZZER), "--out", str(out), "--timeout", "3",
                                 "--module", str(module), "--replay",
                                 str(log.with_suffix(""))],
                                capture_output=True, text=True, timeout=120)
        assert f"replay: {verdict}:" in replay.stdout, replay.stdout + replay.stderr
