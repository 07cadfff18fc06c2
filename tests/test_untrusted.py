"""Sources from strangers: a file's content never makes the job read another
file or reach the network, and sizes that would exhaust memory are refused
before anything is decoded. A local HTTP server records every request."""

import http.server
import threading
from pathlib import Path

import pytest

from media import ffmpeg, make_source
from test_robustness import check_all_done, check_failed_early, job

SEGMENT = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n{entries}#EXT-X-ENDLIST\n"
REFUSED = "The source refers to other files or URLs; reading them is not allowed: only the file named is read."
PLAYLIST_REFUSED = ("The playlist refers to files outside its own folder or to URLs of another "
                    "scheme; reading them is not allowed.")


def hls(*names):
    return SEGMENT.format(entries="".join(f"#EXTINF:1.0,\n{n}\n" for n in names))


@pytest.fixture(scope="module")
def server():
    """An HTTP server on 127.0.0.1 that answers 404 and records each path asked for."""
    asked = []

    class Recorder(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            asked.append(self.path)
            self.send_error(404)

        def log_message(self, *args):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}", asked
    httpd.shutdown()


@pytest.fixture(scope="module")
def secret(tmp_path_factory):
    """Another user's video, outside the job's folder."""
    return make_source(tmp_path_factory.mktemp("private") / "secret.ts", seconds=1, size="160x90")


def dash(url):
    return ('<?xml version="1.0"?>\n<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" '
            'mediaPresentationDuration="PT1S" minBufferTime="PT1S" '
            'profiles="urn:mpeg:dash:profile:isoff-on-demand:2011"><Period><AdaptationSet>'
            f'<Representation id="1" bandwidth="100000"><BaseURL>{url}</BaseURL>'
            '</Representation></AdaptationSet></Period></MPD>\n')


@pytest.mark.parametrize("name, content", [
    ("upload.mp4", lambda secret, url: hls(secret)),
    ("upload.mp4", lambda secret, url: hls("next.ts")),
    ("upload.mp4", lambda secret, url: hls(f"{url}/segment.ts")),
    ("upload.mov", lambda secret, url: "ffconcat version 1.0\nfile next.ts\n"),
    ("upload.mkv", lambda secret, url: dash(f"{url}/segment.mp4")),
    ("upload.mkv", lambda secret, url: dash(str(secret))),
], ids=["hls-naming-a-secret-file", "hls-naming-a-file-next-to-it", "hls-naming-a-url",
        "concat-naming-a-file-next-to-it", "dash-naming-a-url", "dash-naming-a-secret-file"])
def test_a_file_naming_other_files_is_refused(workdir, server, secret, name, content):
    url, asked = server
    (workdir.path / "next.ts").write_bytes(secret.read_bytes())
    source = workdir.path / name
    source.write_text(content(secret, url))
    before = sorted(p.name for p in workdir.path.iterdir())
    asked.clear()
    check_failed_early(job(workdir.path, source), workdir.path, REFUSED)
    assert asked == []
    # Nothing was written, so no byte of the secret file either.
    assert sorted(p.name for p in workdir.path.iterdir()) == before


def test_a_playlist_chosen_by_the_caller_reads_its_own_segments(workdir, secret, tmp_path):
    folder = tmp_path / "show"
    folder.mkdir()
    for n in range(2):
        (folder / f"part{n}.ts").write_bytes(secret.read_bytes())
    (folder / "show.m3u8").write_text(hls("part0.ts", "part1.ts"))
    run = job(workdir.path, folder / "show.m3u8", resolution=["360p", "480p"],
              bitrate=[400000, 800000])
    check_all_done(run, workdir.path, names=("360p", "480p"))


@pytest.mark.parametrize("segment", ["../secret.ts", "absolute", "link.ts"])
def test_a_playlist_reaching_out_of_its_folder_is_refused(workdir, secret, tmp_path, segment):
    folder = tmp_path / "show"
    folder.mkdir()
    (folder / "part0.ts").write_bytes(secret.read_bytes())
    (tmp_path / "secret.ts").write_bytes(secret.read_bytes())
    (folder / "link.ts").symlink_to(secret)
    name = str(secret) if segment == "absolute" else segment
    (folder / "show.m3u8").write_text(hls(name))
    check_failed_early(job(workdir.path, folder / "show.m3u8"), workdir.path, PLAYLIST_REFUSED)


def test_a_stream_growing_to_an_oversized_picture_fails(workdir, tmp_path):
    # MPEG-TS joined from a small clip and one of 8200x64 pictures.
    parts = []
    for n, size in enumerate(("160x90", "8200x64")):
        parts.append(tmp_path / f"part{n}.ts")
        ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate=30:duration=0.5", "-f", "lavfi",
               "-i", "sine=duration=0.5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac",
               "-output_ts_offset", n, parts[-1])
    source = workdir.path / "joined.ts"
    source.write_bytes(b"".join(p.read_bytes() for p in parts))
    run = job(workdir.path, source)
    assert run.messages("ERROR") == [
        "Rendition 360p.m3u8 failed: The source's pictures are 8200x64, larger than the 8192 pixels "
        "on a side and 36 megapixels accepted.",
        "No rendition was created; the master playlist master.m3u8 was not written."]


@pytest.mark.parametrize("width, height", [(16384, 16384), (8200, 256), (7000, 6000)])
def test_a_source_claiming_an_oversized_picture_is_refused(workdir, width, height):
    # A Matroska file of 320x256 pictures whose header claims another size.
    source = workdir.path / "huge.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x256:rate=30:duration=0.5", "-f", "lavfi",
           "-i", "sine=duration=0.5", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", source)
    data = source.read_bytes()
    for element, old, new in ((b"\xb0\x82", 320, width), (b"\xba\x82", 256, height)):
        assert data.count(element + old.to_bytes(2, "big")) == 1
        data = data.replace(element + old.to_bytes(2, "big"), element + new.to_bytes(2, "big"))
    source.write_bytes(data)
    check_failed_early(job(workdir.path, source), workdir.path,
                       f"The source's pictures are {width}x{height}, larger than the 8192 pixels "
                       "on a side and 36 megapixels accepted.")
