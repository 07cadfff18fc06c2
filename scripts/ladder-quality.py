#!/usr/bin/env python3
"""Picture quality of a ladder: SSIM and PSNR of every rendition against the
source, scaled to the rendition's size, and each rendition's measured rates.

    scripts/ladder-quality.py SOURCE [PYTHON ...]

Runs the default ladder with each PYTHON (an interpreter that imports a
corvane build; by default .venv/bin/python) in a directory of its own under
bench/out/quality/, decrypts every rendition with openssl and compares it
with the source with the ffmpeg tool's ssim and psnr filters. Comparing two
builds' interpreters shows what a change costs or gains in quality.
"""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from media import decrypt_rendition, read_master, variant_rates  # noqa: E402

LADDER = ["1080p", "720p", "480p", "360p"]


def compare(source, rendition):
    """(SSIM, PSNR in dB) of `rendition` against `source` scaled to its size."""
    size = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
         "-of", "json", str(rendition)], capture_output=True, text=True, check=True).stdout)
    w, h = size["streams"][0]["width"], size["streams"][0]["height"]
    graph = (f"[0:v]setpts=PTS-STARTPTS[a];[1:v]setpts=PTS-STARTPTS,scale={w}:{h}:flags=bicubic,"
             f"format=yuv420p,split[b1][b2];[a]split[a1][a2];[a1][b1]ssim;[a2][b2]psnr")
    done = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-i", str(rendition), "-i", str(source),
                           "-filter_complex", graph, "-f", "null", "-"],
                          capture_output=True, text=True, check=True)
    ssim = float(re.search(r"SSIM .* All:([\d.]+)", done.stderr).group(1))
    psnr = float(re.search(r"PSNR .* average:([\d.inf]+)", done.stderr).group(1))
    return ssim, psnr


def main(argv):
    if not argv:
        print(__doc__)
        return 2
    source = Path(argv[0]).resolve()
    pythons = [os.path.abspath(p) if os.sep in p else p for p in argv[1:]]
    pythons = pythons or [str(ROOT / ".venv/bin/python")]
    for n, python in enumerate(pythons):
        work = ROOT / "bench/out/quality" / str(n)
        work.mkdir(parents=True, exist_ok=True)
        for old in work.iterdir():
            old.unlink()
        key = os.urandom(16)
        (work / "enc.key").write_bytes(key)
        (work / "enc.keyinfo").write_text(f"enc.key\n{work / 'enc.key'}\n")
        subprocess.run([python, "-c", f"import corvane; corvane.hls_encoder({str(source)!r}, "
                        "'master.m3u8')"], cwd=work, check=True, capture_output=True)
        print(f"{python}:")
        print(f"  {'rendition':9} {'SSIM':>7} {'PSNR dB':>8} {'peak Mb/s':>10} {'average Mb/s':>13} "
              f"{'declared Mb/s':>14}")
        declared = {Path(uri).stem: int(a["BANDWIDTH"]) for a, uri in read_master(work / "master.m3u8")[1]}
        for name in LADDER:
            ts = decrypt_rendition(work, name, key, work / f"{name}.plain.ts")
            ssim, psnr = compare(source, ts)
            _, peak, average = variant_rates(work / f"{name}.m3u8")
            print(f"  {name:9} {ssim:7.4f} {psnr:8.2f} {peak / 1e6:10.3f} {average / 1e6:13.3f} "
                  f"{declared[name] / 1e6:14.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
