"""Helpers of the ladder tests: special sources (frame rates, flash and beep,
odd audio layouts, extra streams) and independent measurements of a
decrypted rendition (stream layout, frame stamps, audio span, flash and beep
instants, loudness). Everything is measured with the ffmpeg and ffprobe tools,
never with the module itself."""

import array
import math
import re
import subprocess
from pathlib import Path
from urllib.parse import unquote

from media import (decrypt, ffmpeg, ffprobe, read_master, read_playlist, run_job, streams,
                   variant_rates, video_frames)

OUTPUT_TICK = 1 / 30

# Frame numbers (at 30 frames per second) of the white flashes of the sync
# sources; each flash comes with a 1 kHz beep of 100 ms starting at the same
# instant.
FLASH_FRAMES = (20, 65, 100)
FLASH_TIMES = tuple(n / 30 for n in FLASH_FRAMES)
BEEP_LENGTH = 0.1


# --- Running the job ----------------------------------------------------------

def run_ok(workdir, source, output="master.m3u8", **kwargs):
    """Runs the job on `source` and checks that the call returned None and that
    every planned rendition was created."""
    run = run_job(workdir, str(source), str(output), **kwargs)
    assert run.returncode == 0, run.stderr
    assert run.result == "None", run.stdout
    assert run.messages("ERROR") == [], run.stderr
    assert run.messages("SUCCESS")[-1] == "All secure transcoding finished flawlessly.", run.stdout
    check_master(Path(workdir) / output, kwargs.get("resolution", ["1080p", "720p", "480p", "360p"]))
    return run


def check_master(master, names):
    """Checks what a master playlist tells players against what its
    renditions' playlists and segments hold: the URIs resolve to the media
    playlists of `names`, in order; every EXTINF, rounded, is within the
    target duration; BANDWIDTH is the measured peak segment rate (within
    10 %, never below) and AVERAGE-BANDWIDTH the measured average (within
    10 %); the frame rate is stated, and that there are no closed captions;
    the media playlists are VOD playlists. Returns [(attributes, media playlist)]."""
    master = Path(master)
    tags, variants = read_master(master)
    assert tags[:3] == ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-INDEPENDENT-SEGMENTS"], tags
    found = []
    for attrs, uri in variants:
        playlist = (master.parent / unquote(uri)).resolve()
        assert playlist.is_file(), uri
        target, _, segments, ended = read_playlist(playlist)
        assert ended and all(round(d) <= target for d, _ in segments), (uri, target, segments)
        _, peak, average = variant_rates(playlist)
        assert peak <= int(attrs["BANDWIDTH"]) <= 1.1 * peak, (uri, attrs, peak)
        assert abs(int(attrs["AVERAGE-BANDWIDTH"]) - average) <= 0.1 * average, (uri, attrs, average)
        assert attrs["FRAME-RATE"] == "30.000" and re.fullmatch(r"\d+x\d+", attrs["RESOLUTION"])
        assert attrs["CLOSED-CAPTIONS"] == "NONE", attrs
        assert "#EXT-X-PLAYLIST-TYPE:VOD" in playlist.read_text().splitlines(), uri
        found.append((attrs, playlist))
    assert [p.name for _, p in found] == [f"{name}.m3u8" for name in names], found
    return found


def rendition_files(directory, name):
    """Every file of a rendition in `directory`: playlist and segments."""
    directory = Path(directory)
    return sorted(p.name for p in directory.iterdir()
                  if p.name == f"{name}.m3u8" or re.fullmatch(rf"{re.escape(name)}_\d+\.ts", p.name))


# --- Sources ------------------------------------------------------------------

def make_rate_source(path, rate, seconds=3.0, size="320x180"):
    """A clip at a constant `rate` (a number or "30000/1001"), or at a
    variable rate when `rate` is "vfr": 30 pictures per second for the first
    half, then 10, then 30 again with a few pictures missing."""
    if rate != "vfr":
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}",
               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
               "-t", seconds, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               "-c:a", "aac", "-b:a", "96k", path)
        return Path(path)
    half = seconds / 2
    keep = (f"lt(t\\,{half})+gte(t\\,{half})*lt(t\\,{seconds - 0.5})*not(mod(n\\,3))"
            f"+gte(t\\,{seconds - 0.5})*not(eq(mod(n\\,7)\\,0))")
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30,select='{keep}'",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
           "-t", seconds, "-fps_mode", "vfr", "-c:v", "libx264", "-preset", "ultrafast",
           "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "96k", path)
    return Path(path)


