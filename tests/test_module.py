"""The Python face of corvane: docstrings and signature, argument conversion
and its TypeErrors, and the interpreter-version guard."""

import ast
import glob
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import corvane
from ladder_helpers import check_master
from media import LINE, decrypt_rendition, encoder_settings, read_playlist, run_job

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "corvane"
PY39_BUILD = ROOT / "build" / "py39"

MODULE_DOC = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"
FUNCTION_DOC = "Transcode video to HLS with dynamic ABR"
HEADER_ONLY = "#EXTM3U\n#EXT-X-VERSION:3\n"

SIGNATURE = re.compile(
    r"^hls_encoder\(input: str, output: str, "
    r"resolution: (?P<resolution>\S.*?) = \['1080p', '720p', '480p', '360p'\], "
    r"bitrate: (?P<bitrate>\S.*?) = \[5000000, 2500000, 1000000, 400000\], "
    r"key: str = 'enc\.keyinfo'\) -> None$"
)


def tiny_source(sources):
    return sources("tiny-160x90.mp4", seconds=0.4, size="160x90")


# -- Calls in a child process ------------------------------------------------

CALL = """\
import sys, corvane
try:
    result = {call}
except TypeError as error:
    sys.stdout.flush()
    print("TYPEERROR=" + str(error).replace("\\n", " | "), flush=True)
else:
    sys.stdout.flush()
    print("RESULT=" + repr(result), flush=True)
"""


class Call:
    """The raw output of one call made in a child process, and its log lines."""

    def __init__(self, done):
        assert done.returncode == 0, done.stderr.decode(errors="replace")
        self.stdout, self.stderr = done.stdout, done.stderr
        self.result = self.type_error = None
        self.lines = []
        for raw in done.stdout.splitlines() + done.stderr.splitlines():
            text = raw.decode("utf-8", errors="surrogateescape")
            if text.startswith("RESULT="):
                self.result = text[len("RESULT="):]
            elif text.startswith("TYPEERROR="):
                self.type_error = text[len("TYPEERROR="):]
            else:
                m = LINE.match(text)
                if m:
                    self.lines.append((m.group(2), m.group(3)))


def call_in_child(cwd, call):
    """Runs `call` (Python source of a corvane.hls_encoder call) in a child
    process whose log lines go to file descriptors 1 and 2."""
    done = subprocess.run([sys.executable, "-c", CALL.format(call=call)], cwd=cwd,
                          capture_output=True, timeout=300)
    return Call(done)


def missing_input_lines(path):
    return [("INFO", f"Analyzing video file: {path}..."),
            ("ERROR", f"Could not open {path}. Make sure the file exists.")]


# -- Module attributes, docstrings, signature --------------------------------

def test_module_docstring():
    assert corvane.__doc__ == MODULE_DOC
    assert corvane._engine.__doc__ == MODULE_DOC


def test_hls_encoder_is_the_only_public_name():
    assert [name for name in dir(corvane) if not name.startswith("_")] == ["hls_encoder"]
    assert callable(corvane.hls_encoder)


def test_function_docstring_starts_with_the_signature():
    first, _, rest = corvane.hls_encoder.__doc__.partition("\n")
    m = SIGNATURE.match(first)
    assert m, first
    # The sequence types are spelled by pybind11; they must still say what
    # the items are.
    assert re.search(r"\bstr\b", m.group("resolution")), first
    assert "int" in m.group("bitrate").lower(), first
    assert FUNCTION_DOC in rest
    # One signature: no overloads.
    assert "hls_encoder(" not in rest


def test_package_installs_its_python_files_and_stubs():
    """Every .py of python/corvane/ is installed, with the stubs, next to
    the engine."""
    installed = Path(corvane.__file__).parent
    assert Path(corvane._engine.__file__).parent == installed
    names = sorted(p.name for p in PACKAGE.glob("*.py")) + ["__init__.pyi", "py.typed"]
    for name in names:
        assert (installed / name).read_bytes() == (PACKAGE / name).read_bytes(), name


