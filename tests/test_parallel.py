"""The chunked job (corvane.parallel) against the single call: the same files,
lines, pictures, stamps and sound; joins that players cross without a
seam; worker processes and Dask workers lost mid-job."""

import array
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from ladder_helpers import (_beep_expression, beep_times, flash_times, make_interlaced_source,
                            make_rate_source, make_sync_source, run_ok, segment_files,
                            video_frames)
from media import decrypt, decrypt_rendition, ffmpeg, make_source, read_playlist, run_job, write_key_info

TICK = 1 / 30
PARALLEL = dict(module="corvane.parallel", chunk_seconds=6, workers=2)


# --- Sources --------------------------------------------------------------

def marks_source(path, seconds):
    """1080p30 black with a white flash and a beep at each join of 6 s chunks
    and between them, and a subtitle cue at each."""
    marks = [t for t in (3.0, 6.0, 9.5, 12.0, 15.0) if t < seconds - 1]
    flashes = "+".join(f"between(n\\,{round(t * 30)}\\,{round(t * 30) + 2})" for t in marks)
    cues = Path(path).with_suffix(".srt")
    cues.write_text("".join(f"{i + 1}\n00:00:{t:06.3f} --> 00:00:{t + 1:06.3f}\nmark {i}\n\n".replace(".", ",")
                            for i, t in enumerate(marks)))
    ffmpeg("-f", "lavfi", "-i", f"color=c=black:size=1920x1080:rate=30:duration={seconds},"
           f"drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='{flashes}'",
           "-f", "lavfi", "-i", f"aevalsrc='{_beep_expression(times=marks)}':sample_rate=48000:"
           f"duration={seconds}", "-i", cues, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-c:s", "mov_text", path)
    return Path(path)


def decrypted_subtitles(folder, key):
    """Every subtitle playlist's text and its segments' decrypted text."""
    found = []
    for playlist in sorted(Path(folder).glob("subtitles_*.m3u8")):
        _, _, segments, _ = read_playlist(playlist)
        texts = [decrypt(folder / uri, key, f"{i:032x}", folder / f"{uri}.plain").read_text()
                 for i, (_, uri) in enumerate(segments)]
        found.append((re.sub(r"IV=0x\w+", "", playlist.read_text()), texts))
    return found


def hdr_source(path, seconds):
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=640x360:rate=25:duration={seconds}",
           "-f", "lavfi", "-i", f"sine=sample_rate=48000:duration={seconds}",
           "-vf", "zscale=tin=bt709:pin=bt709:min=bt709:t=smpte2084:p=bt2020:m=bt2020nc:npl=203,"
           "format=yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast",
           "-x265-params", "log-level=error", "-color_trc", "smpte2084", "-color_primaries", "bt2020",
           "-colorspace", "bt2020nc", "-c:a", "aac", path)
    return Path(path)


def open_gop_source(path, seconds):
    """Open GOPs of 3.3 s: the key frames lie off the 2 s grid and before
    every chunk's lead-in, and B-pictures lean on the GOP before."""
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=640x360:rate=30:duration={seconds}",
           "-f", "lavfi", "-i", f"sine=sample_rate=48000:duration={seconds}", "-c:v", "libx264",
           "-preset", "veryfast", "-g", "100", "-x264opts", "open-gop=1:bframes=3", "-c:a", "aac", path)
    return Path(path)


SOURCES = {
    "marks-1080p30": lambda p: marks_source(p / "marks.mp4", 19),
    "1080i25": lambda p: make_interlaced_source(p / "interlaced.mp4", "tff", seconds=13,
                                                size="1920x1080"),
    "29.97": lambda p: make_rate_source(p / "ntsc.mp4", "30000/1001", seconds=13),
    "24": lambda p: make_rate_source(p / "film.mp4", 24, seconds=13),
    "phone-vfr": lambda p: make_rate_source(p / "vfr.mp4", "vfr", seconds=13),
    "late-sound": lambda p: make_sync_source(p / "late.mkv", "late-audio", seconds=13),
    "no-sound": lambda p: make_source(p / "silent.mp4", seconds=13, audio=None),
    "time-lapse-1fps": lambda p: make_rate_source(p / "lapse.mp4", 1, seconds=14),
    "hdr-pq": lambda p: hdr_source(p / "hdr.mkv", 13),
    "open-gop": lambda p: open_gop_source(p / "open.mp4", 19),
}