def _beep_expression(shift=0.0, times=FLASH_TIMES):
    gates = "+".join(f"between(t\\,{t - shift:.6f}\\,{t - shift + BEEP_LENGTH:.6f})"
                     for t in times)
    return f"0.5*sin(2*PI*1000*t)*({gates})"


def make_sync_source(path, kind, seconds=4.0, size="320x180", rate=30):
    """A black clip with a white flash at FLASH_TIMES and a beep starting at
    the same instants. At other rates than 30, kind "plain" only, each flash
    starts on the source picture nearest its instant and lasts 1/30 s.

    kind "plain": an MP4 file whose streams both start at 0;
    kind "ts-offset": an MPEG-TS file whose time stamps start at 10 s;
    kind "late-audio": a Matroska file whose audio starts 0.5 s after its video;
    kind "late-video": a Matroska file whose video starts 0.5 s after its audio.
    """
    late = 0.5
    shift = round(late * 30) if kind == "late-video" else 0
    starts = [round(t * rate) for t in FLASH_TIMES]
    flashes = "+".join(f"between(n\\,{n - shift}\\,{n - shift + math.ceil(rate / 30) - 1})"
                       for n in starts)
    length = seconds - late if kind == "late-video" else seconds
    video = (f"color=c=black:size={size}:rate={rate}:duration={length},"
             f"drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='{flashes}'")
    encode = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
              "-c:a", "aac", "-b:a", "128k"]
    if kind == "late-video":
        audio = f"aevalsrc='{_beep_expression()}':sample_rate=48000:duration={seconds}"
        ffmpeg("-itsoffset", late, "-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio,
               "-map", "0:v", "-map", "1:a", *encode, path)
        return Path(path)
    if kind == "late-audio":
        audio = f"aevalsrc='{_beep_expression(late)}':sample_rate=48000:duration={seconds - late}"
        ffmpeg("-f", "lavfi", "-i", video, "-itsoffset", late, "-f", "lavfi", "-i", audio,
               "-map", "0:v", "-map", "1:a", *encode, path)
        return Path(path)
    beeps = _beep_expression(times=[n / rate for n in starts])
    audio = f"aevalsrc='{beeps}':sample_rate=48000:duration={seconds}"
    extra = ["-output_ts_offset", "10"] if kind == "ts-offset" else []
    ffmpeg("-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio, *encode, *extra, path)
    return Path(path)


def make_gap_source(path, gap=(1.2, 1.7), seconds=4.0, size="320x180"):
    """Like the "plain" sync source, in Matroska, but the audio has a hole
    (no packets at all) from gap[0] to gap[1] seconds."""
    flashes = "+".join(f"eq(n\\,{n})" for n in FLASH_FRAMES)
    video = (f"color=c=black:size={size}:rate=30:duration={seconds},"
             f"drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='{flashes}'")
    audio = (f"aevalsrc='{_beep_expression()}':sample_rate=48000:duration={seconds},"
             f"aselect='not(between(t\\,{gap[0]}\\,{gap[1]}))'")
    ffmpeg("-f", "lavfi", "-i", video, "-f", "lavfi", "-i", audio,
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "128k", path)
    return Path(path)


def make_spliced_source(path, offset, first_layout="mono", first_audio=2.0, size="320x180"):
    """Two MPEG-TS recordings joined byte by byte, as a recorder that
    restarts writes them: 2 s of black pictures with silent audio
    (`first_layout`, lasting `first_audio` seconds), then the "plain" sync
    clip (mono beeps) written with its time stamps moved on by `offset`
    seconds. With offset 0 both parts start at the same time stamps, so the
    clock goes back at the joint; with a larger offset it leaps forward."""
    path = Path(path)
    first = path.with_name(path.stem + ".part1.ts")
    second = path.with_name(path.stem + ".part2.ts")
    ffmpeg("-f", "lavfi", "-i", f"color=c=black:size={size}:rate=30:duration=2",
           "-f", "lavfi", "-i",
           f"anullsrc=sample_rate=48000:channel_layout={first_layout},atrim=duration={first_audio}",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "128k", first)
    make_sync_source(second, "plain", size=size)
    if offset:
        moved = path.with_name(path.stem + ".part2-moved.ts")
        ffmpeg("-i", second, "-c", "copy", "-output_ts_offset", offset, moved)
        second = moved
    path.write_bytes(first.read_bytes() + second.read_bytes())
    return path


def make_audio_source(path, channels, sample_rate, seconds=2.0, size="320x180"):
    """A clip whose audio has `channels` (1 or 6) at `sample_rate`."""
    layout = {1: "mono", 2: "stereo", 6: "5.1"}[channels]
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30",
           "-f", "lavfi", "-i",
           f"sine=frequency=440:sample_rate={sample_rate},aformat=channel_layouts={layout}",
           "-t", seconds, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "128k", "-ar", sample_rate, path)
    return Path(path)