def test_stub_matches_the_binding():
    """The package's stub offers the same single function, names and defaults."""
    stub = ast.parse((PACKAGE / "__init__.pyi").read_text())
    assert ast.get_docstring(stub) == MODULE_DOC
    functions = [n for n in stub.body if isinstance(n, ast.FunctionDef)]
    assert [f.name for f in functions] == ["hls_encoder"]
    args = functions[0].args
    assert [a.arg for a in args.args] == ["input", "output", "resolution", "bitrate", "key"]
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    assert [ast.literal_eval(d) for d in args.defaults] == [
        ["1080p", "720p", "480p", "360p"], [5000000, 2500000, 1000000, 400000], "enc.keyinfo"]
    assert isinstance(functions[0].returns, ast.Constant) and functions[0].returns.value is None


# -- TypeErrors: nothing runs ------------------------------------------------

@pytest.mark.parametrize(
    "call",
    [
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", "720p")', id="str-resolution"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", None)', id="none-resolution"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p", 5])',
                     id="int-in-resolution"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p"], [2.5e6])',
                     id="float-in-bitrate"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p"], [2**31])',
                     id="bitrate-above-int32"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p"], [-2**31 - 1])',
                     id="bitrate-below-int32"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p"], ["5000000"])',
                     id="str-in-bitrate"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p"], None)',
                     id="none-bitrate"),
        pytest.param('corvane.hls_encoder(None, "master.m3u8")', id="none-input"),
        pytest.param('corvane.hls_encoder("in.mp4", 3)', id="int-output"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", key=None)', id="none-key"),
        pytest.param("corvane.hls_encoder()", id="no-arguments"),
        pytest.param('corvane.hls_encoder("in.mp4")', id="no-output"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", keyfile="enc.keyinfo")',
                     id="unknown-keyword"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", ["720p"], [1], "k", "extra")',
                     id="too-many-positionals"),
        pytest.param('corvane.hls_encoder("in.mp4", "master.m3u8", input="other.mp4")',
                     id="input-twice"),
    ],
)
def test_bad_arguments_raise_type_error_and_run_nothing(tmp_path, call):
    done = call_in_child(tmp_path, call)
    assert done.result is None
    assert done.type_error is not None, done.lines
    assert done.type_error.startswith("hls_encoder(): incompatible function arguments.")
    # pybind11 lists the accepted signature in the message.
    assert "(input: str, output: str, resolution: " in done.type_error
    # The job never started: not a single log line, no file.
    assert done.lines == []
    assert list(tmp_path.iterdir()) == []


# -- Accepted calls reach the job ----------------------------------------------

@pytest.mark.parametrize(
    "call, path",
    [
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8")', "missing.mp4",
                     id="required-only"),
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8", ["720p"], [1], "k")',
                     "missing.mp4", id="all-positional"),
        pytest.param('corvane.hls_encoder(key="enc.keyinfo", output="master.m3u8", '
                     'input="missing.mp4")', "missing.mp4", id="keywords-any-order"),
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8", bitrate=[], resolution=[])',
                     "missing.mp4", id="empty-lists"),
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8", ("360p", "1080p"), '
                     '(1, 2, 3))', "missing.mp4", id="tuples"),
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8", (n for n in ["360p"]), '
                     '(b for b in [400000]))', "missing.mp4", id="generators"),
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8", ["360p"], '
                     '[2**31 - 1, -2**31, 0, True])', "missing.mp4", id="int32-limits-and-bool"),
        pytest.param('corvane.hls_encoder("missing.mp4", "master.m3u8", ["360p"], '
                     '[type("Index", (), {"__index__": lambda self: 7})()])', "missing.mp4",
                     id="index-object"),
        pytest.param('corvane.hls_encoder(b"missing.mp4", b"master.m3u8", [b"360p"], [1], '
                     'b"enc.keyinfo")', "missing.mp4", id="bytes-paths"),
        pytest.param('corvane.hls_encoder(bytearray(b"missing.mp4"), "master.m3u8")',
                     "missing.mp4", id="bytearray-path"),
        pytest.param('corvane.hls_encoder("no/such/dir/clip.mp4", "master.m3u8")',
                     "no/such/dir/clip.mp4", id="missing-directory"),
    ],
)
def test_accepted_call_reaches_the_job(tmp_path, call, path):
    done = call_in_child(tmp_path, call)
    assert done.type_error is None
    assert done.result == "None"
    assert done.lines == missing_input_lines(path)
    assert list(tmp_path.iterdir()) == []


