"""The whole ladder, end to end: the default four renditions and the master
playlist, what every rendition holds once decrypted, frame rates, audio
layouts, odd sources, loudness, and how failed renditions are reported.

Each case runs the job in a child process and checks its output with the
ffmpeg, ffprobe and openssl tools only."""

import json
import re
import subprocess
from pathlib import Path

import pytest

from ladder_helpers import (audio_frames, audio_span, check_master, combed_share, decode_mono,
                            expected_pictures, integrated_loudness, key_frame_positions,
                            make_audio_source, make_extra_streams_source, make_interlaced_source,
                            make_rate_source, media_sequence, picture_area,
                            rendition_files, run_ok, segment_files, stream_layout, video_frames,
                            video_span)
from media import decrypt_rendition, ffmpeg, read_playlist, run_job, streams, write_key_info

LADDER = [("1080p", 1920, 1080), ("720p", 1280, 720), ("480p", 854, 480), ("360p", 640, 360)]

ALL_DONE = "All secure transcoding finished flawlessly."


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Makes each special source once per module: made(name, maker, *args)."""
    directory = tmp_path_factory.mktemp("made")
    cache = {}

    def get(name, maker, *args, **kwargs):
        if name not in cache:
            cache[name] = maker(directory / name, *args, **kwargs)
        return cache[name]

    get.directory = directory
    return get


def check_rendition(directory, name, key, width, height, tmp):
    """Decrypts a rendition and checks what every rendition must be: H.264
    yuv420p at its planned size, AAC 44.1 kHz stereo, pictures on the
    30-per-second clock with strictly increasing stamps, key frames every 60
    pictures, audio as long as the video, a playlist that is complete and
    whose EXTINF values stay within the target duration. Returns the
    decrypted stream, its picture stamps and its audio frames."""
    target, attrs, segments, ended = read_playlist(Path(directory) / f"{name}.m3u8")
    assert ended and segments
    assert attrs["METHOD"] == "AES-128" and attrs["URI"] == "enc.key"
    assert all(duration <= target for duration, _ in segments), (target, segments)
    assert [uri for _, uri in segments] == [f"{name}_{i:03d}.ts" for i in range(len(segments))]

    ts = decrypt_rendition(directory, name, key, Path(tmp) / f"{name}.plain.ts")
    layout = stream_layout(ts)
    assert sorted(layout) == ["audio", "video"]
    (video,), (audio,) = layout["video"], layout["audio"]
    assert (video["codec_name"], video["width"], video["height"], video["pix_fmt"]) == \
        ("h264", width, height, "yuv420p")
    assert (audio["codec_name"], int(audio["sample_rate"]), audio["channels"]) == \
        ("aac", 44100, 2)

    frames = video_frames(ts)
    stamps = [t for t, _ in frames]
    steps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert all(step > 0 for step in steps), "picture stamps do not strictly increase"
    assert all(abs(step * 30 - round(step * 30)) < 1e-3 for step in steps), \
        "pictures are not on the 30-per-second clock"
    # A key frame every 60 pictures, or as soon as 2 s of output time have
    # passed since the last one (sources with fewer pictures than ticks).
    expected = [0]
    for i, stamp in enumerate(stamps):
        if i - expected[-1] == 60 or (i > expected[-1] and stamp - stamps[expected[-1]] > 2 - 1e-3):
            expected.append(i)
    assert key_frame_positions(frames) == expected

    samples = audio_frames(ts)
    (v_start, v_end), (a_start, a_end) = video_span(frames), audio_span(samples)
    assert abs((a_end - a_start) - (v_end - v_start)) < 0.15, (v_start, v_end, a_start, a_end)
    assert abs(a_start - v_start) < 0.1, (v_start, a_start)
    return ts, frames, samples


def hls_reader_streams(playlist):
    """Plays a media playlist through ffmpeg's own HLS reader (key fetched by
    its URI) and returns what ffprobe reads through it: codec, size, and the
    number of decoded frames per stream."""
    ffmpeg("-allowed_extensions", "ALL", "-i", Path(playlist).name, "-f", "null", "-",
           cwd=Path(playlist).parent)
    done = subprocess.run(["ffprobe", "-v", "error", "-allowed_extensions", "ALL", "-count_frames",
                           "-show_entries",
                           "stream=codec_name,width,height,sample_rate,channels,nb_read_frames",
                           "-of", "json", Path(playlist).name],
                          cwd=Path(playlist).parent, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)["streams"]


# --- The default ladder ---------------------------------------------------------

@pytest.fixture(scope="module")
def default_ladder(tmp_path_factory):
    """The default call on a 2-second 1920x1080 source. Its key frames every 7
    pictures must not show through: the 1080p rendition is encoded from the
    decoded pictures themselves, unscaled."""
    directory = tmp_path_factory.mktemp("ladder")
    key, _ = write_key_info(directory)
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
           "-t", 2, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", 7,
           "-c:a", "aac", "-b:a", "96k", directory / "source.mp4")
    run = run_job(directory, str(directory / "source.mp4"), "master.m3u8")
    return directory, key, run


def test_default_call_writes_four_renditions_and_the_master_playlist(default_ladder):
    directory, _, run = default_ladder
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert run.messages("ERROR") == []
    successes = run.messages("SUCCESS")
    assert sorted(successes[:-2]) == sorted(f"Encrypted variant created: {name}.m3u8"
                                            for name, _, _ in LADDER)
    assert successes[-2:] == ["Encrypted Master playlist generated: master.m3u8", ALL_DONE]
    variants = check_master(directory / "master.m3u8", [name for name, _, _ in LADDER])
    assert [a["RESOLUTION"] for a, _ in variants] == [f"{w}x{h}" for _, w, h in LADDER]
    for name, _, _ in LADDER:
        assert rendition_files(directory, name) == [f"{name}.m3u8", f"{name}_000.ts"]
        target, _, segments, _ = read_playlist(directory / f"{name}.m3u8")
        assert all(duration <= target for duration, _ in segments), (target, segments)


@pytest.mark.parametrize("name, width, height", LADDER, ids=[n for n, _, _ in LADDER])
def test_every_rendition_of_the_default_ladder(default_ladder, tmp_path, name, width, height):
    directory, key, _ = default_ladder
    _, frames, _ = check_rendition(directory, name, key, width, height, tmp_path)
    assert len(frames) == 60
    played = hls_reader_streams(directory / f"{name}.m3u8")
    assert {s["codec_name"] for s in played} == {"h264", "aac"}
    video = next(s for s in played if s["codec_name"] == "h264")
    assert (video["width"], video["height"], int(video["nb_read_frames"])) == (width, height, 60)


# --- A longer clip: segments, key frames, loudness ----------------------------------

@pytest.fixture(scope="module")
def long_clip(tmp_path_factory):
    """A 12-second clip with quiet audio (far below -14 LUFS), one 360p
    rendition, and a key-info file that gives an explicit IV."""
    directory = tmp_path_factory.mktemp("long")
    iv = "00112233445566778899aabbccddeeff"
    key, _ = write_key_info(directory, iv=iv)
    source = directory / "source.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=192x108:rate=30",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000,volume=-14dB",
           "-t", 12, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "96k", source)
    run_ok(directory, source, "master.m3u8", resolution=["360p"], bitrate=[400000])
    return directory, key, iv, source


def test_long_clip_is_cut_into_segments_that_each_start_with_a_key_frame(long_clip, tmp_path):
    directory, key, iv, _ = long_clip
    target, attrs, segments, _ = read_playlist(directory / "360p.m3u8")
    assert attrs["IV"].lower() == "0x" + iv
    assert media_sequence(directory / "360p.m3u8") == 0
    assert target == 6 and len(segments) == 2
    assert all(duration <= target for duration, _ in segments), segments
    assert sum(d for d, _ in segments) == pytest.approx(12, abs=0.1)
    for duration, part in segment_files(directory, "360p", key, tmp_path):
        assert part.read_bytes()[:1] == b"\x47"
        frames = video_frames(part)
        assert frames[0][1] == 1, f"{part.name} does not start with a key frame"
        assert len(frames) == pytest.approx(duration * 30, abs=1)
    _, frames, _ = check_rendition(directory, "360p", key, 640, 360, tmp_path)
    assert len(frames) == 360


def test_long_clip_plays_through_the_hls_reader(long_clip):
    directory = long_clip[0]
    played = hls_reader_streams(directory / "360p.m3u8")
    counts = {s["codec_name"]: int(s["nb_read_frames"]) for s in played}
    assert counts["h264"] == 360
    assert counts["aac"] == pytest.approx(12 * 44100 / 1024, abs=5)


def test_loudness_is_normalised_to_minus_14_lufs(long_clip, tmp_path):
    directory, key, _, source = long_clip
    assert integrated_loudness(source) < -25
    ts = decrypt_rendition(directory, "360p", key, tmp_path / "360p.plain.ts")
    assert integrated_loudness(ts) == pytest.approx(-14, abs=1)


# --- Frame rates -----------------------------------------------------------------------

@pytest.mark.parametrize("rate, nominal", [
    (30, 90), (60, 90), ("30000/1001", 90), (25, 75), ("vfr", None),
], ids=["30fps", "60fps", "29.97fps", "25fps", "vfr"])
def test_no_picture_is_lost_at_any_frame_rate(workdir, made, tmp_path, rate, nominal):
    source = made(f"rate-{str(rate).replace('/', '_')}.mp4", make_rate_source, rate, seconds=3)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    _, frames, _ = check_rendition(workdir.path, "360p", workdir.key, 640, 360, tmp_path)
    if nominal is None:
        nominal = len(video_frames(source))
        assert 45 <= nominal <= 80, "the variable-rate source is not what it should be"
    assert abs(len(frames) - nominal) <= 2
    # Exactly one picture per tick that the source's stamps land on.
    assert abs(len(frames) - expected_pictures(source)) <= 1
    if rate == 60:
        stamps = [t for t, _ in frames]
        assert all(abs(b - a - 1 / 30) < 1e-3 for a, b in zip(stamps, stamps[1:]))


def test_every_extinf_is_within_the_target_duration_at_25fps(workdir, made):
    source = made("rate-25-long.mp4", make_rate_source, 25, seconds=8, size="160x90")
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    target, _, segments, _ = read_playlist(workdir.path / "360p.m3u8")
    assert all(duration <= target for duration, _ in segments), (target, segments)


# --- Sources of every shape ------------------------------------------------------------

@pytest.mark.parametrize("channels, sample_rate", [
    (6, 48000), (6, 44100), (6, 22050), (1, 48000), (1, 44100), (1, 22050),
], ids=lambda v: {6: "5.1", 1: "mono"}.get(v, f"{v}Hz"))
def test_any_audio_layout_becomes_stereo_at_44100(workdir, made, tmp_path, channels, sample_rate):
    source = made(f"audio-{channels}-{sample_rate}.mp4", make_audio_source, channels, sample_rate)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    _, frames, samples = check_rendition(workdir.path, "360p", workdir.key, 640, 360, tmp_path)
    assert len(frames) == 60
    assert sum(n for _, n in samples) == pytest.approx(2 * 44100, abs=3 * 1024)


def test_a_muted_audio_track_comes_out_silent(workdir, tmp_path):
    # Under 3 s of pure digital silence: the loudness filter can make samples
    # of it that are not numbers, and the AAC encoder refuses those.
    source = tmp_path / "muted.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30", "-f", "lavfi", "-i",
           "anullsrc=sample_rate=48000:channel_layout=stereo", "-t", 2, "-c:v", "libx264",
           "-preset", "ultrafast", "-c:a", "aac", source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    samples = decode_mono(decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts"))
    assert len(samples) == pytest.approx(2 * 44100, abs=3 * 1024)
    assert max(map(abs, samples)) == 0


@pytest.mark.parametrize("field_order", ["tff", "bff"])
def test_interlaced_source_comes_out_progressive(workdir, made, tmp_path, field_order):
    source = made(f"interlaced-{field_order}.mp4", make_interlaced_source, field_order)
    assert combed_share(source) > 0.9
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[1000000])
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts")
    assert combed_share(ts) < 0.1
    assert len(video_frames(ts)) == 90  # the deinterlacer's last picture is not lost


@pytest.mark.parametrize("size, pixel, area", [
    ("320x240", "1", (480, 360, 80, 0)),
    ("480x200", "1", (640, 266, 0, 46)),
    ("720x576", "64/45", (640, 360, 0, 0)),
    ("720x576", "16/15", (480, 360, 80, 0)),
    # 490 columns: the scaler writes past them, into the right-hand bar.
    ("720x576", "12/11", (490, 360, 74, 0)),
], ids=["4:3-pillarboxed", "2.4:1-letterboxed", "anamorphic-16:9-fills", "anamorphic-4:3",
        "anamorphic-4:3-odd-width"])
def test_source_keeps_its_shape(workdir, tmp_path, size, pixel, area):
    source = tmp_path / "shape.mp4"
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30:duration=1,setsar={pixel}",
           "-f", "lavfi", "-i", "sine=duration=1", "-c:v", "libx264", "-preset", "ultrafast",
           "-c:a", "aac", source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts")
    width, height, x, y = picture_area(ts)
    assert (width, height, x, y) == pytest.approx(area, abs=2)


def test_portrait_source_gets_portrait_renditions(workdir, sources, tmp_path):
    src = sources("portrait.mp4", seconds=2, size="180x320")
    run_ok(workdir.path, src, resolution=["360p", "480p"], bitrate=[400000, 1000000])
    variants = check_master(workdir.path / "master.m3u8", ["360p", "480p"])
    assert [a["RESOLUTION"] for a, _ in variants] == ["360x640", "480x854"]
    for name, width, height in (("360p", 360, 640), ("480p", 480, 854)):
        check_rendition(workdir.path, name, workdir.key, width, height, tmp_path)


def test_extra_audio_and_subtitle_streams_are_left_out(workdir, made, tmp_path):
    source = made("extra.mkv", make_extra_streams_source, made.directory)
    kinds = sorted(s["codec_type"] for s in streams(source))
    assert kinds == ["audio", "audio", "subtitle", "video"]
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[400000])
    _, frames, _ = check_rendition(workdir.path, "360p", workdir.key, 640, 360, tmp_path)
    assert len(frames) == 60


def bar_colours(path, width=112, height=63):
    """The decoded RGB at the middle of each of the seven top colour bars of
    the first picture, as the file's own colour tags say to read it."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-vf",
                          f"scale={width}:{height}:flags=area", "-frames:v", "1",
                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, check=True).stdout
    at = [(height // 3 * width + int((i + 0.5) * width / 7)) * 3 for i in range(7)]
    return [tuple(raw[i:i + 3]) for i in at]


# A source larger than the largest rendition is brought down to its size in
# the source stage: the colours it was tagged with, or would be read with
# untagged (BT.709 for HD), and its range must survive that.
@pytest.mark.parametrize("size, tags, names", [
    ("720x576", ("smpte170m", "bt601", "64/45", "tv"), ["360p", "480p"]),
    ("1920x1080", ("bt709", "bt709", "1", "tv"), ["360p", "1080p"]),
    ("1280x720", ("bt709", "bt709", "1", "tv"), ["360p"]),
    ("1280x720", (None, "bt709", "1", "tv"), ["360p"]),
    ("1280x720", ("bt709", "bt709", "1", "pc"), ["360p"]),
], ids=["bt601-sd", "bt709-hd", "bt709-hd-reduced", "untagged-hd-reduced", "full-range-hd-reduced"])
def test_colours_are_kept_and_stated_as_bt709(workdir, tmp_path, size, tags, names):
    space, matrix, pixel, range_ = tags

    def bars(path, tagged):
        tagging = ["-colorspace", tagged, "-color_primaries", tagged, "-color_trc", tagged] if tagged else []
        ffmpeg("-f", "lavfi", "-i", f"smptebars=size={size}:rate=25:duration=0.6",
               "-f", "lavfi", "-i", "sine=duration=0.6", "-vf",
               f"setsar={pixel},scale=out_color_matrix={matrix}:out_range={range_},format=yuv420p",
               *tagging, "-color_range", range_,
               "-c:v", "libx264", "-qp", 0, "-c:a", "aac", "-shortest", path)
        return path

    source = bars(tmp_path / "bars.mp4", space)
    run_ok(workdir.path, source, resolution=names, bitrate=[2000000] * len(names))
    # Untagged HD is read as BT.709, as players read it (the same pixels, tagged).
    expected = bar_colours(source if space else bars(tmp_path / "tagged.mp4", matrix))
    for name in names:
        ts = decrypt_rendition(workdir.path, name, workdir.key, tmp_path / f"{name}.ts")
        tags = {k: v for k, v in streams(ts)[0].items() if k.startswith("color_")}
        assert tags == {"color_range": "tv", "color_space": "bt709", "color_transfer": "bt709",
                        "color_primaries": "bt709"}
        for got, want in zip(bar_colours(ts), expected):
            assert all(abs(a - b) <= 4 for a, b in zip(got, want)), (name, bar_colours(ts), expected)


def signal_averages(path, crop=None):
    """Mean luma (YAVG) and mean saturation (SATAVG) over all pictures."""
    chain = (f"crop={crop}," if crop else "") + "signalstats,metadata=print:file=-"
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-vf", chain, "-f", "null", "-"],
                          capture_output=True, text=True, check=True).stdout
    luma = [float(v) for v in re.findall(r"YAVG=([\d.]+)", done)]
    saturation = [float(v) for v in re.findall(r"SATAVG=([\d.]+)", done)]
    return sum(luma) / len(luma), sum(saturation) / len(saturation)


HDR_TAGS = ("-color_primaries", "bt2020", "-colorspace", "bt2020nc", "-color_range", "tv")


@pytest.mark.parametrize("transfer, pix_fmt", [("smpte2084", "yuv420p10le"), ("arib-std-b67", "yuv420p10le"),
                                              ("smpte2084", "yuv422p10le")], ids=["pq", "hlg", "pq-422"])
def test_hdr_source_is_tone_mapped_to_sdr(workdir, tmp_path, transfer, pix_fmt):
    # 4:2:0 as phones record is converted by the source's own conversion,
    # 4:2:2 (camera and broadcast masters) by FFmpeg's filters.
    master = tmp_path / "master.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x180:rate=25:duration=1", "-vf",
           "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p,setparams=range=tv:"
           "color_primaries=bt709:color_trc=bt709:colorspace=bt709", "-c:v", "ffv1", master)
    # Its HDR version in 10-bit HEVC, SDR white at 203 cd/m².
    source = tmp_path / "hdr.mkv"
    ffmpeg("-i", master, "-vf", f"zscale=tin=bt709:pin=bt709:min=bt709:t={transfer}:p=bt2020:"
           f"m=bt2020nc:npl=203,format={pix_fmt}", "-c:v", "libx265", "-preset", "ultrafast",
           "-x265-params", "log-level=error:crf=12", "-color_trc", transfer, *HDR_TAGS, source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[2000000])
    luma, saturation = signal_averages(master)
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts")
    got_luma, got_saturation = signal_averages(ts)
    assert got_luma == pytest.approx(luma, rel=0.10)
    assert got_saturation == pytest.approx(saturation, rel=0.15)