def make_extra_streams_source(path, directory, seconds=2.0, size="320x180"):
    """A Matroska clip with two audio tracks and a subtitle track."""
    subtitles = Path(directory) / "extra.srt"
    subtitles.write_text("1\n00:00:00,000 --> 00:00:01,500\nHello\n\n"
                         "2\n00:00:01,500 --> 00:00:02,000\nWorld\n")
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
           "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=44100,aformat=channel_layouts=mono",
           "-i", subtitles,
           "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s", "-t", seconds,
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "96k", "-c:s", "srt", path)
    return Path(path)


# --- Measuring a rendition ----------------------------------------------------

def segment_files(directory, name, key, out_dir):
    """Decrypts every segment of a rendition on its own; returns the playlist
    entries [(EXTINF duration, decrypted path)]."""
    directory = Path(directory)
    Path(out_dir).mkdir(parents=True, exist_ok=True)
    _, attrs, segments, _ = read_playlist(directory / f"{name}.m3u8")
    sequence = media_sequence(directory / f"{name}.m3u8")
    parts = []
    for index, (duration, uri) in enumerate(segments):
        iv = attrs["IV"][2:] if "IV" in attrs else f"{sequence + index:032x}"
        parts.append((duration, decrypt(directory / uri, key, iv,
                                        Path(out_dir) / f"{Path(uri).stem}.plain.ts")))
    return parts


def media_sequence(playlist):
    found = re.search(r"^#EXT-X-MEDIA-SEQUENCE:(\d+)$", Path(playlist).read_text(), re.M)
    return int(found.group(1)) if found else 0


def audio_frames(path):
    """(pts_time, nb_samples) of every decoded audio frame."""
    data = ffprobe(path, "-select_streams", "a:0", "-show_entries", "frame=pts_time,nb_samples")
    return [(float(f["pts_time"]), int(f["nb_samples"])) for f in data["frames"]]


def stream_layout(path):
    """The decoded properties of a rendition's streams, by codec type."""
    found = {}
    for s in streams(path):
        found.setdefault(s["codec_type"], []).append(s)
    return found


def video_span(frames):
    """Start and end (end of the last picture) of a list of video stamps."""
    return frames[0][0], frames[-1][0] + OUTPUT_TICK


def audio_span(frames, rate=44100):
    return frames[0][0], frames[-1][0] + frames[-1][1] / rate


def make_interlaced_source(path, field_order, seconds=3.0, size="640x360"):
    """An interlaced H.264 clip ("tff" or "bff"): each picture holds two fields
    of a moving 60 fps test picture."""
    mode = {"tff": "interleave_top", "bff": "interleave_bottom"}[field_order]
    ffmpeg("-f", "lavfi", "-i",
           f"testsrc2=size={size}:rate=60:duration={seconds},tinterlace=mode={mode},"
           f"setfield={field_order}",
           "-f", "lavfi", "-i", f"sine=sample_rate=48000:duration={seconds}",
           "-c:v", "libx264", "-preset", "ultrafast", "-flags", "+ildct+ilme",
           "-x264opts", f"{field_order}=1", "-c:a", "aac", path)
    return Path(path)