def test_non_ascii_path_is_passed_as_utf8(tmp_path):
    path = "missing-caf\u00e9-\u65e5\u672c-\U0001f3ac.mp4"
    done = call_in_child(tmp_path, f"corvane.hls_encoder({ascii(path)}, 'master.m3u8')")
    assert done.result == "None"
    assert f"[INFO] Analyzing video file: {path}...\n".encode() in done.stdout
    assert done.stderr.endswith(
        f"[ERROR] Could not open {path}. Make sure the file exists.\n".encode())


@pytest.mark.parametrize("kind", ["bytes", "bytearray"])
def test_bytes_path_is_passed_byte_for_byte(tmp_path, kind):
    # Not valid UTF-8: the job gets (and echoes) the bytes as they are.
    path = b"missing-\xe9\xff.mp4"
    done = call_in_child(tmp_path, f"corvane.hls_encoder({kind}({path!r}), 'master.m3u8')")
    assert done.result == "None"
    assert b"[INFO] Analyzing video file: " + path + b"...\n" in done.stdout
    assert done.stderr.endswith(b"[ERROR] Could not open " + path + b". Make sure the file exists.\n")


@pytest.mark.parametrize(
    "resolution, names",
    [
        pytest.param('("foo", "bar")', ["foo", "bar"], id="tuple"),
        pytest.param('(n for n in ["foo", "bar"])', ["foo", "bar"], id="generator"),
        pytest.param('{"foo": 1, "bar": 2}.keys()', ["foo", "bar"], id="dict-keys"),
        pytest.param('map(str.upper, ["foo", "bar"])', ["FOO", "BAR"], id="map"),
        pytest.param('[b"foo", bytearray(b"bar")]', ["foo", "bar"], id="bytes-items"),
        pytest.param('frozenset(["foo"])', ["foo"], id="frozenset"),
    ],
)
def test_resolution_containers_reach_the_plan_in_order(workdir, sources, resolution, names):
    src = tiny_source(sources)
    done = call_in_child(workdir.path, f"corvane.hls_encoder({str(src)!r}, 'master.m3u8', "
                                       f"{resolution})")
    assert done.result == "None"
    assert done.lines == [
        ("INFO", f"Analyzing video file: {src}..."),
        ("INFO", "Detected video size: 160x90"),
        *[("WARN", f"Unknown resolution requested: {n}. Skipping.") for n in names],
        ("SUCCESS", "Encrypted Master playlist generated: master.m3u8"),
        ("SUCCESS", "All secure transcoding finished flawlessly."),
    ]
    assert (workdir.path / "master.m3u8").read_text() == HEADER_ONLY