def test_pq_highlights_roll_off_instead_of_clipping(workdir, tmp_path):
    # Six grey bars at 203, 300, 400, 600, 800 and 1,000 cd/m² (10-bit PQ codes).
    codes = (573, 609, 636, 674, 701, 723)
    level = "".join(f"if(lt(ld(0)\\,{i + 1})\\,{c}\\," for i, c in enumerate(codes[:-1]))
    level += f"{codes[-1]}" + ")" * (len(codes) - 1)
    source = tmp_path / "ramp.mkv"
    ffmpeg("-f", "lavfi", "-i", "color=black:size=384x216:rate=25:duration=0.5",
           "-vf", f"format=yuv420p10le,geq=lum='st(0\\,floor(X/64));{level}':cb=512:cr=512,"
           "setparams=color_primaries=bt2020:color_trc=smpte2084:colorspace=bt2020nc",
           "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error:lossless=1",
           "-color_trc", "smpte2084", *HDR_TAGS, source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[2000000])
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts")
    steps = [signal_averages(ts, crop=f"32:32:{i * 640 // 6 + 37}:164")[0] for i in range(6)]
    assert all(b > a + 0.5 for a, b in zip(steps, steps[1:])), steps
    assert steps[0] > 180, steps


def test_large_hdr_source_is_tone_mapped_at_the_rendition_size_with_the_same_look(workdir, tmp_path):
    # A PQ source four times the rendition's size: corvane tone-maps it at
    # the rendition's size; the look must stay that of the same tone mapping
    # done at the source's size and scaled afterwards.
    source = tmp_path / "hdr.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25:duration=1", "-vf",
           "zscale=tin=bt709:pin=bt709:min=bt709:t=smpte2084:p=bt2020:m=bt2020nc:npl=203,"
           "format=yuv420p10le", "-c:v", "libx265", "-preset", "ultrafast",
           "-x265-params", "log-level=error:crf=12", "-color_trc", "smpte2084", *HDR_TAGS, source)
    run_ok(workdir.path, source, resolution=["360p"], bitrate=[2000000])
    reference = tmp_path / "reference.mkv"
    ffmpeg("-i", source, "-vf", "zscale=tin=smpte2084:pin=bt2020:min=bt2020nc:rin=tv:t=linear:"
           "p=bt709:npl=203,format=gbrpf32le,tonemap=tonemap=mobius:param=0.7:desat=0:peak=4.926,"
           "zscale=t=bt709:m=bt709:r=tv,format=yuv420p,scale=640:360:flags=bicubic",
           "-c:v", "ffv1", reference)
    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "360p.ts")
    luma, saturation = signal_averages(reference)
    got_luma, got_saturation = signal_averages(ts)
    assert got_luma == pytest.approx(luma, rel=0.02)
    assert got_saturation == pytest.approx(saturation, rel=0.02)


