"""Classes of real files that went wrong in the field: sound that starts late
(old FLV with Nellymoser audio), music whose only picture is its cover, slow
sources whose last picture lasts a second, and a broadcast HEVC snippet cut
inside a GOP. Every class must keep the general rule: the rendition lasts
as long as the source's longer stream, keeps at least as many pictures as
the ffmpeg tool's -r 30 decode less one, every segment starts with a key
frame and states its audio's channels and rate. Measured with ffmpeg and
ffprobe alone."""

import re
import subprocess

import pytest

from ladder_helpers import audio_frames, run_ok, segment_files
from media import decrypt_rendition, ffmpeg, ffprobe, read_playlist, streams, video_frames

TICK = 1 / 30
FRAMING = 0.05


def late_sound_flv(path):
    """FLV of Sorenson pictures with Nellymoser sound that starts 7 s in."""
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=9", "-itsoffset", 7,
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=22050:duration=2",
           "-c:v", "flv1", "-c:a", "nellymoser", path)


def cover_song(path):
    """An MP3 whose only picture is its cover art."""
    ffmpeg("-f", "lavfi", "-i", "sine=sample_rate=44100:duration=7", "-f", "lavfi",
           "-t", 0.1, "-i", "smptebars=size=300x300", "-frames:v", 1, "-map", 0, "-map", 1,
           "-c:a", "libmp3lame", "-c:v", "mjpeg", "-disposition:v", "attached_pic",
           "-id3v2_version", 3, path)


def time_lapse(path):
    """Ten pictures a second apart, and 5 s of sound: the pictures last longer."""
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x90:rate=1:duration=10", "-f", "lavfi",
           "-i", "sine=duration=5", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", path)


def cut_broadcast(path):
    """HEVC at 50 fps in MPEG-TS, cut out of a longer recording inside a GOP:
    it starts with pictures whose references are gone."""
    whole = path.with_name("whole.ts")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=50:duration=4", "-f", "lavfi",
           "-i", "sine=duration=4", "-c:v", "libx265", "-preset", "ultrafast",
           "-x265-params", "log-level=error:keyint=50", "-c:a", "mp2", "-f", "mpegts", whole)
    data = whole.read_bytes()
    keys = [float(p["pos"]) for p in ffprobe(whole, "-select_streams", "v", "-show_entries",
                                              "packet=pos,flags")["packets"] if "K" in p["flags"]]
    # From a third of the way into the second GOP to the middle of the third.
    start = int(keys[1] + (keys[2] - keys[1]) / 3) // 188 * 188
    end = int((keys[2] + keys[3]) / 2) // 188 * 188
    path.write_bytes(data[start:end])


CLASSES = {
    "nellymoser-late-sound.flv": late_sound_flv,
    "cover-art.mp3": cover_song,
    "1fps-time-lapse.mp4": time_lapse,
    "hevc-50fps-cut-in-gop.ts": cut_broadcast,
}


def source_length(path):
    """Seconds from the first to the end of the last decoded picture or
    sample, whichever stream goes on longer (a cover picture is no stream)."""
    begin, end = None, None
    for s in streams(path):
        if s["codec_type"] not in ("video", "audio") or s.get("disposition", {}).get("attached_pic"):
            continue
        frames = ffprobe(path, "-select_streams", str(s["index"]), "-show_entries",
                         "frame=best_effort_timestamp_time,duration_time,pkt_duration_time")["frames"]
        # FFmpeg 5.1 names the duration pkt_duration_time.
        stamps = [(float(f["best_effort_timestamp_time"]),
                   float(f.get("duration_time", f.get("pkt_duration_time", 0))))
                  for f in frames if "best_effort_timestamp_time" in f]
        if stamps:
            begin = min(stamps[0][0], begin if begin is not None else stamps[0][0])
            end = max(stamps[-1][0] + stamps[-1][1], end if end is not None else 0)
    return end - begin


def pictures_at_30(path):
    """Pictures the ffmpeg tool keeps of the source at -r 30."""
    done = subprocess.run(["ffmpeg", "-v", "quiet", "-nostdin", "-i", str(path), "-map", "0:v:0",
                           "-r", "30", "-fps_mode", "vfr", "-f", "framecrc", "-"],
                          capture_output=True, text=True)
    return sum(1 for line in done.stdout.splitlines() if line and not line.startswith("#"))


def sound_onset(ts):
    """Seconds from the first picture to where the rendition's sound begins."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-copyts", "-i", str(ts), "-map", "0:a", "-af",
                           "silencedetect=n=-50dB:d=0.2", "-f", "null", "-"],
                          capture_output=True, text=True)
    ends = re.findall(r"silence_end: ([\d.]+)", done.stderr)
    return float(ends[0]) - video_frames(ts)[0][0] if ends else 0.0


@pytest.mark.parametrize("name", CLASSES)
def test_every_class_of_real_file_keeps_its_length_pictures_and_sound(workdir, tmp_path, name):
    source = tmp_path / name
    CLASSES[name](source)
    run = run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])

    length = source_length(source)
    _, _, segments, _ = read_playlist(workdir.path / "360p.m3u8")
    listed = sum(duration for duration, _ in segments)
    assert listed == pytest.approx(length, abs=TICK + FRAMING), (listed, length, segments)
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "joined.ts")
    pictures = video_frames(ts)
    sound = audio_frames(ts)
    sound_span = sound[-1][0] + sound[-1][1] / 44100 - min(sound[0][0], pictures[0][0])
    assert sound_span == pytest.approx(length, abs=TICK + FRAMING), (sound_span, length)
    assert len(pictures) >= pictures_at_30(source) - 1, (len(pictures), pictures_at_30(source))

    for _, part in segment_files(workdir.path, "360p", workdir.key, tmp_path / "parts"):
        frames = video_frames(part)
        assert frames and frames[0][1], f"{part.name} does not start with a key frame"
        audio = [s for s in streams(part) if s["codec_type"] == "audio"]
        assert [(s["channels"], s["sample_rate"]) for s in audio] == [(2, "44100")], (part.name, audio)

    if name.startswith("nellymoser"):
        # Silence leads in: the tone still starts 7 s after the first picture.
        assert sound_onset(ts) == pytest.approx(7.0, abs=FRAMING)
    if name.startswith("cover"):
        assert "The file has no video, only a cover picture: it is shown for the whole length of " \
               "the sound." in run.messages("INFO")