def combed_share(path):
    """Share of the decoded pictures in which ffmpeg's idet filter sees two
    fields from different instants (combing)."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-i", str(path), "-an", "-vf", "idet",
                           "-f", "null", "-"], capture_output=True, text=True, check=True)
    # Newer ffmpeg tools may report an idle first instance of the filter too.
    found = re.findall(r"Multi frame detection: TFF:\s*(\d+) BFF:\s*(\d+) Progressive:\s*(\d+)",
                       done.stderr)
    tff, bff, progressive = (sum(int(counts[i]) for counts in found) for i in range(3))
    return (tff + bff) / max(1, tff + bff + progressive)


def picture_area(path):
    """(width, height, x, y) of the part of the pictures that is not black
    bars, as ffmpeg's cropdetect filter finds it over the whole clip."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-i", str(path), "-an", "-vf",
                           "cropdetect=limit=24:round=2:reset=0", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    found = re.findall(r"crop=(\d+):(\d+):(\d+):(\d+)", done.stderr)
    return tuple(map(int, found[-1]))


def decode_gray(path, width=16, height=9):
    """Mean brightness (0-255) of every decoded picture, in decoding output order."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-map", "0:v:0",
                          "-fps_mode", "passthrough", "-vf", f"scale={width}:{height},format=gray",
                          "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
    size = width * height
    return [sum(raw[i:i + size]) / size for i in range(0, len(raw), size)]


def flash_times(path):
    """Stamps of the pictures that start a white flash."""
    frames = video_frames(path)
    levels = decode_gray(path)
    assert len(levels) == len(frames), (len(levels), len(frames))
    found = []
    previous = 0.0
    for (pts, _), level in zip(frames, levels):
        if level > 128 and previous <= 128:
            found.append(pts)
        previous = level
    return found


def decode_mono(path):
    """The decoded audio of the first audio stream, mixed to one channel, as
    a list of float samples at the stream's own rate."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-map", "0:a:0",
                          "-ac", "1", "-f", "f32le", "-"], capture_output=True, check=True).stdout
    samples = array.array("f")
    samples.frombytes(raw)
    return samples


def beep_times(path, rate=44100, quiet=0.3):
    """Instants at which a beep starts: the first loud sample after at least
    `quiet` seconds without one, timed by the decoded frames' stamps."""
    frames = audio_frames(path)
    samples = decode_mono(path)
    assert len(samples) == sum(n for _, n in frames), "decoded audio is not contiguous"
    # The stamp of every sample, from the stamp of the frame that holds it.
    starts = []
    position = 0
    for pts, count in frames:
        starts.append((position, pts))
        position += count
    peak = max(abs(v) for v in samples)
    assert peak > 0.01, "the audio is silent"
    threshold = 0.25 * peak
    found = []
    last_loud = -math.inf
    frame = 0
    for index, value in enumerate(samples):
        if abs(value) < threshold:
            continue
        while frame + 1 < len(starts) and starts[frame + 1][0] <= index:
            frame += 1
        first, pts = starts[frame]
        t = pts + (index - first) / rate
        if t - last_loud >= quiet:
            found.append(t)
        last_loud = t
    return found


def integrated_loudness(path):
    """Integrated loudness (LUFS) of the first audio stream, by the ebur128
    filter's summary."""
    done = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", str(path),
                           "-map", "0:a:0", "-af", "ebur128", "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    summary = done.stderr[done.stderr.rfind("Summary:"):]
    found = re.search(r"I:\s+(-?[\d.]+) LUFS", summary)
    assert found, done.stderr[-2000:]
    return float(found.group(1))


def key_frame_positions(frames):
    return [i for i, (_, key) in enumerate(frames) if key]


def expected_pictures(source):
    """How many pictures a 30-per-second clock keeps of `source`: the number
    of distinct ticks that the source's picture stamps round to."""
    ticks = {math.floor(t * 30 + 0.5) for t, _ in video_frames(source)}
    return len(ticks)
