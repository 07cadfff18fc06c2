"""Probe and rendition plan as a user sees them: the log lines, the early exits
that write nothing, the planned renditions reaching the encoders at their
sizes and bit rates (read from the master playlist, which lists the completed
renditions in plan order, and from the segments), the coded size deciding the
orientation, a run that plans nothing, a name asked for twice, and what
happens when renditions fail.

Each decision of the plan (sizes by orientation, bit rates paired by
position and completed by name, unknown and repeated names) is a case of
tests/cpp/unit_plan.cpp (run by tests/test_units.py)."""

import os
import re

import pytest

from ladder_helpers import check_master, segment_files
from media import decrypt_rendition, encoder_settings, ffmpeg, run_job, streams

HEADER = "#EXTM3U\n#EXT-X-VERSION:3\n"
KEYS = {"enc.key", "enc.keyinfo"}
ALL_DONE = "All secure transcoding finished flawlessly."


def source(sources, size, sar=None):
    """A 0.4-second testsrc2 clip with a sine track, made once per session;
    `sar` sets a sample aspect ratio (n:1)."""
    if sar is None:
        return sources(f"tiny-{size}.mp4", seconds=0.4, size=size)
    return sources(f"tiny-{size}-sar{sar}.mp4", seconds=0.4, size=size,
                   extra=("-vf", f"setsar={sar}"))


def check_planned(directory, key, entries):
    """The master playlist lists the renditions [(name, bit rate, (width,
    height))] in this order and at these sizes, and each rendition's H.264
    encoder was given its bit rate (as the encoder states it in its stream,
    in kbit/s) and wrote pictures of its size."""
    variants = check_master(directory / "master.m3u8", [name for name, _, _ in entries])
    assert [a["RESOLUTION"] for a, _ in variants] == [f"{w}x{h}" for _, _, (w, h) in entries]
    for name, rate, (width, height) in entries:
        (_, first), *_ = segment_files(directory, name, key, directory / "plain")
        assert int(encoder_settings(first)["bitrate"]) == rate // 1000, name
        # The pictures really are of the planned size.
        video = [s for s in streams(first) if s["codec_type"] == "video"]
        assert [(v["width"], v["height"]) for v in video] == [(width, height)], name


def files(directory):
    return {p.name for p in directory.iterdir()}


@pytest.fixture(scope="session")
def odd_inputs(tmp_path_factory):
    """Inputs the probe must refuse: audio only, text, empty, a directory."""
    directory = tmp_path_factory.mktemp("odd-inputs")
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "0.4",
           "-c:a", "aac", directory / "audio-only.m4a")
    (directory / "text.mp4").write_text("this is not a video\n")
    (directory / "empty.mp4").write_bytes(b"")
    (directory / "folder.mp4").mkdir()
    return directory


# -- Early exits ---------------------------------------------------------------

@pytest.mark.parametrize(
    "name, error, exact",
    [
        ("missing.mp4", "Could not open {path}. Make sure the file exists.", True),
        ("no/such/folder/clip.mp4", "Could not open {path}. Make sure the file exists.", True),
        # An input that exists but cannot be read may carry its cause after the message.
        ("text.mp4", "Could not open {path}. Make sure the file exists.", False),
        ("empty.mp4", "Could not open {path}. Make sure the file exists.", False),
        ("folder.mp4", "Could not open {path}. Make sure the file exists.", False),
        ("audio-only.m4a", "No video stream found in the file.", True),
    ],
)
def test_early_exit_logs_one_error_and_writes_nothing(workdir, odd_inputs, name, error, exact):
    candidate = odd_inputs / name
    path = str(candidate) if candidate.exists() else name
    run = run_job(workdir.path, path, "master.m3u8")
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    # FFmpeg's own warnings about what it read come as WARN lines besides.
    lines = [(level, m) for level, m in run.lines() if not m.startswith("FFmpeg")]
    assert len(lines) == 2, lines
    assert lines[0] == ("INFO", f"Analyzing video file: {path}...")
    level, message = lines[1]
    assert level == "ERROR"
    wanted = error.format(path=path)
    if exact:
        assert message == wanted
    else:
        assert message == wanted or message.startswith(wanted + " ("), message
    assert files(workdir.path) == KEYS


