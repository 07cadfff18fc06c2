"""Shared helpers for the tests: making sources, running the job in a child
process, reading playlists, decrypting segments and probing media."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

LINE = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] \[(INFO|WARN|ERROR|SUCCESS)\] (.*)$")


def ffmpeg(*args, cwd=None):
    """Runs the ffmpeg tool; raises with its error output on failure."""
    cmd = ["ffmpeg", "-v", "error", "-nostdin", "-y", *map(str, args)]
    done = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)}\n{done.stderr}")
    return done


def make_source(path, seconds=2.0, size="320x180", rate=30, audio="sine", sample_rate=48000,
                channels=2, extra=()):
    """A short test clip: testsrc2 video and a sine (or no) audio track."""
    args = ["-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}"]
    if audio == "sine":
        layout = {1: "mono", 2: "stereo", 6: "5.1"}[channels]
        args += ["-f", "lavfi", "-i",
                 f"sine=frequency=440:sample_rate={sample_rate},aformat=channel_layouts={layout}"]
    args += ["-t", seconds, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]
    if audio == "sine":
        args += ["-c:a", "aac", "-b:a", "96k"]
    args += [*extra, path]
    ffmpeg(*args)
    return Path(path)


def write_key_info(directory, iv=None, uri="enc.key"):
    """A random key enc.key and the key-info file enc.keyinfo that names it."""
    directory = Path(directory)
    key = os.urandom(16)
    (directory / "enc.key").write_bytes(key)
    lines = [uri, str(directory / "enc.key")]
    if iv is not None:
        lines.append(iv)
    (directory / "enc.keyinfo").write_text("\n".join(lines) + "\n")
    return key, directory / "enc.keyinfo"


class JobRun:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        self.result = None
        out_lines = []
        for line in self.stdout.splitlines():
            if line.startswith("RESULT="):
                self.result = line[len("RESULT="):]
            else:
                out_lines.append(line)
        self.out_lines = out_lines
        self.err_lines = [l for l in self.stderr.splitlines() if LINE.match(l)]

    def lines(self, level=None):
        """(level, message) of every log line, stdout first then stderr."""
        found = []
        for line in self.out_lines + self.err_lines:
            m = LINE.match(line)
            if m and (level is None or m.group(2) == level):
                found.append((m.group(2), m.group(3)))
        return found

    def messages(self, level):
        return [msg for _, msg in self.lines(level)]


def run_job(cwd, *args, python=None, env=None, timeout=600, module="corvane", **kwargs):
    """Calls hls_encoder(*args, **kwargs) of `module` (corvane, or
    corvane.parallel) in a child process (the log lines go to file
    descriptors 1 and 2, not through sys.stdout) and returns a JobRun with
    its output and the repr of the result."""
    code = (
        f"import json, sys, {module} as m\n"
        "a = json.loads(sys.argv[1])\n"
        "r = m.hls_encoder(*a['args'], **a['kwargs'])\n"
        "sys.stdout.flush()\n"
        "print('RESULT=' + repr(r), flush=True)\n"
    )
    payload = json.dumps({"args": list(args), "kwargs": kwargs})
    completed = subprocess.run([python or sys.executable, "-c", code, payload], cwd=cwd,
                               capture_output=True, text=True, timeout=timeout, env=env)
    return JobRun(completed)


def read_playlist(path):
    """Media playlist as (target duration, key attributes, [(duration, uri)], ended)."""
    text = Path(path).read_text()
    target = None
    key = {}
    segments = []
    duration = None
    for line in text.splitlines():
        if line.startswith("#EXT-X-TARGETDURATION:"):
            target = int(line.split(":", 1)[1])
        elif line.startswith("#EXT-X-KEY:"):
            key = dict(re.findall(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', line.split(":", 1)[1]))
            key = {k: v.strip('"') for k, v in key.items()}
        elif line.startswith("#EXTINF:"):
            duration = float(line.split(":", 1)[1].rstrip(","))
        elif line and not line.startswith("#"):
            segments.append((duration, line))
    return target, key, segments, "#EXT-X-ENDLIST" in text


def decrypt(segment, key, iv_hex, out):
    """Decrypts one AES-128-CBC segment with openssl; returns the output path."""
    subprocess.run(["openssl", "aes-128-cbc", "-d", "-K", key.hex(), "-iv", iv_hex,
                    "-in", str(segment), "-out", str(out)], check=True, capture_output=True)
    return Path(out)


def decrypt_rendition(directory, name, key, out):
    """Decrypts every segment of a rendition and joins them into one TS file."""
    directory = Path(directory)
    _, attrs, segments, _ = read_playlist(directory / f"{name}.m3u8")
    assert attrs.get("METHOD") == "AES-128", attrs
    with open(out, "wb") as joined:
        for index, (_, uri) in enumerate(segments):
            iv = attrs["IV"][2:] if "IV" in attrs else f"{index:032x}"
            part = decrypt(directory / uri, key, iv, Path(str(out) + f".{index}"))
            data = part.read_bytes()
            assert data[:1] == b"\x47", f"{uri} does not decrypt to MPEG-TS"
            joined.write(data)
            part.unlink()
    return Path(out)


def ffprobe(path, *args):
    done = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args, str(path)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def streams(path):
    return ffprobe(path, "-show_streams")["streams"]


def video_frames(path):
    """(pts_time, key_frame) of every decoded video picture."""
    data = ffprobe(path, "-select_streams", "v:0", "-show_entries",
                   "frame=pts_time,best_effort_timestamp_time,key_frame")
    frames = []
    for f in data["frames"]:
        t = f.get("pts_time", f.get("best_effort_timestamp_time"))
        frames.append((float(t), int(f["key_frame"])))
    return frames


def variant_rates(playlist):
    """(target duration, peak, average) of a media playlist's segments, in
    bit/s, measured from the segment files as written (audio, MPEG-TS and
    encryption included). The peak is the highest rate of any run of
    contiguous segments lasting 0.5 to 1.5 times the target duration; a
    rendition shorter than half the target has no such run, and its peak is
    its average."""
    playlist = Path(playlist)
    target, _, segments, _ = read_playlist(playlist)
    sizes = [(playlist.parent / uri).stat().st_size * 8 for _, uri in segments]
    durations = [duration for duration, _ in segments]
    peak = 0.0
    for first in range(len(segments)):
        bits = seconds = 0.0
        for last in range(first, len(segments)):
            bits += sizes[last]
            seconds += durations[last]
            if seconds > 1.5 * target:
                break
            if seconds >= 0.5 * target:
                peak = max(peak, bits / seconds)
    average = sum(sizes) / sum(durations)
    return target, peak or average, average


def read_master(path):
    """Master playlist as ([tags before the first variant], [(attributes, uri)])."""
    tags, variants, attrs = [], [], None
    for line in Path(path).read_text().splitlines():
        if line.startswith("#EXT-X-STREAM-INF:"):
            found = re.findall(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', line.split(":", 1)[1])
            attrs = {k: v.strip('"') for k, v in found}
        elif line.startswith("#"):
            tags.append(line)
        elif line:
            variants.append((attrs, line))
            attrs = None
    return tags, variants


def encoder_settings(ts):
    """The settings the H.264 encoder wrote into the first video stream of an
    MPEG-TS file (libx264's "options:" message), as a dict."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(ts), "-map", "0:v:0",
                          "-c", "copy", "-f", "h264", "-"], capture_output=True, check=True).stdout
    found = re.search(rb"options: ([ -~]*)", raw)
    assert found, "the H.264 stream states no encoder settings"
    return dict(item.split("=", 1) for item in found.group(1).decode().split() if "=" in item)