def test_bytes_output_and_key_with_tuple_and_generator(workdir, sources):
    """A real rendition: the bit rate from a generator reaches its encoder,
    and the key-info path given as bytes is the one the segments
    are encrypted with."""
    src = tiny_source(sources)
    key = os.urandom(16)
    (workdir.path / "other.key").write_bytes(key)
    (workdir.path / "other.keyinfo").write_text(
        f"other-uri.key\n{workdir.path / 'other.key'}\n")
    done = call_in_child(
        workdir.path,
        f"corvane.hls_encoder({bytes(str(src), 'utf-8')!r}, bytearray(b'ladder.m3u8'), "
        "('360p',), (b for b in [123456]), b'other.keyinfo')")
    assert done.result == "None"
    assert ("SUCCESS", "Encrypted Master playlist generated: ladder.m3u8") in done.lines
    assert ("SUCCESS", "All secure transcoding finished flawlessly.") in done.lines
    check_master(workdir.path / "ladder.m3u8", ["360p"])
    _, attrs, segments, ended = read_playlist(workdir.path / "360p.m3u8")
    assert ended and segments
    assert attrs["URI"] == "other-uri.key"
    ts = decrypt_rendition(workdir.path, "360p", key, workdir.path / "360p.ts")
    assert encoder_settings(ts)["bitrate"] == "123"


# -- Interpreter-version guard --------------------------------------------------

def find_python39():
    roots = []
    try:
        roots.append(subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                                    check=True).stdout.strip())
    except (OSError, subprocess.CalledProcessError):
        pass
    roots.append(os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv")))
    for root in roots:
        found = glob.glob(os.path.join(root, "versions", "3.9*", "bin", "python3.9"))
        if found:
            return sorted(found, key=lambda p: [int(x) for x in re.findall(r"\d+", p)])[-1]
    return shutil.which("python3.9")


def py39_module():
    return next(iter(sorted(PY39_BUILD.glob("corvane/_engine.cpython-39*.so"))), None)


@pytest.fixture(scope="module")
def python39():
    python = find_python39()
    if python is None:
        pytest.skip("no CPython 3.9 interpreter (pyenv) on this machine")
    return python


@pytest.fixture(scope="module")
def module39():
    module = py39_module()
    if module is None:
        pytest.skip(f"no 3.9 build in {PY39_BUILD} (make py39 / scripts/build-py39.sh)")
    return module


def import_error_of(python, module, tmp_path):
    """Imports the package whose engine is `module`, copied into an empty
    directory with the engine as _engine.so (a name every interpreter
    loads), with `python`; returns (ImportError text or None, that
    interpreter's sys.version)."""
    package = tmp_path / "corvane"
    package.mkdir()
    shutil.copy(Path(module).with_name("__init__.py"), package)
    shutil.copy(module, package / "_engine.so")
    code = (
        "import json, sys\n"
        "sys.path.insert(0, sys.argv[1])\n"
        "try:\n"
        "    import corvane\n"
        "    error = None\n"
        "except ImportError as e:\n"
        "    error = str(e)\n"
        "print(json.dumps([error, sys.version]))\n"
    )
    done = subprocess.run([python, "-I", "-c", code, str(tmp_path)], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_py39_build_runs_under_python39(python39, module39, tmp_path):
    env = {**os.environ, "PYTHONPATH": str(PY39_BUILD)}
    run = run_job(tmp_path, "missing.mp4", "master.m3u8", python=python39, env=env)
    assert run.returncode == 0, run.stderr
    assert run.result == "None"
    assert run.lines() == missing_input_lines("missing.mp4")


def test_py39_build_refuses_this_interpreter(module39, tmp_path):
    if sys.version_info[:2] == (3, 9):
        pytest.skip("the suite itself runs on 3.9")
    error, version = import_error_of(sys.executable, module39, tmp_path)
    assert version == sys.version
    assert error == ("Python version mismatch: module was compiled for Python 3.9, but the "
                     f"interpreter version is incompatible: {sys.version}.")


def test_this_build_refuses_python39(python39, tmp_path):
    if sys.version_info[:2] == (3, 9):
        pytest.skip("the suite itself runs on 3.9")
    built_for = f"{sys.version_info[0]}.{sys.version_info[1]}"
    error, version = import_error_of(python39, corvane._engine.__file__, tmp_path)
    assert version.startswith("3.9.")
    assert error == (f"Python version mismatch: module was compiled for Python {built_for}, "
                     f"but the interpreter version is incompatible: {version}.")