# --- Measurements -----------------------------------------------------------

def without_progress(run):
    return [line for line in run.lines() if not line[1].startswith("Progress:")]


def audio_md5(ts):
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", str(ts), "-map", "0:a", "-f", "md5", "-"],
                          capture_output=True, text=True, check=True)
    return done.stdout.strip()


def ssim(ts, source):
    """SSIM of a rendition against its source, both from their first picture."""
    done = subprocess.run(["ffmpeg", "-v", "info", "-nostdin", "-i", str(ts), "-i", str(source),
                           "-lavfi", "[0:v]setpts=PTS-STARTPTS[a];[1:v]setpts=PTS-STARTPTS,"
                           "scale=640:360,format=yuv420p[b];[a][b]ssim", "-f", "null", "-"],
                          capture_output=True, text=True)
    return float(re.search(r"All:([\d.]+)", done.stderr).group(1))


def encode_both(tmp_path, source, **kwargs):
    """The single call and the chunked job on `source`, each in a folder of
    its own; returns ((folder, key, run) of the single, of the chunked)."""
    done = []
    for name, extra in (("single", {}), ("chunked", PARALLEL)):
        folder = tmp_path / name
        folder.mkdir()
        key, _ = write_key_info(folder)
        run = run_ok(folder, source, resolution=["360p"], bitrate=[600000], **kwargs, **extra)
        done.append((folder, key, run))
    return done


# --- Against the single call ------------------------------------------------

@pytest.mark.parametrize("kind", list(SOURCES))
def test_chunked_job_makes_what_the_single_call_makes(tmp_path, kind):
    source = SOURCES[kind](tmp_path)
    (single, single_key, single_run), (chunked, chunked_key, chunked_run) = encode_both(tmp_path, source)
    assert without_progress(chunked_run) == without_progress(single_run)
    target, _, expected, _ = read_playlist(single / "360p.m3u8")
    got_target, _, got, _ = read_playlist(chunked / "360p.m3u8")
    assert got_target == target
    assert [uri for _, uri in got] == [uri for _, uri in expected]
    assert [d for d, _ in got] == pytest.approx([d for d, _ in expected], abs=TICK)
    for _, part in segment_files(chunked, "360p", chunked_key, tmp_path / "parts"):
        assert video_frames(part)[0][1] == 1, f"{part.name} does not start with a key frame"
    ts = decrypt_rendition(single, "360p", single_key, tmp_path / "single.ts")
    got_ts = decrypt_rendition(chunked, "360p", chunked_key, tmp_path / "chunked.ts")
    assert video_frames(got_ts) == video_frames(ts)
    assert audio_md5(got_ts) == audio_md5(ts)
    assert ssim(got_ts, source) == pytest.approx(ssim(ts, source), abs=0.002)
    if kind == "marks-1080p30":
        flashes, beeps = flash_times(got_ts), beep_times(got_ts)
        assert len(flashes) == len(beeps) == 5
        assert [b - f for f, b in zip(flashes, beeps)] == pytest.approx([0] * 5, abs=TICK)
        # The same subtitles, and an I-frame entry per key frame.
        assert decrypted_subtitles(chunked, chunked_key) == decrypted_subtitles(single, single_key)
        assert len(decrypted_subtitles(single, single_key)) == 1
        for folder in (single, chunked):
            text = (folder / "360p_iframes.m3u8").read_text()
            assert text.count("#EXTINF:2.000000,") >= 8, text


