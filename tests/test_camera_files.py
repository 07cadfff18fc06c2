"""Shapes of real camera, broadcast and old-container files: decoding-order
time stamps, stills and pauses, time-lapses, an audio track that never
decodes, a stub without pictures. Sources are made with the ffmpeg tool and
the renditions judged with ffmpeg and ffprobe alone."""

import subprocess

import pytest

from ladder_helpers import audio_frames, run_ok, segment_files
from media import decrypt_rendition, ffmpeg, read_playlist, video_frames
from test_robustness import check_output_plays, job

TICK = 1 / 30


def test_decoding_order_stamps_keep_every_picture(workdir, tmp_path):
    # Pictures reordered by the decoder while the container's stamps are in
    # decoding order (pts = dts), as in old FLV files.
    source = tmp_path / "dts-only.flv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30:duration=5", "-f", "lavfi",
           "-i", "sine=duration=5", "-c:v", "libx264", "-bf", 3, "-bsf:v", "setts=pts=DTS",
           "-c:a", "aac", source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts")
    stamps = [t for t, _ in video_frames(ts)]
    assert len(stamps) >= 148, len(stamps)
    steps = [b - a for a, b in zip(stamps, stamps[1:])]
    # One picture per tick, but where the decoder's guess starts.
    assert all(abs(step - TICK) < 1e-3 for step in steps[2:]), steps


def still_with_sound(path, seconds):
    """One picture, then `seconds` of sound (a DVD menu)."""
    picture, sound = path.with_suffix(".h264.mkv"), path.with_suffix(".m4a")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30", "-frames:v", 1, "-c:v", "libx264", picture)
    ffmpeg("-f", "lavfi", "-i", f"sine=duration={seconds}", "-c:a", "aac", sound)
    ffmpeg("-i", picture, "-i", sound, "-c", "copy", path)


def recording(path, video, seconds, extra=()):
    ffmpeg("-f", "lavfi", "-i", video, "-f", "lavfi", "-i", f"sine=duration={seconds}", *extra,
           "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-t", seconds, path)


SHAPES = {
    "still-with-20s-of-sound": lambda p: still_with_sound(p, 20),
    "1fps-time-lapse": lambda p: recording(p, "testsrc2=size=160x90:rate=1", 20),
    "30fps-pausing-12s": lambda p: recording(
        p, "testsrc2=size=160x90:rate=30,select='not(between(t\\,4\\,16))'", 20, ("-fps_mode", "vfr")),
    "25fps": lambda p: recording(p, "testsrc2=size=160x90:rate=25", 14),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_segments_stay_about_six_seconds(workdir, tmp_path, shape):
    source = tmp_path / "source.mkv"
    SHAPES[shape](source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    target, _, segments, _ = read_playlist(workdir.path / "360p.m3u8")
    assert target <= 7 and all(duration <= 6.5 for duration, _ in segments), (target, segments)
    for _, part in segment_files(workdir.path, "360p", workdir.key, tmp_path / "parts"):
        frames = video_frames(part)
        assert frames and frames[0][1], f"{part.name} does not start with a key frame"


def test_an_audio_track_that_never_decodes_gives_silence(workdir, tmp_path):
    # Every AAC packet is noise: the track is there but gives no sound.
    source = tmp_path / "camera.mkv"
    recording(source, "testsrc2=size=160x90:rate=30", 4, ("-bsf:a", "noise=amount=1"))
    run = job(workdir.path, source)
    assert "The source's audio cannot be decoded (its packets give no sound); every rendition " \
           "carries a silent audio track." in run.messages("WARN"), run.stdout
    ts = check_output_plays(workdir, "360p", at_least=3.9)
    samples = subprocess.run(["ffmpeg", "-v", "error", "-i", str(ts), "-map", "0:a", "-f", "s16le", "-"],
                             capture_output=True, check=True).stdout
    assert samples and not any(samples)
    assert audio_frames(ts)[0][0] == pytest.approx(video_frames(ts)[0][0], abs=0.05)


def test_a_stub_without_pictures_is_a_failure(workdir, tmp_path):
    # A camera file cut right after its header: streams, but no picture.
    whole = tmp_path / "whole.mov"
    recording(whole, "testsrc2=size=160x90:rate=30", 1, ("-movflags", "+faststart"))
    data = whole.read_bytes()
    source = tmp_path / "stub.mov"
    source.write_bytes(data[: data.find(b"mdat") + 200])
    run = job(workdir.path, source)
    errors = run.messages("ERROR")
    assert errors == ["Rendition 360p.m3u8 failed: the source has no decodable pictures.",
                      "No rendition was created; the master playlist master.m3u8 was not written."]
    assert run.messages("SUCCESS") == []
    assert not (workdir.path / "master.m3u8").exists()
