"""Robustness of hls_encoder against what users really feed it: broken and odd
sources, bad key-info files, outputs that cannot be written, and load.

Whatever the input, every call must return None without crashing or hanging,
name each failure in one ERROR line, log no SUCCESS line for what failed and
never list in the master playlist a rendition that was not completed. The
outputs that were created are checked independently: openssl decrypts the
segments, ffprobe and ffmpeg read them back.
"""

import json
import os
import random
import re
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from ladder_helpers import check_master
from media import decrypt_rendition, ffmpeg, ffprobe, read_playlist, run_job, streams, write_key_info

# Generous: a call that has not returned by then is hung.
TIMEOUT = 300

ALL_DONE = "All secure transcoding finished flawlessly."
MASTER_DONE = "Encrypted Master playlist generated: "
VARIANT_DONE = "Encrypted variant created: "
SANITIZER_MARKS = ("runtime error:", "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer")


# --- Running a call and the rules every call must keep ---------------------------

def job(cwd, source, output="master.m3u8", resolution=("360p",), bitrate=(400000,),
        timeout=TIMEOUT, **kwargs):
    return run_job(cwd, str(source), str(output), resolution=list(resolution),
                   bitrate=list(bitrate), timeout=timeout, **kwargs)


def master_entries(path):
    """The media playlists a master playlist names."""
    return [line for line in Path(path).read_text().splitlines()
            if line and not line.startswith("#")]


def check_rendition_files(directory, playlist):
    """A completed rendition: an ended playlist whose segments are all there,
    each a whole number of AES blocks."""
    _, key, segments, ended = read_playlist(Path(directory) / playlist)
    assert ended, f"{playlist} has no #EXT-X-ENDLIST"
    assert segments, f"{playlist} lists no segment"
    assert key.get("METHOD") == "AES-128", key
    for _, uri in segments:
        segment = Path(directory) / uri
        assert segment.is_file(), f"{playlist} lists {uri}, which was not written"
        size = segment.stat().st_size
        assert size > 0 and size % 16 == 0, f"{uri} is {size} bytes"


def check_sound(run, cwd, output="master.m3u8"):
    """The rules for every call. Returns the created and the failed renditions
    (playlist names)."""
    assert run.returncode == 0 and run.result == "None", (
        f"the call did not return normally (exit {run.returncode})\n{run.stderr[-4000:]}")
    for mark in SANITIZER_MARKS:
        assert mark not in run.stderr, run.stderr[-4000:]
    successes, errors = run.messages("SUCCESS"), run.messages("ERROR")
    created = {m[len(VARIANT_DONE):] for m in successes if m.startswith(VARIANT_DONE)}
    failed = set()
    for message in errors:
        m = re.match(r"Rendition (\S+) failed", message)
        if m:
            assert m.group(1) not in failed, f"two errors for {m.group(1)}: {errors}"
            failed.add(m.group(1))
    assert not created & failed, (created, failed)
    if ALL_DONE in successes:
        assert not errors, errors
        assert any(m.startswith(MASTER_DONE) for m in successes)
    master = Path(cwd) / output
    if any(m.startswith(MASTER_DONE) for m in successes):
        listed = master_entries(master)
        assert set(listed) <= created, f"the master lists {listed}, created: {created}"
        for playlist in listed:
            check_rendition_files(cwd, playlist)
    return created, failed


def check_failed_early(run, cwd, error, output="master.m3u8"):
    """A call that could not start: `error` (a string, or a pattern) is the one
    ERROR line, nothing succeeded and nothing was written."""
    check_sound(run, cwd, output)
    errors = run.messages("ERROR")
    assert len(errors) == 1, errors
    if isinstance(error, re.Pattern):
        assert error.fullmatch(errors[0]), errors
    else:
        assert errors[0] == error
    assert run.messages("SUCCESS") == []
    assert not (Path(cwd) / output).exists()
    assert not list(Path(cwd).glob("*.m3u8")) and not list(Path(cwd).glob("*_[0-9][0-9][0-9].ts"))


def check_no_rendition(run, cwd, names=("360p",), action=None, output="master.m3u8"):
    """Every planned rendition failed, each with one ERROR line, and the master
    playlist was not written."""
    check_sound(run, cwd, output)
    errors = run.messages("ERROR")
    prefixes = [f"Rendition {name}.m3u8 failed while " for name in names]
    for prefix in prefixes:
        found = [e for e in errors if e.startswith(prefix)]
        assert len(found) == 1, errors
        if action:
            assert found[0].startswith(prefix + action), found[0]
    assert errors[-1] == (f"No rendition was created; the master playlist {output} "
                          "was not written."), errors
    assert len(errors) == len(names) + 1, errors
    assert run.messages("SUCCESS") == []
    assert not (Path(cwd) / output).exists()


def check_all_done(run, cwd, names=("360p",), output="master.m3u8"):
    created, _ = check_sound(run, cwd, output)
    assert run.messages("ERROR") == []
    assert created == {f"{n}.m3u8" for n in names}
    assert run.messages("SUCCESS")[-1] == ALL_DONE
    check_master(Path(cwd) / output, names)


