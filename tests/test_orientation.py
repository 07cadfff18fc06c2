"""Phone videos are stored sideways with a display matrix: the ladder follows
the picture as players show it, in the plan and in the pictures."""

import subprocess

import pytest

from media import decrypt_rendition, ffmpeg, make_source, run_job, streams


def rotated_copy(source, path, degrees):
    """A stream copy of `source` whose display matrix turns it by `degrees`,
    made whichever way this ffmpeg build knows."""
    for args in (["-display_rotation:v:0", str(degrees), "-i", source, "-c", "copy", path],
                 ["-i", source, "-c", "copy", "-metadata:s:v:0", f"rotate={degrees}", path]):
        try:
            ffmpeg(*args)
        except RuntimeError:
            continue
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream_side_data",
                                "-select_streams", "v", str(path)], capture_output=True, text=True)
        if "Display Matrix" in probe.stdout:
            return path
    pytest.skip("this ffmpeg build cannot write a display matrix")


def psnr(a, b):
    done = subprocess.run(["ffmpeg", "-i", str(a), "-i", str(b), "-lavfi", "psnr", "-f", "null", "-"],
                          capture_output=True, text=True)
    value = done.stderr.rsplit("average:", 1)[1].split()[0]
    return float("inf") if value == "inf" else float(value)


# The 640x360 source turned by 180 degrees is the size of the 360p rendition:
# its turned pictures reach the encoder unscaled, flipped in place. The
# 1280x720 one is larger than the rendition: it is brought down to the
# rendition's size before it is turned.
@pytest.mark.parametrize("degrees, size, planned", [(90, (320, 180), (360, 640)),
                                                    (180, (640, 360), (640, 360)),
                                                    (270, (320, 180), (360, 640)),
                                                    (90, (1280, 720), (360, 640))])
def test_rotated_source_comes_out_upright(workdir, tmp_path, degrees, size, planned):
    # Tagged, so that this ffmpeg reads the source's colours as corvane does.
    plain = make_source(tmp_path / "plain.mp4", seconds=1, size=f"{size[0]}x{size[1]}",
                        extra=("-colorspace", "bt709"))
    source = rotated_copy(plain, tmp_path / f"turned{degrees}.mp4", degrees)
    run = run_job(workdir.path, str(source), "master.m3u8", ["360p"], [400000])
    assert run.messages("SUCCESS")[-1] == "All secure transcoding finished flawlessly."
    shown = (size[1], size[0]) if degrees % 180 else size
    assert f"Detected video size: {shown[0]}x{shown[1]}" in run.messages("INFO")
    assert f"RESOLUTION={planned[0]}x{planned[1]}" in (workdir.path / "master.m3u8").read_text()

    ts = decrypt_rendition(workdir.path, "360p", workdir.key, tmp_path / "out.ts")
    video = [s for s in streams(ts) if s["codec_type"] == "video"][0]
    assert (video["width"], video["height"]) == planned
    # The first picture matches what ffmpeg itself shows for the source
    # (it turns pictures by their display matrix); a picture turned the
    # wrong way scores far below this.
    ffmpeg("-i", ts, "-frames:v", "1", tmp_path / "ours.png")
    ffmpeg("-i", source, "-frames:v", "1", "-vf", f"scale={planned[0]}:{planned[1]}",
           tmp_path / "shown.png")
    assert psnr(tmp_path / "ours.png", tmp_path / "shown.png") > 25
