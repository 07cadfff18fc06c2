"""A corvane package played by real web players (hls.js, Shaka Player and
video.js) in headless Chromium: every variant plays, and once the master
playlist carries subtitle renditions or I-frame playlists, the players offer
them. The players and the page that drives them are in tests/players
(scripts/install-players.sh installs them); Chromium is driven over the
DevTools protocol on a pipe."""

import fcntl
import functools
import http.server
import json
import os
import re
import select
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from urllib.parse import quote

import pytest

from ladder_helpers import run_ok
from media import ffmpeg, read_master, write_key_info

PLAYERS = ("hlsjs", "shaka", "videojs")
PAGES = Path(__file__).resolve().parent / "players"
RENDITIONS = ["480p", "360p"]
# The English cue of the source is shown from 3 s to 5 s.
CUE_TIME = 4.0
SUBTITLES = {"en": ("eng", "English", "corvane cue one", 3.0, 5.0),
             "fr": ("fre", "Français", "corvane repère", 7.0, 9.0)}


def find_chromium():
    for name in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


# --- Chromium over the DevTools protocol ----------------------------------------

class Chromium:
    """Headless Chromium whose DevTools protocol is spoken on a pipe
    (--remote-debugging-pipe: commands on its descriptor 3, answers and
    events on 4, each message a JSON text ended by a NUL byte)."""

    def __init__(self, binary, profile):
        commands, self._commands = os.pipe()
        self._answers, answers = os.pipe()
        # The child's ends go above 4 first, so that placing them on 3 and 4
        # cannot overwrite one another.
        commands, answers = (self._above(fd, 10) for fd in (commands, answers))
        args = [binary, "--headless", "--no-sandbox", "--disable-gpu", "--mute-audio",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--autoplay-policy=no-user-gesture-required",
                # Every page plays as if it were in front.
                "--disable-background-media-suspend", "--disable-renderer-backgrounding",
                "--disable-background-timer-throttling", "--disable-backgrounding-occluded-windows",
                f"--user-data-dir={profile}", "--remote-debugging-pipe", "about:blank"]
        self._log = open(Path(profile) / "chromium.log", "wb")
        # A small Python program puts the pipe's ends on 3 and 4 and becomes Chromium.
        place = ("import os, sys\n"
                 "os.dup2(int(sys.argv[1]), 3); os.dup2(int(sys.argv[2]), 4)\n"
                 "os.close(int(sys.argv[1])); os.close(int(sys.argv[2]))\n"
                 "os.execv(sys.argv[3], sys.argv[3:])\n")
        self.process = subprocess.Popen(
            [sys.executable, "-c", place, str(commands), str(answers), *args],
            pass_fds=(commands, answers), stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log)
        os.close(commands)
        os.close(answers)
        self._buffer = b""
        self._next_id = 0
        self._answered = {}
        self.events = []

    @staticmethod
    def _above(fd, lowest):
        moved = fcntl.fcntl(fd, fcntl.F_DUPFD, lowest)
        os.close(fd)
        return moved

    def send(self, method, params=None, session=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        return self._next_id

    def _read(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                raise TimeoutError("Chromium did not answer in time")
            data = os.read(self._answers, 1 << 16)
            if not data:
                raise RuntimeError("Chromium closed its pipe: see " + self._log.name)
            self._buffer += data
        message, self._buffer = self._buffer.split(b"\0", 1)
        message = json.loads(message)
        if "id" in message:
            self._answered[message["id"]] = message
        else:
            self.events.append(message)

    def wait(self, ids, timeout=60):
        """The results of the commands `ids`, in that order."""
        deadline = time.monotonic() + timeout
        while not all(i in self._answered for i in ids):
            self._read(deadline)
        results = []
        for i in ids:
            answer = self._answered.pop(i)
            if "error" in answer:
                raise RuntimeError(f"DevTools: {answer['error']}")
            results.append(answer["result"])
        return results

    def call(self, method, params=None, session=None, timeout=60):
        return self.wait([self.send(method, params, session)], timeout)[0]

    def wait_event(self, method, session, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["method"] == method and event.get("sessionId") == session:
                    self.events.remove(event)
                    return event
            self._read(deadline)

    def open(self, url):
        """Opens `url` in a window of its own (so that no page is a tab in
        the background) and waits for its load event; returns the page's session."""
        target = self.call("Target.createTarget", {"url": "about:blank", "newWindow": True})["targetId"]
        session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.call("Page.enable", session=session)
        self.call("Page.navigate", {"url": url}, session=session)
        self.wait_event("Page.loadEventFired", session)
        return session

    def close(self):
        try:
            self.call("Browser.close", timeout=10)
            self.process.wait(timeout=10)
        except Exception:
            self.process.kill()
            self.process.wait()
        os.close(self._commands)
        os.close(self._answers)
        self._log.close()


def play_all(chromium, urls, timeout=240):
    """Opens every page of `urls` ({name: url}), all playing at once, and
    returns {name: the page's window.corvaneResult}."""
    sessions = {name: chromium.open(url) for name, url in urls.items()}
    ids = {name: chromium.send("Runtime.evaluate", {"expression": "window.corvaneResult",
                                                   "awaitPromise": True, "returnByValue": True}, session)
           for name, session in sessions.items()}
    try:
        answers = chromium.wait(list(ids.values()), timeout)
    except TimeoutError:
        progress = {name: chromium.call("Runtime.evaluate", {"expression": "window.corvaneProgress",
                                                             "returnByValue": True}, session)
                    for name, session in sessions.items()}
        raise AssertionError(f"the pages did not finish; so far: {progress}") from None
    results = {}
    for name, answer in zip(ids, answers):
        assert "exceptionDetails" not in answer, (name, answer["exceptionDetails"])
        results[name] = answer["result"]["value"]
    return results


# --- Serving the package and the players ---------------------------------------

class Handler(http.server.SimpleHTTPRequestHandler):
    """Serves /pkg/ from the package's folder and /players/ from tests/players."""
    extensions_map = {".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t",
                      ".vtt": "text/vtt", ".js": "text/javascript", ".html": "text/html",
                      ".css": "text/css", "": "application/octet-stream"}

    def __init__(self, *args, package, **kwargs):
        self.package = package
        super().__init__(*args, directory=str(PAGES), **kwargs)

    def translate_path(self, path):
        prefix, _, rest = path.lstrip("/").partition("/")
        roots = {"pkg": self.package, "players": PAGES}
        if prefix not in roots:
            return str(PAGES / ".none")
        self.directory = str(roots[prefix])
        return super().translate_path("/" + rest)

    def log_message(self, *args):
        pass


def play_package(folder, profile, cue_time=CUE_TIME, lang="en"):
    """Serves `folder` on the loopback and plays its master.m3u8 with every
    player, all at once in one Chromium; returns {player: result}."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Handler, package=Path(folder)))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    chromium = Chromium(find_chromium(), profile)
    try:
        return play_all(chromium, {
            player: f"{base}/players/index.html?player={player}&src={quote('/pkg/master.m3u8')}"
                    f"&t={cue_time}&lang={lang}"
            for player in PLAYERS})
    finally:
        chromium.close()
        server.shutdown()
        server.server_close()


def srt_time(seconds):
    return f"00:00:{int(seconds):02d},{round(seconds % 1 * 1000):03d}"


def make_subtitled_source(path, seconds=12):
    """testsrc2 at 640x360 and 30 frames per second, a sine, and two SubRip
    subtitle tracks in Matroska (English, the default, then French), each
    with one cue of SUBTITLES."""
    path = Path(path)
    inputs = ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=30",
              "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    tags = []
    for index, (language, title, cue, start, end) in enumerate(SUBTITLES.values()):
        srt = path.with_name(f"{path.stem}.{language}.srt")
        srt.write_text(f"1\n{srt_time(start)} --> {srt_time(end)}\n{cue}\n\n", encoding="utf-8")
        inputs += ["-i", srt]
        tags += [f"-metadata:s:s:{index}", f"language={language}",
                 f"-metadata:s:s:{index}", f"title={title}",
                 f"-disposition:s:{index}", "default" if index == 0 else "0"]
    ffmpeg(*inputs, "-map", "0:v", "-map", "1:a", "-map", "2", "-map", "3", "-t", seconds,
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-b:a", "96k", "-c:s", "srt", *tags, path)
    return path


@pytest.fixture(scope="module")
def played(tmp_path_factory):
    """(folder of the package, {player: result}): one job and one Chromium for
    the module, shared by the test processes of a parallel run (the first to
    come makes them; the others read its results)."""
    binary = find_chromium()
    if binary is None:
        pytest.skip("Chromium is not installed (scripts/install-players.sh installs it)")
    for library in ("hls.js", "shaka-player", "video.js"):
        if not (PAGES / "node_modules" / library).is_dir():
            pytest.fail(f"{library} is missing from tests/players/node_modules: run scripts/install-players.sh")
    shared = tmp_path_factory.getbasetemp()
    if os.environ.get("PYTEST_XDIST_WORKER"):
        shared = shared.parent
    folder = shared / "players"
    results = folder / "results.json"
    with open(shared / "players.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not results.exists():
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            write_key_info(folder)
            source = make_subtitled_source(folder / "source.mkv")
            run_ok(folder, source, resolution=RENDITIONS, bitrate=[800000, 400000], key="enc.keyinfo")
            profile = folder / "chromium"
            profile.mkdir()
            outcome = play_package(folder, profile)
            results.write_text(json.dumps(outcome))
    return folder, json.loads(results.read_text())


def master_media(folder, kind):
    """The attributes of the master playlist's EXT-X-MEDIA lines of TYPE `kind`."""
    found = []
    for line in (folder / "master.m3u8").read_text().splitlines():
        if line.startswith("#EXT-X-MEDIA:"):
            attrs = {k: v.strip('"') for k, v in re.findall(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)', line)}
            if attrs.get("TYPE") == kind:
                found.append(attrs)
    return found


def language(code):
    """en for en, eng, en-US; fr for fr, fre, fra."""
    return code.lower()[:2] if code else code


@pytest.mark.parametrize("player", PLAYERS)
def test_every_variant_plays(played, player):
    folder, results = played
    result = results[player]
    assert result["errors"] == [], result
    assert result["engine"] == "mse", result
    heights = sorted(int(attrs["RESOLUTION"].split("x")[1])
                     for attrs, _ in read_master(folder / "master.m3u8")[1])
    assert sorted(v["height"] for v in result["variants"]) == heights, result
    assert [v for v in result["variants"] if not v["played"]] == [], result


@pytest.mark.parametrize("player", PLAYERS)
def test_subtitles_offered_and_shown(played, player):
    folder, results = played
    media = master_media(folder, "SUBTITLES")
    if not media:
        pytest.skip("the master playlist has no subtitle renditions")
    result = results[player]
    offered = sorted((language(t["language"]), t["name"]) for t in result["subtitles"])
    assert offered == sorted((language(m.get("LANGUAGE")), m["NAME"]) for m in media), result
    assert {"en", "fr"} <= {lang for lang, _ in offered}, result
    assert result["cues"] and SUBTITLES["en"][2] in result["cues"]["texts"], result


def test_shaka_lists_iframe_tracks(played):
    folder, results = played
    iframes = [line for line in (folder / "master.m3u8").read_text().splitlines()
               if line.startswith("#EXT-X-I-FRAME-STREAM-INF:")]
    if not iframes:
        pytest.skip("the master playlist has no I-frame playlists")
    tracks = results["shaka"]["trickTracks"]
    assert len(tracks) == len(iframes) == len(RENDITIONS), results["shaka"]