# --- Reading the outputs back -----------------------------------------------------

def decrypted(workdir, name="360p"):
    """The rendition's segments, decrypted with openssl and joined."""
    return decrypt_rendition(workdir.path, name, workdir.key, workdir.path / f"{name}.dec.ts")


def stream_durations(path):
    """How long each stream lasts. The audio's span is that of its decoded
    frames: the MPEG-TS muxer gathers several AAC frames into one packet, and
    the estimate by packets leaves the last packet's frames out."""
    spans = {s["codec_type"]: float(s.get("duration", 0)) for s in streams(path)}
    frames = ffprobe(path, "-select_streams", "a:0", "-show_entries",
                     "frame=pts_time,nb_samples:stream=sample_rate")
    if frames["frames"]:
        first, last = frames["frames"][0], frames["frames"][-1]
        rate = int(frames["streams"][0]["sample_rate"])
        spans["audio"] = (float(last["pts_time"]) + int(last["nb_samples"]) / rate
                          - float(first["pts_time"]))
    return spans


def decodes_cleanly(path):
    done = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-f", "null", "-"],
                          capture_output=True, text=True, timeout=TIMEOUT)
    return done.returncode == 0 and not done.stderr.strip(), done.stderr


def check_output_plays(workdir, name="360p", at_least=0.0, at_most=None):
    """Both streams decode without an error and span the expected time."""
    ts = decrypted(workdir, name)
    ok, errors = decodes_cleanly(ts)
    assert ok, errors
    spans = stream_durations(ts)
    assert set(spans) == {"video", "audio"}, spans
    for kind, span in spans.items():
        assert span >= at_least, spans
        if at_most is not None:
            assert span <= at_most, spans
    return ts


def picture_colours(path, at):
    """The colours at the left and the right edge of the picture shown `at`
    seconds after the start of `path`, as two (r, g, b)."""
    done = subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-vf",
         f"setpts=PTS-STARTPTS,select='gte(t,{at})',scale=8:1", "-frames:v", "1",
         "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        capture_output=True, check=True, timeout=TIMEOUT)
    data = done.stdout
    assert len(data) == 24, data
    return tuple(data[:3]), tuple(data[-3:])


def mean_volume(path, start, end):
    done = subprocess.run(
        ["ffmpeg", "-nostdin", "-i", str(path), "-vn", "-af",
         f"asetpts=PTS-STARTPTS,atrim=start={start}:end={end},volumedetect", "-f", "null", "-"],
        capture_output=True, text=True, timeout=TIMEOUT)
    m = re.search(r"mean_volume: (-?[\d.]+|-inf) dB", done.stderr)
    assert m, done.stderr[-2000:]
    return float(m.group(1))


# --- Making odd sources -----------------------------------------------------------

def av_clip(path, seconds=2.0, size="160x90", video=None, pix_fmt="yuv420p", sample_rate=48000,
            layout="stereo", audio=True, extra=()):
    """A short H.264 + AAC clip; `video` replaces the testsrc2 picture."""
    video = video or f"testsrc2=size={size}:rate=30"
    args = ["-f", "lavfi", "-t", seconds, "-i", video]
    if audio:
        args += ["-f", "lavfi", "-t", seconds, "-i",
                 f"sine=frequency=440:sample_rate={sample_rate},aformat=channel_layouts={layout}"]
    args += ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", pix_fmt, "-g", "30"]
    if audio:
        args += ["-c:a", "aac"]
    ffmpeg(*args, *extra, path)
    return Path(path)


def red_blue(size):
    """A picture whose left half is red and whose right half is blue."""
    w, h = (int(v) for v in size.split("x"))
    return f"color=c=red:size={size}:rate=30,drawbox=x={w // 2}:y=0:w={w - w // 2}:h={h}:color=blue:t=fill"


def top_level_boxes(data, start=0, end=None):
    """(type, offset, size) of the top-level boxes of an MP4 file, or of the
    boxes in data[start:end]."""
    boxes, at, end = [], start, len(data) if end is None else end
    while at + 8 <= end:
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        if size == 1:
            size = struct.unpack(">Q", data[at + 8:at + 16])[0]
        if size < 8:
            break
        boxes.append((kind.decode("latin-1"), at, size))
        at += size
    return boxes


def packet_spans(path, kind):
    """(pos, size) of every packet of the first stream of `kind` ('v' or 'a')."""
    data = ffprobe(path, "-select_streams", f"{kind}:0", "-show_entries", "packet=pos,size")
    return [(int(p["pos"]), int(p["size"])) for p in data["packets"] if p.get("pos", "N/A") != "N/A"]


