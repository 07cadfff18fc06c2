"""Audio and video stay in step: a source with white flashes and beeps at the
same instants comes out with each flash and its beep within 40 ms, whatever
time the source's streams start at and whatever holes its audio has."""

import pytest

from ladder_helpers import (FLASH_TIMES, audio_frames, audio_span, beep_times, flash_times,
                            make_gap_source, make_spliced_source, make_sync_source, run_ok,
                            video_span)
from media import decrypt_rendition, ffmpeg, read_playlist, video_frames

SYNC_LIMIT = 0.040


def flashes_and_beeps(workdir, source, tmp_path):
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.plain.ts")
    flashes, beeps = flash_times(ts), beep_times(ts)
    assert len(flashes) == len(FLASH_TIMES), flashes
    assert len(beeps) == len(FLASH_TIMES), beeps
    return flashes, beeps


def assert_in_step(flashes, beeps):
    for flash, beep in zip(flashes, beeps):
        assert abs(flash - beep) <= SYNC_LIMIT, (flashes, beeps)
    # The flashes keep their distances (no picture lost or added between them).
    gaps = [b - a for a, b in zip(flashes, flashes[1:])]
    expected = [b - a for a, b in zip(FLASH_TIMES, FLASH_TIMES[1:])]
    assert gaps == pytest.approx(expected, abs=0.034)


@pytest.mark.parametrize("kind, suffix", [
    ("plain", "mp4"),
    ("ts-offset", "ts"),
    ("late-audio", "mkv"),
    ("late-video", "mkv"),
], ids=["streams-from-zero", "mpegts-from-10s", "audio-starts-late", "video-starts-late"])
def test_flash_and_beep_stay_together(workdir, tmp_path, kind, suffix):
    source = make_sync_source(tmp_path / f"sync.{suffix}", kind)
    # The source itself is in step, so any offset below comes from the job.
    source_flashes, source_beeps = flash_times(source), beep_times(source, rate=48000)
    assert len(source_flashes) == len(source_beeps) == len(FLASH_TIMES)
    assert all(abs(f - b) < 0.005 for f, b in zip(source_flashes, source_beeps))
    assert_in_step(*flashes_and_beeps(workdir, source, tmp_path))


@pytest.mark.parametrize("rate, limit", [(60, 0.005), (120, 0.005), (50, 0.010), (25, 0.017)])
def test_fast_sources_show_the_picture_filmed_on_each_tick(workdir, tmp_path, rate, limit):
    # Each output tick shows the source picture nearest to it: at 60 and 120
    # fps that is the one filmed on the tick, so a flash keeps its instant.
    source = make_sync_source(tmp_path / "sync.mp4", "plain", rate=rate)
    flashes, beeps = flashes_and_beeps(workdir, source, tmp_path)
    for flash, beep in zip(flashes, beeps):
        assert abs(flash - beep) <= limit, (flashes, beeps)


def test_a_hole_in_the_audio_is_filled(workdir, tmp_path):
    # Half a second without audio packets between the first and second beep.
    source = make_gap_source(tmp_path / "gap.mkv", gap=(1.2, 1.7))
    assert_in_step(*flashes_and_beeps(workdir, source, tmp_path))


@pytest.mark.parametrize("offset, first_layout, first_audio", [
    (10, "mono", 2.0),
    (0, "mono", 1.6),
    (10, "stereo", 2.0),
    (100, "mono", 2.0),
    (1.4, "mono", 2.0),
], ids=["clock-leaps-8s", "clock-goes-back", "clock-leaps-with-new-layout",
        "clock-leaps-98s", "clock-goes-back-0.6s"])
def test_joined_recordings_stay_in_step(workdir, tmp_path, offset, first_layout, first_audio):
    source = make_spliced_source(tmp_path / "joined.ts", offset, first_layout, first_audio)
    assert_in_step(*flashes_and_beeps(workdir, source, tmp_path))


@pytest.mark.parametrize("video_seconds, audio_seconds, video_delay, rate", [
    (7, 11, 0, 30),
    (2, 6, 0, 30),
    (4, 6, 2, 30),
    (10, 10, 0, 25),
    (7, 11, 0, 25),
], ids=["audio-outlasts-video-by-4s", "audio-only-after-first-segment", "video-starts-2s-late",
        "25fps", "25fps-audio-outlasts-video"])
def test_playlist_durations_cover_all_media(workdir, tmp_path, video_seconds, audio_seconds,
                                            video_delay, rate):
    # Players take the presentation's length from the EXTINF values: audio
    # before the first or after the last picture must be counted too.
    source = tmp_path / "uneven.mkv"
    ffmpeg("-itsoffset", video_delay, "-f", "lavfi", "-i",
           f"testsrc2=size=320x180:rate={rate}:duration={video_seconds}",
           "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={audio_seconds}",
           "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "ultrafast",
           "-c:a", "aac", source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    target, _, segments, ended = read_playlist(workdir.path / "360p.m3u8")
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.plain.ts")
    video, audio = video_span(video_frames(ts)), audio_span(audio_frames(ts))
    span = max(video[1], audio[1]) - min(video[0], audio[0])
    assert ended and span == pytest.approx(max(video_seconds + video_delay, audio_seconds), abs=0.1)
    assert sum(d for d, _ in segments) == pytest.approx(span, abs=0.1), segments
    assert all(d <= target for d, _ in segments), (target, segments)
