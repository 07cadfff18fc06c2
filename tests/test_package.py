"""What the package holds besides the renditions, checked as a player would
fetch it: an I-frame playlist per rendition whose every entry decrypts on its
own to one key frame of the rendition, and the source's text subtitle tracks
as encrypted WebVTT renditions whose cues map onto the segments' clock at the
pictures they belong to."""

import re
import struct
from pathlib import Path

import pytest

from ladder_helpers import FLASH_TIMES, OUTPUT_TICK, check_master, flash_times, make_sync_source
from media import decrypt, decrypt_rendition, ffmpeg, ffprobe, read_master, run_job, video_frames

RENDITIONS = ["480p", "360p"]
BITRATES = [800000, 400000]
TS_CLOCK = 90000


def srt_file(path, cues):
    """A SubRip file of (start, end, text) cues, in seconds."""
    def stamp(t):
        ms = round(t * 1000)
        return f"{ms // 3600000:02}:{ms // 60000 % 60:02}:{ms // 1000 % 60:02},{ms % 1000:03}"
    path.write_text("".join(f"{i + 1}\n{stamp(a)} --> {stamp(b)}\n{text}\n\n"
                            for i, (a, b, text) in enumerate(cues)), encoding="utf-8")
    return path


def ass_file(path, start, end, text):
    path.write_text("[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\n"
                    "Format: Name, Fontname, Fontsize, PrimaryColour, Bold, Italic\n"
                    "Style: Default,Arial,20,&H00FFFFFF,0,0\n\n[Events]\n"
                    "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
                    f"Dialogue: 0,0:00:{start:05.2f},0:00:{end:05.2f},Default,,0,0,0,,{text}\n")
    return path


def pgs_file(path):
    """A bitmap (Blu-ray) subtitle stream of one empty display set."""
    def segment(kind, payload):
        return b"PG" + struct.pack(">IIBH", 90000, 90000, kind, len(payload)) + payload
    composition = struct.pack(">HHBHBBBB", 320, 180, 0x10, 0, 0x80, 0, 0, 0)
    path.write_bytes(segment(0x16, composition) + segment(0x80, b""))
    return path


CUE_ONE = (FLASH_TIMES[1], FLASH_TIMES[1] + 1.0, "corvane cue one")
CUE_TWO = (FLASH_TIMES[2], FLASH_TIMES[2] + 0.5, "corvane repère")


def make_package_source(tmp_path, kind):
    """A sync source (white flashes at FLASH_TIMES) with the subtitle tracks of
    `kind`; returns (path, expected tracks [(attributes, cue texts)], WARN count)."""
    rate = 25 if kind == "25fps" else 30
    size = "180x320" if kind == "portrait" else "320x180"
    video = make_sync_source(tmp_path / "video.mp4", "plain", seconds=7.0, size=size, rate=rate)
    one = srt_file(tmp_path / "one.srt", [CUE_ONE])
    two = srt_file(tmp_path / "two.srt", [CUE_TWO])
    copy = ["-map", "0:v", "-map", "0:a", "-c:v", "copy", "-c:a", "copy"]
    english = {"NAME": "English", "LANGUAGE": "eng", "DEFAULT": "YES", "FORCED": "NO"}
    if kind == "none":
        return video, [], 0
    if kind == "two-srt":
        path = tmp_path / "source.mkv"
        ffmpeg("-i", video, "-i", one, "-i", two, *copy, "-map", "1", "-map", "2", "-c:s", "srt",
               "-metadata:s:s:0", "title=English", "-metadata:s:s:0", "language=eng",
               "-metadata:s:s:1", "language=fra", "-disposition:s:0", "forced",
               "-disposition:s:1", "default", path)
        return path, [({"NAME": "English", "LANGUAGE": "eng", "DEFAULT": "NO", "FORCED": "YES"},
                       [CUE_ONE[2]]),
                      ({"NAME": "fra", "LANGUAGE": "fra", "DEFAULT": "YES", "FORCED": "NO"},
                       [CUE_TWO[2]])], 0
    if kind == "mov_text":
        path = tmp_path / "source.mp4"
        ffmpeg("-i", video, "-i", one, *copy, "-map", "1", "-c:s", "mov_text",
               "-metadata:s:s:0", "language=eng", path)
        # No title: the track is named by its language.
        return path, [({**english, "NAME": "eng"}, [CUE_ONE[2]])], 0
    if kind == "ass":
        path = tmp_path / "source.mkv"
        styled = ass_file(tmp_path / "one.ass", CUE_ONE[0], CUE_ONE[1], r"{\i1}corvane{\i0} cue one")
        ffmpeg("-i", video, "-i", styled, *copy, "-map", "1", "-c:s", "ass",
               "-metadata:s:s:0", "language=eng", "-metadata:s:s:0", "title=English", path)
        return path, [(english, ["<i>corvane</i> cue one"])], 0
    if kind == "bitmap":
        path = tmp_path / "source.mkv"
        ffmpeg("-i", video, "-i", pgs_file(tmp_path / "bitmap.sup"), "-i", one, *copy,
               "-map", "1", "-map", "2", "-c:s", "copy", "-c:s:1", "srt",
               "-metadata:s:s:1", "language=eng", "-metadata:s:s:1", "title=English", path)
        return path, [(english, [CUE_ONE[2]])], 1
    # portrait, 25fps: one SubRip track
    path = tmp_path / "source.mkv"
    ffmpeg("-i", video, "-i", one, *copy, "-map", "1", "-c:s", "srt",
           "-metadata:s:s:0", "language=eng", "-metadata:s:s:0", "title=English", path)
    return path, [(english, [CUE_ONE[2]])], 0


