"""The parts of corvane that need no FFmpeg calls and no files, tested in
C++: the plan, the master playlist's text, the key-info file's text, a
media playlist's durations and rates, the output clock, the audio timeline,
what a job shows of FFmpeg's messages and which playlists a job holds.

Each group is one file, tests/cpp/unit_<group>.cpp, of cases run by the small
runner in tests/cpp/unit.h. They are built into one program, linked with
only the sources that GROUPS names, and run once per group."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CPP = ROOT / "tests" / "cpp"

# The sources each group tests. None calls FFmpeg beyond libavutil's
# arithmetic and error texts.
GROUPS = {
    "plan": ["src/ladder/plan.cpp"],
    "master": ["src/ladder/master_playlist.cpp"],
    "key_info": ["src/rendition/key_info.cpp"],
    "rates": ["src/rendition/media_playlist.cpp"],
    "output_clock": ["src/av/status.cpp"],
    "audio_timeline": ["src/source/audio_timeline.cpp"],
    "chunk_starts": [],
    "webvtt": ["src/subtitles/webvtt.cpp"],
    "iframes": ["src/rendition/iframe_playlist.cpp", "src/rendition/media_playlist.cpp"],
    "progress": ["src/ladder/progress.cpp", "src/log/log.cpp"],
    "tone_map": ["src/source/tone_map.cpp", "src/source/tone_map_x86.cpp"],
    "ffmpeg_messages": ["src/log/ffmpeg_messages.cpp"],
    "output_claim": ["src/ladder/output_claim.cpp", "src/log/log.cpp"],
}


@pytest.fixture(scope="session")
def unit_tests(tmp_path_factory):
    """Builds every tests/cpp/unit_*.cpp with the runner and the sources of
    GROUPS; returns the program's path."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("the unit tests need g++")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libavutil"], capture_output=True, text=True)
    if flags.returncode != 0:
        pytest.fail(f"pkg-config does not find libavutil:\n{flags.stderr}")
    sources = sorted(CPP.glob("unit_*.cpp"))
    for tested in GROUPS.values():
        sources += [ROOT / path for path in tested if ROOT / path not in sources]
    program = tmp_path_factory.mktemp("unit_tests") / "unit_tests"
    build = subprocess.run(
        [compiler, "-std=c++17", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
         *map(str, sources), *flags.stdout.split(), "-o", str(program)],
        capture_output=True, text=True)
    if build.returncode != 0:
        pytest.fail(f"the unit tests do not build:\n{build.stderr}")
    return program


def test_every_group_is_run(unit_tests):
    done = subprocess.run([str(unit_tests), "--groups"], capture_output=True, text=True, check=True)
    assert done.stdout.split() == sorted(GROUPS)


@pytest.mark.parametrize("group", sorted(GROUPS))
def test_unit_group(unit_tests, group):
    done = subprocess.run([str(unit_tests), group], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