def corrupt_mp4_packets(source, out, kind, seed=7):
    """Flips bytes inside the packets of one stream, in the middle third."""
    data = bytearray(Path(source).read_bytes())
    spans = packet_spans(source, kind)
    rnd = random.Random(seed)
    third = len(spans) // 3
    for pos, size in spans[third:2 * third]:
        for _ in range(max(1, size // 64)):
            data[pos + rnd.randrange(size)] ^= 0xFF
    Path(out).write_bytes(bytes(data))
    return Path(out)


def corrupt_ts_packets(source, out, kind, seed=7):
    """Flips bytes in the payload of the 188-byte transport packets that carry
    one stream, in the middle third of the file."""
    data = bytearray(Path(source).read_bytes())
    pid = int(next(s["id"] for s in streams(source)
                   if s["codec_type"] == {"v": "video", "a": "audio"}[kind]), 16)
    rnd = random.Random(seed)
    count = len(data) // 188
    for n in range(count // 3, 2 * count // 3):
        at = n * 188
        if data[at] != 0x47 or ((data[at + 1] & 0x1F) << 8 | data[at + 2]) != pid:
            continue
        for _ in range(4):
            data[at + 4 + rnd.randrange(184)] ^= 0xFF
    Path(out).write_bytes(bytes(data))
    return Path(out)


def joined_ts(directory, name, first, second):
    """Two MPEG-TS recordings joined byte for byte; the second one's clock
    carries on where the first one ends. `first` and `second` are av_clip
    arguments."""
    a = av_clip(directory / f"{name}-a.ts", seconds=1.0, **first)
    b = av_clip(directory / f"{name}-b.ts", seconds=1.0, extra=("-output_ts_offset", "1"), **second)
    out = directory / f"{name}.ts"
    out.write_bytes(a.read_bytes() + b.read_bytes())
    return out


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    """The sources shared by the tests of this file, made once."""
    d = tmp_path_factory.mktemp("robustness-media")
    made = {
        "clip.mp4": av_clip(d / "clip.mp4"),
        "long.mp4": av_clip(d / "long.mp4", seconds=8.0),
    }
    made["faststart.mp4"] = d / "faststart.mp4"
    ffmpeg("-i", made["clip.mp4"], "-c", "copy", "-movflags", "+faststart", made["faststart.mp4"])
    made["clip.ts"] = d / "clip.ts"
    ffmpeg("-i", made["clip.mp4"], "-c", "copy", made["clip.ts"])
    made["dir"] = d
    return made


# --- Sources that cannot be read --------------------------------------------------

def open_error(path):
    """The error for a source that exists but cannot be read: FFmpeg's reason
    follows in parentheses."""
    return re.compile(re.escape(f"Could not open {path}. Make sure the file exists. (") + r"[^()]+\)")


@pytest.mark.parametrize("kind", ["empty", "random-bytes", "random-ts-packets", "directory"])
def test_unreadable_source(workdir, kind):
    path = workdir.path / f"source-{kind}.mp4"
    if kind == "empty":
        path.write_bytes(b"")
    elif kind == "random-bytes":
        path.write_bytes(random.Random(1).randbytes(64 * 1024))
    elif kind == "random-ts-packets":
        # Sync bytes every 188 bytes: it is taken for MPEG-TS but holds nothing.
        packets = bytearray(random.Random(2).randbytes(188 * 400))
        packets[::188] = b"\x47" * 400
        path = path.with_suffix(".ts")
        path.write_bytes(bytes(packets))
    else:
        path.mkdir()
    run = job(workdir.path, path)
    if kind == "random-ts-packets":
        check_failed_early(run, workdir.path, "No video stream found in the file.")
    elif kind == "directory":
        check_failed_early(run, workdir.path, re.compile(re.escape(f"Could not open {path}") + ".*"))
    else:
        check_failed_early(run, workdir.path, open_error(path))


def inner_box(data, path):
    """(offset, size) of the box that `path` leads to: "moov/trak:2/mdia" is
    the mdia box of the moov box's third trak box."""
    at, size = 0, len(data)
    for depth, step in enumerate(path.split("/")):
        kind, _, index = step.partition(":")
        inside = top_level_boxes(data, at + 8 if depth else 0, at + size)
        at, size = [(a, n) for k, a, n in inside if k == kind][int(index or 0)]
    return at, size


def test_a_track_the_job_does_not_use_is_not_read(media, workdir):
    # A camera file cut short: a third track (here, a second sound) whose
    # samples all lie past the end, before the other tracks' last ones.
    source = workdir.path / "extra-track.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=4", "-f", "lavfi",
           "-i", "sine=duration=4", "-f", "lavfi", "-i", "sine=frequency=880:duration=4",
           "-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264", "-preset", "ultrafast",
           "-c:a", "aac", "-movflags", "+faststart", source)
    data = bytearray(source.read_bytes())
    at, _ = inner_box(data, "moov/trak:2/mdia/minf/stbl/stco")
    (chunks,) = struct.unpack(">I", data[at + 12:at + 16])
    for entry in range(at + 16, at + 16 + 4 * chunks, 4):
        struct.pack_into(">I", data, entry, len(data) + struct.unpack(">I", data[entry:entry + 4])[0])
    source.write_bytes(data)
    run = job(workdir.path, source)
    assert run.messages("WARN") == [] and run.messages("ERROR") == [], run.stdout
    _, _, segments, ended = read_playlist(workdir.path / "360p.m3u8")
    assert ended and sum(d for d, _ in segments) == pytest.approx(4.0, abs=0.1)


# Where a real MP4 file is cut: before its index (moov) is complete, the file
# cannot be opened at all.
CUTS_BEFORE_INDEX = [
    ("moov-at-end", "inside-ftyp"),
    ("moov-at-end", "middle-of-mdat"),
    ("moov-at-end", "start-of-moov"),
    ("faststart", "inside-ftyp"),
    ("faststart", "middle-of-moov"),
]
# After the index: the source is encoded up to the cut.
CUTS_AFTER_INDEX = [
    ("faststart", "start-of-mdat"),
    ("faststart", "middle-of-mdat"),
    ("faststart", "end-of-mdat"),
]


def cut_point(data, where):
    boxes = {kind: (at, size) for kind, at, size in top_level_boxes(data)}
    moov_at, moov_size = boxes["moov"]
    mdat_at, mdat_size = boxes["mdat"]
    return {
        "inside-ftyp": 12,
        "middle-of-mdat": mdat_at + mdat_size // 2,
        "start-of-moov": moov_at,
        "middle-of-moov": moov_at + moov_size // 2,
        "start-of-mdat": mdat_at + 16 + mdat_size // 20,
        "end-of-mdat": mdat_at + mdat_size - 300,
    }[where]


def truncated(media, workdir, layout, where):
    source = media["clip.mp4" if layout == "moov-at-end" else "faststart.mp4"]
    data = source.read_bytes()
    boxes = [kind for kind, _, _ in top_level_boxes(data)]
    assert boxes.index("moov") > boxes.index("mdat") if layout == "moov-at-end" else \
        boxes.index("moov") < boxes.index("mdat"), boxes
    path = workdir.path / f"cut-{layout}-{where}.mp4"
    path.write_bytes(data[:cut_point(data, where)])
    return path


@pytest.mark.parametrize("layout, where", CUTS_BEFORE_INDEX)
def test_file_cut_before_its_index(media, workdir, layout, where):
    path = truncated(media, workdir, layout, where)
    run = job(workdir.path, path)
    check_failed_early(run, workdir.path, open_error(path))


@pytest.mark.parametrize("layout, where", CUTS_AFTER_INDEX)
def test_file_cut_after_its_index_is_encoded_up_to_the_cut(media, workdir, layout, where):
    path = truncated(media, workdir, layout, where)
    run = job(workdir.path, path)
    check_all_done(run, workdir.path)
    check_output_plays(workdir, at_most=2.2)


def test_file_cut_after_its_index_is_reported(media, workdir):
    path = truncated(media, workdir, "faststart", "middle-of-mdat")
    run = job(workdir.path, path)
    check_sound(run, workdir.path)
    assert run.messages("WARN") or run.messages("ERROR"), run.lines()


# --- Damaged and odd sources that must still give a complete package -------------

# A 2-second clip takes a second or two, even instrumented: longer is a hang.
HANG_LIMIT = 60

CORRUPTIONS = [
    pytest.param("ts", "v", id="ts-video"),
    pytest.param("ts", "a", id="ts-audio"),
    pytest.param("mp4", "v", id="mp4-video"),
    # Damaged AAC frames decode to samples far above full scale: they must not
    # make the loudness filter and the AAC encoder crawl.
    pytest.param("mp4", "a", id="mp4-audio"),
]


@pytest.mark.parametrize("container, kind", CORRUPTIONS)
def test_corrupt_packets_mid_file_are_skipped(media, workdir, container, kind):
    if container == "ts":
        original = media["clip.ts"]
        path = corrupt_ts_packets(original, workdir.path / "corrupt.ts", kind)
    else:
        original = media["faststart.mp4"]
        path = corrupt_mp4_packets(original, workdir.path / "corrupt.mp4", kind)
    assert path.read_bytes() != original.read_bytes()
    run = job(workdir.path, path, timeout=HANG_LIMIT)
    check_all_done(run, workdir.path)
    # Damaged time stamps may leave a hole: a little longer than the source.
    check_output_plays(workdir, at_least=1.5, at_most=3.0)


def ffmpeg_messages(lines):
    """FFmpeg's messages among a run's lines: how many came in all (shown,
    counted again, or not shown), and the parts of FFmpeg that wrote them."""
    total, parts = 0, set()
    for line in lines:
        found = re.match(r"FFmpeg( [^:]+)?: ", line)
        if not found:
            continue
        parts.add(found.group(1))
        again = re.search(r" \(came (\d+) more times?\)$", line)
        hidden = re.fullmatch(r"FFmpeg: (\d+) further messages? not shown\.", line)
        total += int(hidden.group(1)) if hidden else 1 + int(again.group(1)) if again else 1
    return total, parts


def test_a_damaged_file_keeps_its_messages_from_a_call_on_another_thread(media, workdir):
    damaged = corrupt_ts_packets(media["clip.ts"], workdir.path / "damaged.ts", "v")
    # Another codec and container: none of its messages could pass for the
    # damaged file's.
    clean = workdir.path / "clean.mkv"
    ffmpeg("-f", "lavfi", "-t", "2", "-i", "testsrc2=size=160x90:rate=30", "-f", "lavfi", "-t", "2",
           "-i", "sine=frequency=440:sample_rate=48000", "-c:v", "mpeg4", "-c:a", "flac", clean)
    alone = calls_on_threads(workdir.path, [[str(damaged), None, "damaged.m3u8", ["360p"]]])
    expected, _ = ffmpeg_messages(alone)
    assert expected > 0, alone
    both = calls_on_threads(workdir.path, [[str(damaged), None, "damaged.m3u8", ["360p"]],
                                           [str(clean), None, "clean.m3u8", ["480p"]]])
    assert both.count(ALL_DONE) == 2, both
    # Each of the damaged file's messages reached its own job once, and the
    # clean file's job had none.
    total, parts = ffmpeg_messages(both)
    assert total == expected and not parts & {" mpeg4", " matroska,webm", " flac"}, (alone, both)


@pytest.mark.parametrize("change", ["picture-size", "pixel-format", "sample-rate-and-layout"])
def test_format_change_mid_stream(workdir, change):
    first = dict(video="testsrc2=size=160x90:rate=30")
    if change == "picture-size":
        second = dict(video=red_blue("320x180"))
    elif change == "pixel-format":
        second = dict(video=red_blue("160x90"), pix_fmt="yuv444p")
    else:
        second = dict(video=red_blue("160x90"), sample_rate=44100, layout="mono")
    source = joined_ts(workdir.path, change, first, second)
    run = job(workdir.path, source)
    check_all_done(run, workdir.path)
    ts = check_output_plays(workdir, at_least=1.8, at_most=2.3)
    assert {(s["width"], s["height"]) for s in streams(ts) if s["codec_type"] == "video"} == {(640, 360)}
    # The second recording comes out whole: red on the left, blue on the right.
    left, right = picture_colours(ts, 1.5)
    assert left[0] > 150 and left[2] < 100, (left, right)
    assert right[2] > 150 and right[0] < 100, (left, right)
    # ...and its sound goes on to the end.
    assert mean_volume(ts, 1.2, 1.9) > -40


def test_source_shorter_than_a_second(workdir):
    source = av_clip(workdir.path / "short.mp4", seconds=0.3)
    run = job(workdir.path, source)
    check_all_done(run, workdir.path)
    check_output_plays(workdir, at_least=0.25, at_most=0.5)


def test_path_with_spaces_and_non_ascii_characters(workdir):
    folder = workdir.path / "dossier vidéo 日本"
    folder.mkdir()
    source = av_clip(folder / "ma vidéo – été ✓.mp4", seconds=1.0)
    run = job(workdir.path, source, output="maître liste.m3u8")
    check_all_done(run, workdir.path, output="maître liste.m3u8")
    assert run.messages("INFO")[0] == f"Analyzing video file: {source}..."
    check_output_plays(workdir, at_least=0.9)


def test_audio_only_source(workdir):
    source = workdir.path / "sound.m4a"
    ffmpeg("-f", "lavfi", "-i", "sine=sample_rate=48000", "-t", 1, "-c:a", "aac", source)
    check_failed_early(job(workdir.path, source), workdir.path, "No video stream found in the file.")


@pytest.mark.parametrize("container", ["mp4", "ts"])
def test_video_only_source_gets_a_silent_track(workdir, container):
    # Screen recordings and time-lapses have no sound: every rendition still
    # gets its audio stream, silent and as long as the pictures.
    source = av_clip(workdir.path / f"silent.{container}", seconds=2.5, audio=False)
    run = job(workdir.path, source, resolution=["360p", "480p"], bitrate=[400000, 800000])
    check_all_done(run, workdir.path, names=("360p", "480p"))
    assert run.messages("WARN") == ["The source has no audio track; every rendition carries a "
                                    "silent audio track."]
    for name in ("360p", "480p"):
        ts = check_output_plays(workdir, name)
        spans = stream_durations(ts)
        # The AAC stream starts with the encoder's one frame of priming.
        frame = 1024 / 44100
        assert spans["audio"] - frame == pytest.approx(spans["video"], abs=frame), spans
        samples = subprocess.run(["ffmpeg", "-v", "error", "-i", str(ts), "-map", "0:a",
                                  "-f", "s16le", "-"], capture_output=True, check=True).stdout
        assert len(samples) > 0 and not any(samples), "the audio is not digital silence"


# Time stamps that leap to the far end of the 64-bit range mid-stream: the
# clocks' arithmetic must not overflow.
def far_jump_mkv(directory):
    """Matroska with 7-byte cluster times; from the third cluster on they leap
    to about 2^56 ticks of about 1/60 s."""
    path = av_clip(directory / "base.mkv", seconds=1.0,
                   extra=("-output_ts_offset", "9000000000000", "-cluster_time_limit", "300"))
    data = bytearray(path.read_bytes())
    scale = data.find(b"\x2a\xd7\xb1\x83")
    assert scale > 0
    data[scale + 4:scale + 7] = b"\xff\xff\xff"  # TimestampScale: 16.777215 ms
    at, first, count = 0, None, 0
    while (at := data.find(b"\x1f\x43\xb6\x75", at + 1)) > 0:
        field = data.find(b"\xe7\x87", at + 4, at + 24)
        assert field > 0
        value = int.from_bytes(data[field + 2:field + 9], "big")
        first = value if first is None else first
        value = value - first + (0xF0000000000000 if count >= 2 else 0)
        data[field + 2:field + 9] = value.to_bytes(7, "big")
        count += 1
    assert count >= 3
    out = directory / "far-jump.mkv"
    out.write_bytes(bytes(data))
    return out


def far_jump_mp4(directory):
    """Fragmented MP4 whose video track counts whole seconds; its second
    fragment starts at 2^62 s."""
    path = av_clip(directory / "base-frag.mp4", seconds=1.0,
                   extra=("-movflags", "frag_keyframe+empty_moov", "-g", "10"))
    data = bytearray(path.read_bytes())
    mdhd = data.find(b"mdhd")
    assert data[mdhd + 4] == 0
    data[mdhd + 16:mdhd + 20] = struct.pack(">I", 1)  # first track (video): timescale 1
    at, video_fragments = 0, 0
    while (at := data.find(b"tfdt", at + 1)) > 0:
        tfhd = data.rfind(b"tfhd", 0, at)
        track = struct.unpack(">I", data[tfhd + 8:tfhd + 12])[0]
        if track == 1 and data[at + 4] == 1:
            if video_fragments >= 1:
                data[at + 8:at + 16] = (1 << 62).to_bytes(8, "big")
            video_fragments += 1
    assert video_fragments >= 2
    out = directory / "far-jump.mp4"
    out.write_bytes(bytes(data))
    return out


@pytest.mark.parametrize("make", [far_jump_mkv, far_jump_mp4], ids=["mkv", "fragmented-mp4"])
def test_time_stamps_leaping_to_the_far_future(workdir, make):
    run = job(workdir.path, make(workdir.path))
    created, failed = check_sound(run, workdir.path)
    assert created or failed


# --- Key-info files ---------------------------------------------------------------

def key_info(workdir, kind):
    """Writes a bad key-info file of the given kind; returns its path."""
    path = workdir.path / f"{kind}.keyinfo"
    key = workdir.path / "enc.key"
    if kind == "missing":
        return path
    if kind == "endless":
        # Only its first 64 kB are read: a line of NUL bytes and no second line.
        return Path("/dev/zero")
    text = {
        "empty": "",
        "one-line": "enc.key\n",
        "missing-key-file": f"enc.key\n{workdir.path / 'nowhere.key'}\n",
        "short-key": f"enc.key\n{workdir.path / 'short.key'}\n",
        "key-path-is-a-directory": f"enc.key\n{workdir.path}\n",
    }.get(kind)
    if kind == "short-key":
        (workdir.path / "short.key").write_bytes(os.urandom(10))
    if text is None:  # an IV line
        text = f"enc.key\n{key}\n{kind}\n"
    path.write_text(text)
    return path


@pytest.mark.parametrize("kind, action", [
    ("missing", "opening the key-info file: "),
    ("empty", "reading the key-info file's key URI line: "),
    ("one-line", "reading the key-info file's key file line: "),
    ("missing-key-file", "opening the key file that the key-info file names: "),
    ("short-key", "reading the key file (an AES-128 key is 16 bytes): "),
    ("key-path-is-a-directory", "opening the key file that the key-info file names: "),
    ("endless", "reading the key-info file's key file line: "),
])
def test_bad_key_info_file(media, workdir, kind, action):
    run = job(workdir.path, media["clip.mp4"], key=str(key_info(workdir, kind)),
              resolution=["360p", "480p"], bitrate=[400000, 800000])
    check_no_rendition(run, workdir.path, names=("360p", "480p"), action=action)


# Every bad IV line (none of 32 hex digits, a non-hex digit, 16, 31 or 34
# digits, a "0x" prefix, ...) is a key_info unit case in
# tests/cpp/unit_key_info.cpp. Two go end to end: the error line reaches the
# user and nothing is written, for a source shorter and one longer than a
# segment (the muxer would fail only where it opens a segment).
@pytest.mark.parametrize("iv, length", [
    ("0123456789abcdef0123456789abcdeg", "shorter-than-a-segment"),  # one character that is not hex
    ("0123456789abcdef0123456789abcdef00", "longer-than-a-segment"),
])
def test_bad_iv_line(media, workdir, iv, length):
    source = media["clip.mp4" if length == "shorter-than-a-segment" else "long.mp4"]
    run = job(workdir.path, source, key=str(key_info(workdir, iv)))
    assert not any(m.startswith(VARIANT_DONE) for m in run.messages("SUCCESS")), run.lines()
    check_no_rendition(run, workdir.path,
                       action="reading the key-info file's IV line (32 hex digits): ")
    assert not list(workdir.path.glob("*.m3u8")) and not list(workdir.path.glob("*.ts"))


# --- Outputs that cannot be written ------------------------------------------------

@pytest.mark.parametrize("output, reason", [
    ("missing-dir/master.m3u8", "No such file or directory"),
    ("/dev/full", "No space left on device"),
    ("file.txt/master.m3u8", "Not a directory"),
    (".", "Is a directory"),
])
def test_master_playlist_that_cannot_be_written(media, workdir, output, reason):
    (workdir.path / "file.txt").write_text("a file, not a directory\n")
    run = job(workdir.path, media["clip.mp4"], output=output)
    created, failed = check_sound(run, workdir.path, output)
    assert created == {"360p.m3u8"} and not failed
    check_rendition_files(workdir.path, "360p.m3u8")
    assert run.messages("ERROR") == [f"Could not write the master playlist {output}: {reason}."]
    assert [m for m in run.messages("SUCCESS") if not m.startswith(VARIANT_DONE)] == []


def test_master_playlist_named_like_a_rendition(media, workdir):
    run = job(workdir.path, media["clip.mp4"], output="360p.m3u8")
    check_sound(run, workdir.path, "360p.m3u8")
    assert ALL_DONE not in run.messages("SUCCESS")


@pytest.mark.parametrize("blocked, source", [
    ("360p_000.ts", "clip.mp4"),
    ("360p_001.ts", "long.mp4"),  # the first segment is written, the second is not
    ("360p.m3u8", "clip.mp4"),
    ("360p.m3u8", "long.mp4"),
])
def test_working_directory_where_the_rendition_cannot_be_written(media, workdir, blocked, source):
    # We run as root: permissions do not stop writes, a directory of the same
    # name does.
    (workdir.path / blocked).mkdir()
    run = job(workdir.path, media[source])
    check_no_rendition(run, workdir.path)


def test_a_full_disk_is_named_as_the_cause(media, workdir):
    # The second segment goes to a device that is always full (segments are
    # written beside their place first).
    (workdir.path / "360p_001.ts.tmp").symlink_to("/dev/full")
    run = job(workdir.path, media["long.mp4"])
    assert run.messages("ERROR") == [
        "Rendition 360p.m3u8 failed while writing the HLS segments: No space left on device",
        "No rendition was created; the master playlist master.m3u8 was not written."]
    assert not (workdir.path / "master.m3u8").exists()


def test_one_rendition_blocked_the_other_listed(media, workdir):
    (workdir.path / "480p_000.ts").mkdir()
    run = job(workdir.path, media["clip.mp4"], resolution=["360p", "480p"],
              bitrate=[400000, 800000])
    created, failed = check_sound(run, workdir.path)
    assert created == {"360p.m3u8"} and failed == {"480p.m3u8"}
    assert master_entries(workdir.path / "master.m3u8") == ["360p.m3u8"]
    assert run.messages("ERROR")[-1] == "Renditions not created: 480p."
    assert ALL_DONE not in run.messages("SUCCESS")
    check_output_plays(workdir, at_least=1.8)


# --- Load ----------------------------------------------------------------------------

REPEAT = textwrap.dedent("""\
    import ctypes, json, os, sys, corvane
    class MallInfo(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo
    def held_kib():
        # What the allocator has handed out and not got back, in every
        # arena. The resident size is no measure of that: the source and the
        # renditions allocate and free on different threads, and what each
        # thread's arena keeps for reuse swings by tens of MB from call to call.
        info = libc.mallinfo2()
        return (info.uordblks + info.hblkhd) // 1024
    figures = []
    for n in range(int(sys.argv[2])):
        # Two renditions run every stage a ladder has, at a fraction of the cost of four.
        corvane.hls_encoder(sys.argv[1], 'master.m3u8', ['480p', '360p'])
        figures.append((held_kib(), len(os.listdir('/proc/self/fd'))))
    # The module's lines wait in the C library's buffer; they go out first.
    libc.fflush(None)
    print('FIGURES=' + json.dumps(figures), flush=True)
""")


def test_twenty_calls_in_one_process_do_not_grow(workdir):
    source = av_clip(workdir.path / "tiny.mp4", seconds=1.0)
    done = subprocess.run([sys.executable, "-c", REPEAT, str(source), "20"], cwd=workdir.path,
                          capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stderr[-4000:]
    assert "ERROR" not in done.stderr, done.stderr[-4000:]
    assert done.stdout.count(ALL_DONE) == 20
    line = next(l for l in done.stdout.splitlines() if l.startswith("FIGURES="))
    figures = json.loads(line[len("FIGURES="):])
    held = [kib for kib, _ in figures]
    fds = [n for _, n in figures]
    # After the first calls have loaded what they need, nothing more is kept
    # (a picture of the tiny clip is 115 KiB).
    assert max(fds[3:]) <= fds[3], fds
    assert held[-1] - held[3] < 1024, held


THREADS = textwrap.dedent("""\
    import ctypes, json, os, sys, threading, corvane
    libc = ctypes.CDLL(None, use_errno=True)
    def call(source, folder, output, names):
        if folder:
            # A working directory of this thread's own (Linux's CLONE_FS),
            # where the job writes its renditions.
            if libc.unshare(0x200) != 0:
                raise OSError(ctypes.get_errno(), 'unshare')
            os.chdir(folder)
        corvane.hls_encoder(source, output, names, [400000] * len(names))
    calls = json.loads(sys.argv[1])
    threads = [threading.Thread(target=call, args=c) for c in calls]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # The module's lines wait in the C library's buffer; they go out first.
    libc.fflush(None)
    print('JOINED', flush=True)
""")


def calls_on_threads(cwd, calls):
    """Runs each call (source, folder or None, output, rendition names) on a
    thread of its own in one process; returns its log lines' messages."""
    done = subprocess.run([sys.executable, "-c", THREADS, json.dumps(calls)], cwd=cwd,
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0 and done.stdout.rstrip().endswith("JOINED"), done.stderr[-4000:]
    assert "[ERROR]" not in done.stderr and "Traceback" not in done.stderr, done.stderr[-4000:]
    return [l.split("] ", 2)[2] for l in done.stdout.splitlines() if l.startswith("[")]


def check_package_plays(directory, master, name):
    """The master lists the rendition, ffprobe reads the package and openssl
    decrypts the rendition's segments into MPEG-TS."""
    check_master(directory / master, [name])
    check_rendition_files(directory, f"{name}.m3u8")
    probed = ffprobe(directory / master, "-allowed_extensions", "ALL", "-show_streams")["streams"]
    assert {s["codec_type"] for s in probed} >= {"video", "audio"}
    key = (directory / "enc.key").read_bytes()
    ts = decrypt_rendition(directory, name, key, directory / f"{name}.dec.ts")
    assert {s["codec_type"] for s in streams(ts)} == {"video", "audio"}


@pytest.mark.parametrize("folders, names", [
    pytest.param((None, None), ("360p", "480p"), id="other-renditions-one-folder"),
    pytest.param(("a", "b"), ("360p", "360p"), id="same-renditions-own-folders"),
])
def test_calls_from_two_threads_run_at_once(media, workdir, folders, names):
    calls = []
    for folder, name in zip(folders, names):
        if folder:
            (workdir.path / folder).mkdir()
            write_key_info(workdir.path / folder)
        # Long enough that neither could end before the other began.
        calls.append([str(media["long.mp4"]), folder, f"master-{name}.m3u8", [name]])
    lines = calls_on_threads(workdir.path, calls)
    starts = [i for i, l in enumerate(lines) if l.startswith("Analyzing video file:")]
    ends = [i for i, l in enumerate(lines) if l == ALL_DONE]
    assert len(starts) == len(ends) == 2, lines
    # Both had started before either ended.
    assert max(starts) < min(ends), lines
    for folder, name in zip(folders, names):
        check_package_plays(workdir.path / (folder or ""), f"master-{name}.m3u8", name)


def test_calls_that_write_the_same_files_run_one_after_another(media, workdir):
    source = str(media["clip.mp4"])
    lines = calls_on_threads(workdir.path, [[source, None, "master.m3u8", ["360p"]]] * 2)
    waits = [l for l in lines if l.startswith("Another call in this process is writing ")]
    assert waits == [f"Another call in this process is writing {workdir.path.resolve() / 'master.m3u8'}: "
                     "this one starts when it has finished."], lines
    successes = [l for l in lines if l.startswith(("Encrypted", "All secure"))]
    assert successes == [f"{VARIANT_DONE}360p.m3u8", f"{MASTER_DONE}master.m3u8", ALL_DONE] * 2, lines
    check_package_plays(workdir.path, "master.m3u8", "360p")


TICKER = textwrap.dedent("""\
    import ctypes, sys, threading, time, corvane
    ticks, done = [], threading.Event()
    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)
    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    start = time.monotonic()
    corvane.hls_encoder(sys.argv[1], 'master.m3u8', ['360p'], [400000])
    end = time.monotonic()
    done.set()
    ticker.join()
    gap = max(b - a for a, b in zip(ticks, ticks[1:]) if b >= start and a <= end)
    ctypes.CDLL(None).fflush(None)
    print('GAP=%.3f CALL=%.3f' % (gap, end - start), flush=True)
""")


def test_other_python_threads_run_during_a_call(media, workdir):
    done = subprocess.run([sys.executable, "-c", TICKER, str(media["long.mp4"])], cwd=workdir.path,
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr[-4000:]
    gap, call = (float(v) for v in re.search(r"GAP=(\S+) CALL=(\S+)", done.stdout).groups())
    # Holding the interpreter for the call would stop the ticker for all of
    # it; the bound leaves room for a busy machine's scheduling.
    assert gap < min(0.25, call / 2), (gap, call)