# -- Orientation: the size comes from the table, turned like the source -------
# The default ladder end to end, landscape and portrait; the other shapes are
# unit cases.

@pytest.mark.parametrize(
    "size, sar, resolution, planned",
    [
        pytest.param("160x90", None, None,
                     [("1080p", 5000000, (1920, 1080)), ("720p", 2500000, (1280, 720)),
                      ("480p", 1000000, (854, 480)), ("360p", 400000, (640, 360))],
                     id="landscape-default-ladder"),
        pytest.param("90x160", None, None,
                     [("1080p", 5000000, (1080, 1920)), ("720p", 2500000, (720, 1280)),
                      ("480p", 1000000, (480, 854)), ("360p", 400000, (360, 640))],
                     id="portrait-default-ladder"),
        # The coded frame decides, not the display shape.
        pytest.param("90x160", 4, ["360p"],
                     [("360p", 5000000, (360, 640))], id="portrait-coded-wide-displayed"),
    ],
)
def test_orientation_follows_the_source(workdir, sources, size, sar, resolution, planned):
    src = source(sources, size, sar)
    if sar is not None:
        # The clip really is shown wider than it is coded.
        video = [s for s in streams(src) if s["codec_type"] == "video"]
        assert video[0]["sample_aspect_ratio"] == f"{sar}:1"
    kwargs = {} if resolution is None else {"resolution": resolution}
    run = run_job(workdir.path, str(src), "master.m3u8", **kwargs)
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert run.lines()[:2] == [("INFO", f"Analyzing video file: {src}..."),
                               ("INFO", f"Detected video size: {size}")]
    assert run.messages("WARN") == [] and run.messages("ERROR") == []
    check_planned(workdir.path, workdir.key, planned)
    assert run.messages("SUCCESS")[-2:] == ["Encrypted Master playlist generated: master.m3u8",
                                            ALL_DONE]
    if len(planned) == 1:
        # The worker really encoded the planned size.
        name, _, (w, h) = planned[0]
        ts = decrypt_rendition(workdir.path, name, workdir.key, workdir.path / f"{name}.ts")
        video = [s for s in streams(ts) if s["codec_type"] == "video"]
        assert [(v["width"], v["height"]) for v in video] == [(w, h)]


# -- Names that plan nothing -------------------------------------------------------

# Every name that plans nothing is a unit case; one run shows the whole log.
@pytest.mark.parametrize(
    "resolution",
    [
        # An unknown name is never planned, so its repeat is unknown again.
        pytest.param(["foo", "foo"], id="unknown-twice"),
    ],
)
def test_no_planned_rendition_writes_a_header_only_master(workdir, sources, resolution):
    src = source(sources, "160x90")
    run = run_job(workdir.path, str(src), "master.m3u8", resolution=resolution,
                  bitrate=[5000000])
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert run.lines() == [
        ("INFO", f"Analyzing video file: {src}..."),
        ("INFO", "Detected video size: 160x90"),
        *[("WARN", f"Unknown resolution requested: {n}. Skipping.") for n in resolution],
        ("SUCCESS", "Encrypted Master playlist generated: master.m3u8"),
        ("SUCCESS", ALL_DONE),
    ]
    assert (workdir.path / "master.m3u8").read_text() == HEADER
    assert files(workdir.path) == KEYS | {"master.m3u8"}


def test_master_playlist_is_replaced_whole(workdir, sources):
    # A master playlist from before, and a second name for the same file.
    master = workdir.path / "master.m3u8"
    master.write_text("#EXTM3U\nold\n")
    os.link(master, workdir.path / "before.m3u8")
    run = run_job(workdir.path, str(source(sources, "160x90")), "master.m3u8", resolution=[])
    assert run.messages("SUCCESS")[-1] == ALL_DONE
    assert master.read_text() == HEADER
    # The new file took the old one's place in one step; the old one was not
    # cut short and written again while it was being served.
    assert (workdir.path / "before.m3u8").read_text() == "#EXTM3U\nold\n"
    assert files(workdir.path) == KEYS | {"master.m3u8", "before.m3u8"}