@pytest.mark.parametrize("coding", [
    ("-r", "30", "-g", "37"),
    ("-r", "30000/1001", "-g", "45", "-x264opts", "open-gop=1:bframes=3"),
], ids=["key-frames-off-the-grid", "29.97-open-gop"])
def test_chunks_decoded_from_the_middle_show_what_the_whole_source_shows(tmp_path, coding):
    from corvane import _engine
    source = tmp_path / "clip.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=20", "-c:v", "libx264",
           "-preset", "veryfast", *coding, source)
    plan = _engine._plan_chunks(str(source), str(tmp_path / "master.m3u8"), ["360p"], [400000], 6.0)
    bounds = [-(2**63)] + plan["starts"] + [2**63 - 1]
    assert len(bounds) == 4
    shown = {}
    for name, exact in (("fast", False), ("exact", True)):
        folder = tmp_path / name
        folder.mkdir()
        for k in (2, 0, 1):
            statuses, outcome, _ = _engine._encode_chunk(plan["input"], str(folder), plan["renditions"],
                                                         k, bounds[k], bounds[k + 1], plan["origin"],
                                                         k == 2 or exact, exact, k == 2)
            assert statuses == [(0, "", "")] and outcome[1] == (0, "", "")
        for k in (0, 1):
            assert _engine._chunks_join(str(folder), k, k + 1, bounds[k + 1]), (name, k)
        shown[name] = [shown_pictures(folder / f"chunk{k:04d}.shown", bounds[k], bounds[k + 1])
                       for k in range(3)]
    # Decoded from the middle, each chunk shows in its stretch what it shows
    # when its source stage runs over the whole source as the single call's.
    assert shown["fast"] == shown["exact"]


def shown_pictures(path, start, end):
    """The (stamp, key frame) pairs a chunk noted within [start, end)."""
    numbers = array.array("q")
    numbers.frombytes(path.read_bytes())
    return [(n >> 1, n & 1) for n in numbers if start <= n >> 1 < end]


def test_ffmpeg_plays_the_chunked_package_across_every_join(tmp_path):
    source = marks_source(tmp_path / "marks.mp4", 19)
    folder = tmp_path / "out"
    folder.mkdir()
    write_key_info(folder)
    run_ok(folder, source, resolution=["480p", "360p"], bitrate=[900000, 600000], **PARALLEL)
    done = subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-allowed_extensions", "ALL",
                           "-i", "master.m3u8", "-map", "0:v:0", "-map", "0:a:0", "-f", "null", "-"],
                          cwd=folder, capture_output=True, text=True)
    assert done.returncode == 0 and done.stderr == "", done.stderr


@pytest.mark.parametrize("input_name, arguments", [
    ("clip.mp4", dict(resolution=["480p", "360p"], bitrate=[500, 600000])),
    ("clip.mp4", dict(resolution=["360p"], key="missing.keyinfo")),
    ("clip.mp4", dict(resolution=["4K", "360p", "360p"])),
    ("missing.mp4", dict()),
], ids=["rate-too-low", "no-key-info", "unknown-and-twice", "no-input"])
def test_failures_are_reported_as_the_single_call_reports_them(tmp_path, input_name, arguments):
    make_source(tmp_path / "clip.mp4", seconds=13)
    runs = []
    for name, extra in (("single", {}), ("chunked", PARALLEL)):
        folder = tmp_path / name
        folder.mkdir()
        write_key_info(folder)
        runs.append(run_job(folder, str(tmp_path / input_name), "master.m3u8", **arguments, **extra))
    single, chunked = runs
    assert chunked.returncode == 0 and chunked.result == "None", chunked.stderr
    assert without_progress(chunked) == without_progress(single)
    assert not list((tmp_path / "chunked").glob(".corvane-chunks-*"))


