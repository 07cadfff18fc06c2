"""What the master playlist tells players, checked against what the
renditions hold: rates measured from the segments as written, codecs as
ffprobe reads them, segments that each start with a key frame and start at
the same times in every rendition, and a master playlist in another folder
whose URIs resolve. Measured with ffprobe, openssl and ffmpeg's HLS reader."""

import pytest

from ladder_helpers import check_master, run_ok, segment_files
from media import ffmpeg, ffprobe, read_master, read_playlist, variant_rates, video_frames

AUDIO_RATE = 128000
PROFILES = {"Constrained Baseline": 66, "Baseline": 66, "Main": 77, "High": 100}


def complexity_changes(path):
    """6 s of still colour bars, 6 s of heavy noise, 6 s of a moving pattern."""
    parts = ["smptebars=size=1280x720:rate=30:duration=6",
             "testsrc2=size=1280x720:rate=30:duration=6,noise=alls=80:allf=t+u",
             "testsrc2=size=1280x720:rate=30:duration=6"]
    inputs = [arg for part in parts for arg in ("-f", "lavfi", "-i", part)]
    ffmpeg(*inputs, "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=18",
           "-filter_complex", "[0:v][1:v][2:v]concat=n=3:v=1:a=0[v]", "-map", "[v]", "-map", "3:a",
           "-c:v", "libx264", "-preset", "ultrafast", "-crf", 20, "-pix_fmt", "yuv420p",
           "-c:a", "aac", path)


def clip(video, seconds):
    def make(path):
        ffmpeg("-f", "lavfi", "-i", video, "-f", "lavfi", "-i", "sine=sample_rate=48000",
               "-t", seconds, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               "-c:a", "aac", path)
    return make


# name: (maker, renditions, bit rates, whether the rate bounds apply)
SOURCES = {
    "complexity-changes": (complexity_changes, ["720p", "360p"], [2500000, 400000], True),
    "25fps-7.2s-segments": (clip("testsrc2=size=320x180:rate=25", 9), ["480p", "360p"],
                            [1000000, 400000], False),
    "2fps-time-lapse": (clip("testsrc2=size=320x180:rate=2", 9), ["360p"], [400000], False),
    "2s-clip": (clip("testsrc2=size=320x180:rate=30", 2), ["360p"], [400000], False),
}


@pytest.mark.parametrize("name", SOURCES)
def test_master_playlist_is_true_to_the_renditions(workdir, tmp_path, name):
    make, names, rates, bounded = SOURCES[name]
    source = tmp_path / "source.mp4"
    make(source)
    run_ok(workdir.path, source, resolution=names, bitrate=rates)
    variants = check_master(workdir.path / "master.m3u8", names)
    starts = []
    for (attrs, playlist), rate in zip(variants, rates):
        parts = segment_files(workdir.path, playlist.stem, workdir.key, tmp_path / playlist.stem)
        for _, part in parts:
            assert video_frames(part)[0][1] == 1, f"{part.name} does not start with a key frame"
        video = ffprobe(parts[0][1], "-show_streams", "-select_streams", "v")["streams"][0]
        codecs = attrs["CODECS"].split(",")
        assert codecs[1] == "mp4a.40.2"
        assert codecs[0][:7] == f"avc1.{PROFILES[video['profile']]:02x}", (codecs, video["profile"])
        assert int(codecs[0][9:], 16) == video["level"], (codecs, video["level"])
        starts.append([duration for duration, _ in read_playlist(playlist)[2]])
        if bounded:
            _, peak, average = variant_rates(playlist)
            assert peak <= 1.6 * (rate + AUDIO_RATE), (playlist.name, peak)
            assert average <= 1.15 * (rate + AUDIO_RATE), (playlist.name, average)
    # Players switch renditions at segment boundaries: they must line up.
    assert all(s == pytest.approx(starts[0], abs=0.01) for s in starts), starts


@pytest.mark.parametrize("job_folder, folder", [("job", "job/public"), ("job", "site"),
                                                ("job #1", "site")])
def test_a_master_playlist_in_another_folder_plays(workdir, sources, job_folder, folder):
    src = sources("clip.mp4", seconds=2)
    job = workdir.path / job_folder
    job.mkdir()
    (job / "enc.key").write_bytes(workdir.key)
    output = workdir.path / folder / "master.m3u8"
    output.parent.mkdir(parents=True)
    run = run_ok(job, src, output, resolution=["360p", "480p"], bitrate=[400000, 900000],
                 key=str(workdir.keyinfo))
    assert run.messages("SUCCESS")[-2] == f"Encrypted Master playlist generated: {output}"
    # The renditions stay in the working directory; the master names them
    # from its own folder, as URIs.
    assert sorted(p.name for p in output.parent.iterdir()) == ["master.m3u8"]
    uris = [uri for _, uri in read_master(output)[1]]
    if " " in job_folder:
        assert uris == ["../job%20%231/360p.m3u8", "../job%20%231/480p.m3u8"]
    else:
        # ffmpeg's HLS reader opens local files by their URIs unescaped.
        ffmpeg("-allowed_extensions", "ALL", "-i", output, "-map", "0", "-f", "null", "-",
               cwd=output.parent)