# -- A name asked for twice is planned once ------------------------------------------
# With others around it, a unit case.

@pytest.mark.parametrize(
    "resolution, bitrate, warnings, bandwidth",
    [
        pytest.param(["360p", "360p"], [300000, 600000],
                     ["Duplicate resolution requested: 360p. Skipping."], 300000, id="twice"),
    ],
)
def test_repeated_name_is_planned_once(workdir, sources, resolution, bitrate, warnings,
                                       bandwidth):
    src = source(sources, "160x90")
    run = run_job(workdir.path, str(src), "master.m3u8", resolution=resolution, bitrate=bitrate)
    assert run.returncode == 0, run.stderr
    assert run.messages("WARN") == warnings
    assert run.messages("ERROR") == []
    assert run.messages("SUCCESS").count("Encrypted variant created: 360p.m3u8") == 1
    assert run.messages("SUCCESS")[-1] == ALL_DONE
    check_planned(workdir.path, workdir.key, [("360p", bandwidth, (640, 360))])
    # One writer: the segments are whole and decrypt to one clean stream.
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, workdir.path / "360p.ts")
    assert sorted(s["codec_type"] for s in streams(ts)) == ["audio", "video"]


# -- Renditions that fail --------------------------------------------------------------

FAILED = re.compile(r"^Rendition (\S+)\.m3u8 failed while [^:]+: \S.*$")


def failed_names(run):
    names = []
    for message in run.messages("ERROR"):
        m = FAILED.match(message)
        if m:
            names.append(m.group(1))
    return names


def test_failed_renditions_are_left_out_of_the_master(workdir, sources):
    src = source(sources, "160x90")
    # A directory where a rendition's first segment must go: that rendition
    # cannot be written, the others can.
    for name in ("720p", "480p"):
        (workdir.path / f"{name}_000.ts").mkdir()
    run = run_job(workdir.path, str(src), "master.m3u8", resolution=["720p", "480p", "360p"])
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert sorted(failed_names(run)) == ["480p", "720p"]
    assert run.messages("ERROR")[-1] == "Renditions not created: 720p, 480p."
    assert len(run.messages("ERROR")) == 3
    success = run.messages("SUCCESS")
    assert "Encrypted variant created: 360p.m3u8" in success
    assert success[-1] == "Encrypted Master playlist generated: master.m3u8"
    assert ALL_DONE not in success
    check_planned(workdir.path, workdir.key, [("360p", 1000000, (640, 360))])


@pytest.mark.parametrize("kwargs, errors", [
    # Every rendition needs the key-info file.
    pytest.param({"key": "missing.keyinfo"}, None, id="missing-key-info"),
    # A rate the encoder cannot aim at is named, not left to its "generic error".
    pytest.param({"bitrate": [-5, 999]},
                 ["Rendition 480p.m3u8 failed: its bit rate, -5 bit/s, is below the 1000 bit/s an "
                  "H.264 encoder can aim at.",
                  "Rendition 360p.m3u8 failed: its bit rate, 999 bit/s, is below the 1000 bit/s an "
                  "H.264 encoder can aim at."], id="bit-rates-below-1-kbit"),
])
def test_no_rendition_created_means_no_master(workdir, sources, kwargs, errors):
    src = sources("tiny-160x90.mp4", seconds=0.4, size="160x90")
    run = run_job(workdir.path, str(src), "master.m3u8", resolution=["480p", "360p"], **kwargs)
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert run.lines()[:2] == [("INFO", f"Analyzing video file: {src}..."),
                               ("INFO", "Detected video size: 160x90")]
    if errors is None:
        assert sorted(failed_names(run)) == ["360p", "480p"]
    else:
        assert sorted(run.messages("ERROR")[:2]) == sorted(errors)
    assert run.messages("ERROR")[-1] == (
        "No rendition was created; the master playlist master.m3u8 was not written.")
    assert len(run.messages("ERROR")) == 3
    assert run.messages("SUCCESS") == []
    assert not (workdir.path / "master.m3u8").exists()