def attributes(line):
    return {k: v.strip('"') for k, v in re.findall(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', line.split(":", 1)[1])}


def playlist_entries(path):
    """[(duration, uri, (length, offset) or None, IV hex)] of a media playlist,
    each entry with the IV of the key line before it (else its sequence number)."""
    entries, iv, duration, byterange = [], None, None, None
    for line in Path(path).read_text().splitlines():
        if line.startswith("#EXT-X-KEY:"):
            iv = attributes(line).get("IV", "")[2:] or None
        elif line.startswith("#EXTINF:"):
            duration = float(line[8:].split(",")[0])
        elif line.startswith("#EXT-X-BYTERANGE:"):
            length, offset = line[17:].split("@")
            byterange = (int(length), int(offset))
        elif line and not line.startswith("#"):
            entries.append((duration, line, byterange, iv or f"{len(entries):032x}"))
            byterange = None
    return entries


def check_iframes(directory, name, attrs, key, tmp_path):
    """Every I-frame entry decrypts alone to one key frame of the rendition, at
    the stamp of one of its key frames; every key frame has its entry; the
    stated rates are the entries' own."""
    playlist = directory / attrs["URI"]
    assert playlist.read_text().splitlines()[:6] == [
        "#EXTM3U", "#EXT-X-VERSION:4", playlist.read_text().splitlines()[2],
        "#EXT-X-MEDIA-SEQUENCE:0", "#EXT-X-PLAYLIST-TYPE:VOD", "#EXT-X-I-FRAMES-ONLY"]
    ts = decrypt_rendition(directory, name, key, tmp_path / f"{name}.plain.ts")
    keys = [round(t * TS_CLOCK) for t, key_frame in video_frames(ts) if key_frame]
    found, rates = [], []
    for i, (duration, uri, (length, offset), iv) in enumerate(playlist_entries(playlist)):
        part = tmp_path / f"{name}_i{i}.enc"
        with open(directory / uri, "rb") as whole:
            whole.seek(offset)
            part.write_bytes(whole.read(length))
        plain = decrypt(part, key, iv, tmp_path / f"{name}_i{i}.ts")
        packets = ffprobe(plain, "-show_entries", "packet=codec_type,pts,flags")["packets"]
        assert [(p["codec_type"], p["flags"][0]) for p in packets] == [("video", "K")], (i, packets)
        found.append(int(packets[0]["pts"]))
        rates.append(8 * length / duration)
    assert found == keys, (found, keys)
    assert abs(int(attrs["BANDWIDTH"]) - max(rates)) <= 0.1 * max(rates), (attrs, max(rates))


def subtitle_cues(directory, uri, key, tmp_path):
    """(MPEG-TS time in seconds, text) of every distinct cue of a subtitle
    playlist, with the playlist's total duration."""
    cues, total = [], 0.0
    for i, (duration, segment, _, iv) in enumerate(playlist_entries(directory / uri)):
        total += duration
        text = decrypt(directory / segment, key, iv, tmp_path / f"{segment}.plain").read_text("utf-8")
        assert text.startswith("WEBVTT\nX-TIMESTAMP-MAP=MPEGTS:"), text
        mpegts = int(re.search(r"MPEGTS:(\d+),LOCAL:00:00:00.000\n", text).group(1))
        for h, m, s, ms, body in re.findall(r"(\d+):(\d\d):(\d\d)\.(\d{3}) --> \S+\n(.+?)\n\n", text, re.S):
            local = int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000
            cue = (round(mpegts / TS_CLOCK + local, 3), body)
            if cue not in cues:
                cues.append(cue)
    return cues, total


@pytest.mark.parametrize("kind", ["two-srt", "mov_text", "ass", "bitmap", "none", "portrait", "25fps"])
def test_package(workdir, tmp_path, kind):
    source, tracks, bitmap_warnings = make_package_source(tmp_path, kind)
    run = run_job(workdir.path, str(source), "master.m3u8", resolution=RENDITIONS, bitrate=BITRATES)
    assert run.messages("SUCCESS")[-1] == "All secure transcoding finished flawlessly.", run.stdout
    warnings = [m for m in run.messages("WARN") if "subtitle track" in m]
    assert len(warnings) == bitmap_warnings and all("hdmv_pgs_subtitle" in w for w in warnings), warnings
    directory = Path(workdir.path)
    found = check_master(directory / "master.m3u8", RENDITIONS)
    lines = (directory / "master.m3u8").read_text().splitlines()

    iframe_lines = [attributes(l) for l in lines if l.startswith("#EXT-X-I-FRAME-STREAM-INF:")]
    assert len(iframe_lines) == len(RENDITIONS)
    for (variant, playlist), attrs in zip(found, iframe_lines):
        name = playlist.stem
        assert attrs["URI"] == f"{name}_iframes.m3u8"
        assert (attrs["CODECS"], attrs["RESOLUTION"]) == (variant["CODECS"].split(",")[0], variant["RESOLUTION"])
        check_iframes(directory, name, attrs, workdir.key, tmp_path)

    media = [attributes(l) for l in lines if l.startswith("#EXT-X-MEDIA:")]
    assert all(variant.get("SUBTITLES") == ("subs" if tracks else None) for variant, _ in found)
    assert len(media) == len(tracks)
    ts = decrypt_rendition(directory, RENDITIONS[-1], workdir.key, tmp_path / "last.plain.ts")
    flashes = flash_times(ts)
    media_length = sum(d for d, _, _, _ in playlist_entries(found[-1][1]))
    for attrs, (expected, texts) in zip(media, tracks):
        assert {k: attrs[k] for k in expected} == expected, attrs
        assert (attrs["TYPE"], attrs["GROUP-ID"]) == ("SUBTITLES", "subs")
        cues, total = subtitle_cues(directory, attrs["URI"], workdir.key, tmp_path)
        assert [text for _, text in cues] == texts
        assert total == pytest.approx(media_length, abs=0.05)
        # Each cue starts with its flash, on the segments' clock, within a tick.
        for at, text in cues:
            assert min(abs(at - f) for f in flashes) <= OUTPUT_TICK + 0.001, (text, at, flashes)


def test_subtitles_that_cannot_be_written(workdir, tmp_path):
    """A subtitle file that cannot be written (a folder in its place) fails
    the subtitles alone, with the system's cause: the master lists the
    renditions without them, and the job does not claim to be complete."""
    source, _, _ = make_package_source(tmp_path, "two-srt")
    (Path(workdir.path) / "subtitles_1_000.vtt.tmp").mkdir()
    run = run_job(workdir.path, str(source), "master.m3u8", resolution=["360p"], bitrate=[400000])
    assert run.messages("ERROR") == ["The subtitles could not be written (while writing the subtitles: "
                                     "Is a directory); the master playlist lists none."]
    assert "All secure transcoding finished flawlessly." not in run.messages("SUCCESS")
    text = (Path(workdir.path) / "master.m3u8").read_text()
    assert "360p.m3u8" in text and "SUBTITLES" not in text


@pytest.mark.parametrize("output, what", [("360p_iframes.m3u8", "the media playlist of rendition 360p"),
                                          ("subtitles_0.m3u8", "the playlist of the subtitle track English")])
def test_a_master_named_like_another_playlist_replaces_nothing(workdir, tmp_path, output, what):
    video = make_sync_source(tmp_path / "video.mp4", "plain", seconds=2.0)
    source = tmp_path / "source.mkv"
    ffmpeg("-i", video, "-i", srt_file(tmp_path / "one.srt", [(0.5, 1.0, "cue")]), "-map", "0", "-map", "1",
           "-c:v", "copy", "-c:a", "copy", "-c:s", "srt", "-metadata:s:s:0", "title=English", source)
    run = run_job(workdir.path, str(source), output, resolution=["360p"], bitrate=[400000])
    assert run.messages("ERROR") == [f"Could not write the master playlist {output}: it is {what}."]
    # The playlist is still the one it was written as.
    assert "#EXT-X-STREAM-INF" not in (Path(workdir.path) / output).read_text()