def test_an_executor_that_takes_no_tasks_fails_the_renditions(tmp_path):
    source = make_source(tmp_path / "clip.mp4", seconds=13)
    write_key_info(tmp_path)
    code = ("import sys, concurrent.futures as cf\n"
            "from corvane import parallel\n"
            "pool = cf.ThreadPoolExecutor(1)\n"
            "pool.shutdown()\n"
            "print('RESULT=' + repr(parallel.hls_encoder(sys.argv[1], 'master.m3u8', ['360p'], [600000], "
            "chunk_seconds=6, executor=pool)))\n")
    done = subprocess.run([sys.executable, "-c", code, str(source)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0 and "RESULT=None" in done.stdout, done.stderr
    errors = [line.split("] ", 2)[2] for line in done.stderr.splitlines() if "[ERROR]" in line]
    assert errors[0].startswith("Rendition 360p.m3u8 failed: chunk 1 could not be encoded: RuntimeError("), errors
    assert errors[1:] == ["No rendition was created; the master playlist master.m3u8 was not written."]
    assert not list(tmp_path.glob(".corvane-chunks-*"))


@pytest.mark.parametrize("arguments, error", [
    (dict(chunk_seconds=0), ValueError),
    (dict(chunk_seconds="6"), TypeError),
    (dict(workers=0), ValueError),
    (dict(workers=1.5), TypeError),
    (dict(executor="local"), TypeError),
])
def test_bad_driver_arguments_are_refused(tmp_path, arguments, error):
    from corvane import parallel
    with pytest.raises(error):
        parallel.hls_encoder(str(tmp_path / "missing.mp4"), "master.m3u8", **arguments)


# --- Workers lost, and Ctrl-C -------------------------------------------------

KILL_LOCAL_WORKER = """
import multiprocessing, os, signal, sys, threading, time
from corvane import parallel

def kill_one():
    while not multiprocessing.active_children():
        time.sleep(0.05)
    time.sleep(1.0)
    os.kill(multiprocessing.active_children()[0].pid, signal.SIGKILL)

threading.Thread(target=kill_one, daemon=True).start()
parallel.hls_encoder(sys.argv[1], "master.m3u8", ["360p"], [600000], chunk_seconds=6, workers=2)
"""

KILL_DASK_WORKER = """
import os, signal, sys, threading, time
from distributed import Client, LocalCluster
from corvane import parallel

if __name__ == "__main__":
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        def kill_one():
            while not any(client.processing().values()):
                time.sleep(0.05)
            time.sleep(1.0)
            busy = [w for w, tasks in client.processing().items() if tasks]
            pid = client.run(os.getpid, workers=busy[:1])[busy[0]]
            os.kill(pid, signal.SIGKILL)

        threading.Thread(target=kill_one, daemon=True).start()
        parallel.hls_encoder(sys.argv[1], "master.m3u8", ["360p"], [600000], chunk_seconds=6,
                             executor=client.get_executor())
"""


@pytest.mark.parametrize("script", [KILL_LOCAL_WORKER, KILL_DASK_WORKER], ids=["local", "dask"])
def test_a_lost_worker_costs_only_its_chunk(tmp_path, script):
    pytest.importorskip("distributed")
    source = make_rate_source(tmp_path / "clip.mp4", 30, seconds=19, size="640x360")
    single, single_key, _ = encode_both_single(tmp_path, source)
    folder = tmp_path / "killed"
    folder.mkdir()
    key, _ = write_key_info(folder)
    (folder / "job.py").write_text(script)
    done = subprocess.run([sys.executable, "job.py", str(source)], cwd=folder, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "All secure transcoding finished flawlessly." in done.stdout, done.stdout + done.stderr
    assert not list(folder.glob(".corvane-chunks-*"))
    ts = decrypt_rendition(single, "360p", single_key, tmp_path / "single.ts")
    got_ts = decrypt_rendition(folder, "360p", key, tmp_path / "killed.ts")
    assert video_frames(got_ts) == video_frames(ts)
    assert audio_md5(got_ts) == audio_md5(ts)


def encode_both_single(tmp_path, source):
    folder = tmp_path / "single"
    folder.mkdir()
    key, _ = write_key_info(folder)
    return folder, key, run_ok(folder, source, resolution=["360p"], bitrate=[600000])


def test_ctrl_c_stops_every_worker_and_leaves_no_chunks(tmp_path):
    source = make_rate_source(tmp_path / "clip.mp4", 30, seconds=30, size="640x360")
    write_key_info(tmp_path)
    token = f"corvane-ctrl-c-{os.getpid()}-{time.monotonic_ns()}"
    code = ("import sys, signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "from corvane import parallel\n"
            f"# {token}\n"
            "parallel.hls_encoder(sys.argv[1], 'master.m3u8', ['360p'], [600000], chunk_seconds=6, "
            "workers=2)\n")
    job = subprocess.Popen([sys.executable, "-c", code, str(source)], cwd=tmp_path,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not list(tmp_path.glob(".corvane-chunks-*/chunk*")) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    job.send_signal(signal.SIGINT)
    out, err = job.communicate(timeout=60)
    assert job.returncode != 0
    assert "KeyboardInterrupt" in err
    assert "[ERROR] The job was interrupted" in err
    assert not list(tmp_path.glob(".corvane-chunks-*"))
    assert not (tmp_path / "master.m3u8").exists()
    time.sleep(0.5)
    assert processes_with(token) == [], "worker processes left"


def processes_with(text):
    """The processes whose command line holds `text`."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and text.encode() in (entry / "cmdline").read_bytes():
                found.append(int(entry.name))
        except OSError:
            pass
    return found