# --- Failed renditions -----------------------------------------------------------------

def rendition_error(run, name):
    """The one ERROR line of a failed rendition: its name, the step and the
    cause as FFmpeg words it."""
    lines = [m for m in run.messages("ERROR") if m.startswith(f"Rendition {name}.m3u8 ")]
    assert len(lines) == 1, run.stderr
    found = re.fullmatch(rf"Rendition {re.escape(name)}\.m3u8 failed while ([^:]+): (.+)", lines[0])
    assert found, lines[0]
    return found.group(1), found.group(2)


def test_missing_key_info_file(workdir, sources):
    src = sources("clip.mp4", seconds=2)
    run = run_job(workdir.path, str(src), "master.m3u8", resolution=["360p"],
                  key=str(workdir.path / "absent.keyinfo"))
    assert run.returncode == 0 and run.result == "None"
    step, cause = rendition_error(run, "360p")
    assert (step, cause) == ("opening the key-info file", "No such file or directory")
    assert run.messages("ERROR")[-1] == \
        "No rendition was created; the master playlist master.m3u8 was not written."
    assert run.messages("SUCCESS") == []
    assert not (workdir.path / "master.m3u8").exists()


def test_master_lists_only_the_renditions_that_were_created(workdir, sources, tmp_path):
    src = sources("clip.mp4", seconds=2)
    # A directory where a rendition's first segment should go: the muxer
    # cannot write that segment, so those renditions fail.
    (workdir.path / "720p_000.ts").mkdir()
    (workdir.path / "360p_000.ts").mkdir()
    run = run_job(workdir.path, str(src), "master.m3u8", resolution=["720p", "480p", "360p"],
                  bitrate=[2500000, 1000000, 400000])
    assert run.returncode == 0 and run.result == "None"
    for name in ("720p", "360p"):
        rendition_error(run, name)
    assert run.messages("ERROR")[-1] == "Renditions not created: 720p, 360p."
    assert run.messages("SUCCESS") == ["Encrypted variant created: 480p.m3u8",
                                       "Encrypted Master playlist generated: master.m3u8"]
    check_master(workdir.path / "master.m3u8", ["480p"])
    check_rendition(workdir.path, "480p", workdir.key, 854, 480, tmp_path)


def test_master_playlist_that_cannot_be_written_is_an_error(workdir, sources):
    src = sources("clip.mp4", seconds=2)
    output = workdir.path / "no-such-directory" / "master.m3u8"
    run = run_job(workdir.path, str(src), str(output), resolution=["360p"])
    assert run.returncode == 0 and run.result == "None"
    assert run.messages("SUCCESS") == ["Encrypted variant created: 360p.m3u8"]
    errors = run.messages("ERROR")
    assert len(errors) == 1 and str(output) in errors[0], errors
    assert not output.exists()
