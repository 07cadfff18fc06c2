#!/usr/bin/env python3
"""Makes the seed files of the fuzz run: short, small clips (with sound, but
for one) in the containers and codecs a user is most likely to hand to
hls_encoder.

    python3 fuzz/make_seeds.py [DIR]      (default: build/fuzz/seeds)

Each seed is 1.5 s of 160x90 video at 30 frames per second with a sine tone
(but for a few odd shapes),
so that one fuzz case (one 360p rendition) takes about a second. Seeds that
already exist are kept.
"""

import subprocess
import sys
from pathlib import Path

VIDEO = "testsrc2=size=160x90:rate=30"
AUDIO = "sine=frequency=440:sample_rate=48000,aformat=channel_layouts=stereo"
SECONDS = "1.5"

# name -> encoding arguments
SEEDS = {
    "h264-aac.mp4": ["-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-pix_fmt", "yuv420p",
                     "-c:a", "aac", "-b:a", "64k", "-movflags", "+faststart"],
    "h264-aac.ts": ["-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-pix_fmt", "yuv420p",
                    "-c:a", "aac", "-b:a", "64k"],
    "h264-aac.mkv": ["-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-pix_fmt", "yuv420p",
                     "-c:a", "aac", "-b:a", "64k", "-cluster_time_limit", "500"],
    "mpeg2-mp2.ts": ["-c:v", "mpeg2video", "-g", "15", "-c:a", "mp2", "-b:a", "64k"],
    # Coded as interlaced, as broadcast recordings are: the deinterlacer runs.
    "mpeg2-interlaced-mp2.ts": ["-c:v", "mpeg2video", "-g", "15", "-flags", "+ildct+ilme",
                                "-top", "1", "-c:a", "mp2", "-b:a", "64k"],
    "mpeg4-pcm.mkv": ["-c:v", "mpeg4", "-g", "15", "-c:a", "pcm_s16le"],
    # A 4:3 picture: the renditions draw it between black bars.
    "h264-4x3-aac.mp4": ["-vf", "scale=120:90", "-c:v", "libx264", "-preset", "ultrafast",
                         "-g", "15", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k"],
    "h264-aac-frag.mp4": ["-c:v", "libx264", "-preset", "ultrafast", "-g", "15",
                          "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k",
                          "-movflags", "frag_keyframe+empty_moov"],
    # Phone HDR video: 10-bit HEVC in PQ and in HLG, tone-mapped by the source.
    "hevc10-pq-aac.mp4": ["-vf", "zscale=tin=bt709:pin=bt709:min=bt709:t=smpte2084:p=bt2020:"
                          "m=bt2020nc:npl=203,format=yuv420p10le", "-c:v", "libx265",
                          "-preset", "ultrafast", "-x265-params", "log-level=error:keyint=15",
                          "-color_primaries", "bt2020", "-color_trc", "smpte2084",
                          "-colorspace", "bt2020nc", "-tag:v", "hvc1", "-c:a", "aac", "-b:a", "64k"],
    "hevc10-hlg-aac.mkv": ["-vf", "zscale=tin=bt709:pin=bt709:min=bt709:t=arib-std-b67:p=bt2020:"
                           "m=bt2020nc:npl=203,format=yuv420p10le", "-c:v", "libx265",
                           "-preset", "ultrafast", "-x265-params", "log-level=error:keyint=15",
                           "-color_primaries", "bt2020", "-color_trc", "arib-std-b67",
                           "-colorspace", "bt2020nc", "-c:a", "aac", "-b:a", "64k"],
    # Decoding-order stamps only (pts = dts), as in old FLV files.
    "h264-dts-only-aac.flv": ["-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-bf", "3",
                              "-bsf:v", "setts=pts=DTS", "-pix_fmt", "yuv420p", "-c:a", "aac",
                              "-b:a", "64k"],
    # A time-lapse: one picture a second, key frames and repeats by time.
    "h264-1fps-aac.mkv": ["-r", "1", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                          "-c:a", "aac", "-b:a", "64k"],
    # Old Flash video: Nellymoser sound that starts half a second late.
    "flv1-nellymoser-late.flv": ["-c:v", "flv1", "-af", "atrim=start=0.5", "-c:a", "nellymoser",
                                 "-ar", "22050"],
    # Music whose only picture is its cover: a still as long as the sound.
    "mp3-cover.mp3": ["-map", "1:a", "-map", "0:v", "-frames:v", "1", "-c:v", "mjpeg",
                      "-disposition:v:0", "attached_pic", "-c:a", "libmp3lame", "-id3v2_version", "3"],
    # A screen recording without sound: the renditions carry silence.
    "h264-silent.mp4": ["-an", "-c:v", "libx264", "-preset", "ultrafast", "-g", "15",
                        "-pix_fmt", "yuv420p"],
}


# Content from strangers: playlists and scripts under media names, naming
# other files and URLs, which the job must refuse to open.
TEXT_SEEDS = {
    "playlist-hls.mp4": "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\nh264-aac.ts\n"
                        "#EXTINF:1.0,\n/etc/passwd\n#EXTINF:1.0,\nhttp://127.0.0.1:9/x.ts\n"
                        "#EXT-X-ENDLIST\n",
    "playlist-concat.mov": "ffconcat version 1.0\nfile h264-aac.ts\nfile mpeg2-mp2.ts\n",
}


def oversized_claim(directory):
    """A Matroska clip of 320x256 pictures whose header claims 16384x16384."""
    path = directory / "oversized-claim.mkv"
    if not path.exists() or path.stat().st_size == 0:
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-t", SECONDS,
                        "-i", "testsrc2=size=320x256:rate=30", "-f", "lavfi", "-t", SECONDS,
                        "-i", AUDIO, "-c:v", "libx264", "-preset", "ultrafast", "-g", "15",
                        "-c:a", "aac", "-b:a", "64k", str(path)], check=True)
        data = path.read_bytes()
        data = data.replace(b"\xb0\x82\x01\x40", b"\xb0\x82\x40\x00", 1)
        path.write_bytes(data.replace(b"\xba\x82\x01\x00", b"\xba\x82\x40\x00", 1))
    return path


