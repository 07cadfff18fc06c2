"""The source's own HDR-to-SDR conversion against FFmpeg's filter chain that
it replaces (zscale to linear light, tonemap, zscale back), before any
encoding: tests/cpp/tone_map_probe.cpp converts raw 10-bit pictures with
src/source/tone_map.cpp, FFmpeg converts the same pictures with the chain,
and the two must look the same."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
WIDTH, HEIGHT = 640, 360
CHAIN = ("zscale=tin={trc}:pin=bt2020:min=bt2020nc:rin=tv:t=linear:p=bt709:npl=203,format=gbrpf32le,"
         "tonemap=tonemap=mobius:param=0.7:desat=0:peak=4.926,zscale=t=bt709:m=bt709:r=tv,format=yuv420p")
TRANSFERS = {"pq": "smpte2084", "hlg": "arib-std-b67"}
KERNELS = ("plain", "avx2", "avx512")
# SDR pictures made HDR (BT.2020 colours) with their white above SDR white,
# so that the tone curve's roll-off is at work; and a ramp of every code.
SKIN_AND_SATURATED = ["0xE0AC69", "0x8D5524", "0xC68642", "0xFFDBAC", "red", "0x00FF00", "blue",
                      "yellow", "magenta", "cyan"]
PICTURES = {
    "bars": (f"smptehdbars=size={WIDTH}x{HEIGHT}", 400),
    "patches": (";".join(f"color=c={c}:size={WIDTH // 10}x{HEIGHT}[p{i}]"
                         for i, c in enumerate(SKIN_AND_SATURATED))
                + ";" + "".join(f"[p{i}]" for i in range(10)) + "hstack=inputs=10", 300),
    # Every 10-bit code from black to the top, grey; a bright coloured
    # highlight below it.
    "ramp": (None, None),
}


@pytest.fixture(scope="session")
def tone_map_probe(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("the tone-mapping tests need g++ to build their probe program")
    program = tmp_path_factory.mktemp("tone_map_probe") / "tone_map_probe"
    build = subprocess.run(
        [compiler, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
         str(ROOT / "tests/cpp/tone_map_probe.cpp"), str(ROOT / "src/source/tone_map.cpp"), str(ROOT / "src/source/tone_map_x86.cpp"), "-o", str(program)],
        capture_output=True, text=True)
    if build.returncode != 0:
        pytest.fail(f"tone_map_probe does not build:\n{build.stderr}")
    return program


def ffmpeg(*args):
    return subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "info", *map(str, args)], capture_output=True,
                          text=True, check=True, timeout=120).stderr


def hdr_picture(kind, transfer, path):
    """One raw yuv420p10le picture in `transfer`, BT.2020, limited range."""
    trc = TRANSFERS[transfer]
    if kind == "ramp":
        ramp = f"64+floor(X*876/{WIDTH - 1})"
        # (W and H are each plane's own size.)
        bottom = "gte(Y\\,H*3/4)"
        left = "lt(X\\,W/2)"
        lum = f"if({bottom}\\,if({left}\\,800\\,860)\\,{ramp})"
        cb = f"if({bottom}\\,if({left}\\,480\\,540)\\,512)"
        cr = f"if({bottom}\\,if({left}\\,560\\,470)\\,512)"
        graph = (f"color=black:size={WIDTH}x{HEIGHT},format=yuv420p10le,"
                 f"geq=lum='{lum}':cb='{cb}':cr='{cr}'")
    else:
        source, white = PICTURES[kind]
        graph = (f"{source},format=gbrpf32le,zscale=tin=bt709:pin=bt709:min=gbr:t={trc}:p=bt2020:"
                 f"m=bt2020nc:r=tv:npl={white},format=yuv420p10le")
    ffmpeg("-f", "lavfi", "-i", graph, "-frames:v", 1, "-f", "rawvideo", "-pix_fmt", "yuv420p10le", path)


def raw_input(path, pix_fmt):
    return ["-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", f"{WIDTH}x{HEIGHT}", "-i", path]


def averages(path):
    """Mean luma and mean saturation (signalstats) of a raw yuv420p picture."""
    out = subprocess.run(["ffmpeg", "-v", "error", *raw_input(path, "yuv420p"), "-vf",
                          "signalstats,metadata=print:file=-", "-f", "null", "-"],
                         capture_output=True, text=True, check=True).stdout
    return float(re.search(r"YAVG=([\d.]+)", out).group(1)), float(re.search(r"SATAVG=([\d.]+)", out).group(1))


def probe(program, transfer, hdr, out, slices, kernel):
    """Converts `hdr` on `kernel`'s instructions; False if this processor has not got them."""
    done = subprocess.run([str(program), transfer, str(WIDTH), str(HEIGHT), str(hdr), str(out), str(slices), kernel],
                          timeout=60)
    assert done.returncode in (0, 3)
    return done.returncode == 0


@pytest.mark.parametrize("transfer", TRANSFERS)
@pytest.mark.parametrize("kind", PICTURES)
def test_conversion_looks_as_the_filter_chain(tone_map_probe, tmp_path, kind, transfer):
    hdr = tmp_path / "hdr.yuv"
    hdr_picture(kind, transfer, hdr)
    chain = tmp_path / "chain.yuv"
    ffmpeg(*raw_input(hdr, "yuv420p10le"), "-vf", CHAIN.format(trc=TRANSFERS[transfer]), "-f", "rawvideo", chain)
    # Every set of instructions this processor has (the plain loop always).
    for kernel in KERNELS:
        ours, sliced = tmp_path / f"{kernel}.yuv", tmp_path / f"{kernel}-sliced.yuv"
        if probe(tone_map_probe, transfer, hdr, ours, 1, kernel):
            probe(tone_map_probe, transfer, hdr, sliced, 3, kernel)
            # Rows shared among threads make the same picture.
            assert sliced.read_bytes() == ours.read_bytes(), kernel
            check_look(ours, chain, kind)


def check_look(ours, chain, kind):
    psnr = ffmpeg(*raw_input(ours, "yuv420p"), *raw_input(chain, "yuv420p"), "-lavfi", "psnr", "-f", "null", "-")
    summary = [line for line in psnr.splitlines() if "PSNR y:" in line][-1]
    planes = dict(re.findall(r"\b([yuv]):(inf|[\d.]+)", summary))
    assert all(float(planes[p]) >= 40 for p in "yuv"), planes
    luma, saturation = averages(ours)
    want_luma, want_saturation = averages(chain)
    assert luma == pytest.approx(want_luma, rel=0.01)
    assert saturation == pytest.approx(want_saturation, rel=0.01, abs=0.2)

    if kind == "ramp":
        # Rounded to 8 bits as the chain does (no dither): the grey ramp
        # rises, never falls, and jumps no more than the chain's does.
        row = ours.read_bytes()[WIDTH * 8:WIDTH * 9]
        want = chain.read_bytes()[WIDTH * 8:WIDTH * 9]
        assert all(b >= a for a, b in zip(row, row[1:]))
        steps = [row[i + 32] - row[i] for i in range(0, WIDTH - 32, 32)]
        top = max(row)
        assert all(s > 0 for s, start in zip(steps, row[::32]) if start < top - 2), steps
        jump = max(b - a for a, b in zip(row, row[1:]))
        assert jump <= max(b - a for a, b in zip(want, want[1:])) + 1