def cut_in_gop(directory):
    """HEVC at 50 fps in MPEG-TS, cut from a longer recording inside a GOP."""
    path = directory / "hevc50-cut-in-gop.ts"
    if not path.exists() or path.stat().st_size == 0:
        whole = directory / "hevc50-whole.ts.tmp"
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-t", "2.5",
                        "-i", "testsrc2=size=160x90:rate=50", "-f", "lavfi", "-t", "2.5", "-i", AUDIO,
                        "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                        "log-level=error:keyint=25", "-c:a", "mp2", "-f", "mpegts", str(whole)],
                       check=True)
        data = whole.read_bytes()
        whole.unlink()
        start = len(data) // 3 // 188 * 188
        path.write_bytes(data[start:])
    return path


SUBTITLES = ("1\n00:00:00,200 --> 00:00:00,900\nfirst <i>cue</i>\n\n"
             "2\n00:00:01,000 --> 00:00:01,400\nsecond\ncue\n\n")
ASS = ("[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize\n"
       "Style: Default,Arial,20\n\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, "
       "MarginR, MarginV, Effect, Text\nDialogue: 0,0:00:00.30,0:00:01.20,Default,,0,0,0,,"
       "{\\i1}styled{\\i0} line\\Nsecond line\n")


def subtitled(directory):
    """Clips with text subtitle tracks: SubRip and ASS in Matroska, timed
    text in MP4."""
    made = []
    srt, ass = directory / "cues.srt.tmp", directory / "cues.ass.tmp"
    srt.write_text(SUBTITLES)
    ass.write_text(ASS)
    for name, args in {"h264-aac-srt-ass.mkv": ["-i", str(srt), "-i", str(ass), "-map", "0", "-map", "1",
                                                "-map", "2", "-map", "3", "-c:s:0", "srt", "-c:s:1", "ass",
                                                "-metadata:s:s:0", "language=eng"],
                       "h264-aac-mov_text.mp4": ["-i", str(srt), "-map", "0", "-map", "1", "-map", "2",
                                                 "-c:s", "mov_text"]}.items():
        path = directory / name
        if not path.exists() or path.stat().st_size == 0:
            subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-t", SECONDS,
                            "-i", VIDEO, "-f", "lavfi", "-t", SECONDS, "-i", AUDIO, *args,
                            "-c:v", "libx264", "-preset", "ultrafast", "-g", "15", "-pix_fmt", "yuv420p",
                            "-c:a", "aac", "-b:a", "64k", str(path)], check=True)
        made.append(path)
    srt.unlink()
    ass.unlink()
    return made


def make_seeds(directory):
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    made = []
    for name, codec_args in SEEDS.items():
        path = directory / name
        if not path.exists() or path.stat().st_size == 0:
            cmd = ["ffmpeg", "-v", "error", "-nostdin", "-y",
                   "-f", "lavfi", "-t", SECONDS, "-i", VIDEO,
                   "-f", "lavfi", "-t", SECONDS, "-i", AUDIO, *codec_args, str(path)]
            subprocess.run(cmd, check=True)
        made.append(path)
    for name, text in TEXT_SEEDS.items():
        (directory / name).write_text(text)
        made.append(directory / name)
    made.append(oversized_claim(directory))
    made.append(cut_in_gop(directory))
    made.extend(subtitled(directory))
    return made


if __name__ == "__main__":
    for seed in make_seeds(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "build" / "fuzz" / "seeds"):
        print(seed, seed.stat().st_size)
